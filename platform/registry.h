#pragma once
// The registry store: a tree of keys holding typed values, kept in one SQLite file that several
// processes (the engine, its command-line switches, the console, trellis-reg) use at once.
//
// Keys are named by full paths whose levels are separated by "\\", starting with a hive name
// ("HKLM\\SOFTWARE\\Nomra Software\\Trellis 2\\Services"). Key and value names compare without
// regard to ASCII letter case and keep the spelling they were created with. Sub-keys and values
// enumerate in the order of their upper-cased names, byte by byte ("Recipient10" before
// "Recipient2"). Value data is kept as raw bytes with its type tag; reads never check the type.
// Every write is committed before the call returns.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace platform::reg {

// Value types, numbered as the operators' tools and stored files know them.
enum ValueType : uint32_t {
  kNone = 0,
  kSz = 1,
  kExpandSz = 2,
  kBinary = 3,
  kDword = 4,
  kMultiSz = 7,
};

// Results, numbered like the host system's error codes the callers already test for.
enum Status : long {
  kOk = 0,
  kNotFound = 2,          // key or value missing
  kAccessDenied = 5,      // key still has sub-keys, or the store cannot be written
  kInvalidParameter = 87, // malformed path or name
  kNoMoreItems = 259,     // enumeration index past the end
  kStoreFailed = 1009,    // the database file failed
};

struct Value {
  std::string name;  // stored spelling
  uint32_t type = kNone;
  std::string data;  // raw bytes
};

class Store {
 public:
  // The process's store: the file named by TRELLIS_REGISTRY, else /var/lib/trellis/registry.db.
  // Opened on first use; null when the file cannot be opened or created.
  static std::shared_ptr<Store> Default();
  // Path Default() uses.
  static std::string DefaultPath();
  // Opens (creating when missing, mode 0600) a store file.
  static std::shared_ptr<Store> Open(const std::string& file, std::string* error = nullptr);

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& Path() const { return m_path; }

  // Creates the key and every missing level above it.
  long CreateKey(std::string_view path);
  bool KeyExists(std::string_view path);
  // The stored spelling of every level of an existing key ("hklm\\software" -> "HKLM\\SOFTWARE").
  std::optional<std::string> StoredPath(std::string_view path);

  // Writes a value, creating the key when missing.
  long SetValue(std::string_view key, std::string_view name, uint32_t type, std::string_view data);
  long GetValue(std::string_view key, std::string_view name, Value* out);
  long DeleteValue(std::string_view key, std::string_view name);

  // Deletes a key that has no sub-keys (kAccessDenied when it has some).
  long DeleteKey(std::string_view path);
  // Deletes a key with everything below it.
  long DeleteTree(std::string_view path);

  // Snapshots in enumeration order (empty when the key is missing). For SubKeys and EnumSubKey an
  // empty path names the top of the store, whose sub-keys are the hives ("HKCU", "HKLM").
  std::vector<std::string> SubKeys(std::string_view path);
  std::vector<Value> Values(std::string_view path);
  // Index-based enumeration as the host system's callers use it: an entry deleted meanwhile drops
  // out, so later indices shift down by one.
  long EnumSubKey(std::string_view path, uint32_t index, std::string* name);
  long EnumValue(std::string_view path, uint32_t index, Value* out);

  // Groups writes into one commit. Nests; the outermost one commits when it ends. Other threads of
  // the process wait while a transaction is open.
  class Transaction {
   public:
    explicit Transaction(Store& s);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

   private:
    Store& m_store;
  };

 private:
  Store(std::string path, sqlite3* db);
  // Implementation helpers live in registry.cpp.
  friend struct StoreImpl;
  std::string m_path;
  sqlite3* m_db;
  std::recursive_mutex m_mutex;
  int txn_depth_ = 0;
};

// Longest key name (one level), longest value name and deepest key path the store accepts.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxKeyDepth = 512;
// Whether a name may be stored: key names are non-empty, at most kMaxKeyNameLength bytes and hold
// neither "\\" nor a zero byte; value names (empty = the key's default value) at most
// kMaxValueNameLength bytes without a zero byte. Tools check these before a batch of writes.
bool IsValidKeyName(std::string_view name);
bool IsValidValueName(std::string_view name);

// Splits "A\\B\\C" into its levels; empty levels (leading, trailing or doubled "\\") are dropped.
std::vector<std::string> SplitPath(std::string_view path);
// ASCII upper-case of a name, the form names are compared and ordered by.
std::string FoldName(std::string_view name);

}  // namespace platform::reg
