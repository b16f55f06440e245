#pragma once
// Registry helpers: the only way the engine and the console reach the configuration stored below
// one root key, HKLM\SOFTWARE\<company>\<product>. Paths given to the helpers are relative to the
// root (or to an open key) with "\\" between levels.
//
// Value layouts: numbers as REG_DWORD (4 bytes little-endian); text as REG_SZ with its terminating
// zero counted; doubles (date-times as day counts) as REG_BINARY of 8 bytes; string lists in the
// REG_MULTI_SZ layout (zero-terminated strings ended by an empty one).
//
// The helpers never throw. Reads fall back to the caller's default and never create keys; writes
// create missing keys and return false on failure. Stored bytes are untrusted: every read checks
// the stored length.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/config/archive.h"  // CString
#include "platform/registry.h"

// A name or path argument that may be null (the helpers give null a meaning of its own: the
// root for a path, deletion for a text). Binds to string literals, char pointers and strings.
class RegArg {
 public:
  RegArg(std::nullptr_t) {}
  RegArg(const char* s) : m_null(s == nullptr), m_text(s ? std::string_view(s) : std::string_view()) {}
  RegArg(const std::string& s) : m_null(false), m_text(s) {}
  RegArg(std::string_view s) : m_null(false), m_text(s) {}

  bool IsNull() const { return m_null; }
  // Empty for null.
  std::string_view View() const { return m_text; }

 private:
  bool m_null = true;
  std::string_view m_text;
};

// An open registry key: the store it lives in and its full path. A default-constructed key is
// the "could not open" state; every helper given one acts as if the value were missing.
class RegKey {
 public:
  RegKey() = default;
  RegKey(std::shared_ptr<platform::reg::Store> store, std::string path)
      : m_store(std::move(store)), m_path(std::move(path)) {}

  bool IsValid() const { return m_store != nullptr; }
  explicit operator bool() const { return IsValid(); }
  const std::shared_ptr<platform::reg::Store>& GetStore() const { return m_store; }
  // Full path including the hive ("HKLM\\SOFTWARE\\...").
  const std::string& GetPath() const { return m_path; }
  // The last level of the path.
  std::string GetName() const;
  // Closes the key (handles hold no resources beyond the store reference).
  void Close() { *this = RegKey(); }

 private:
  std::shared_ptr<platform::reg::Store> m_store;
  std::string m_path;
};

// ---- Root and store ---------------------------------------------------------------------------

// Sets the company and product key names of the root ("Nomra Software", "Trellis 2" unless set).
void SetRegistryRoot(const char* company, const char* product);
// "HKLM\\SOFTWARE\\<company>\\<product>".
CString GetRegistryRootPath();
// Uses the given store instead of the process's default one (null: back to the default). For
// tools and tests that work on another file.
void SetRegistryStore(std::shared_ptr<platform::reg::Store> store);
// The store the helpers use (null when it cannot be opened).
std::shared_ptr<platform::reg::Store> GetRegistryStore();

// The root key, created when missing; invalid when the store cannot be opened or written.
RegKey RegOpenRootKey();
// A sub-key of the root, created when missing; the root itself for a null or empty path.
RegKey RegOpenSubKey(RegArg path);
// A sub-key of key, created when missing; key itself for a null or empty path.
RegKey RegOpenKeyPath(const RegKey& key, RegArg path);
// An existing sub-key of the root without creating anything; invalid when it is missing. The
// returned path carries the stored spelling of each level (a user name typed in another case
// finds its key and learns its real spelling through GetName()).
RegKey RegOpenExistingKey(RegArg path);
RegKey RegOpenExistingKeyPath(const RegKey& key, RegArg path);
bool RegKeyExists(RegArg path);

// Groups the writes made while it lives (on the helpers' store) into one commit, so a Save of many
// values costs one sync. Nests. Other threads of the process wait for the store meanwhile, so
// keep it around writes only, never around network calls.
class RegBatch {
 public:
  RegBatch();
  ~RegBatch();
  RegBatch(const RegBatch&) = delete;
  RegBatch& operator=(const RegBatch&) = delete;

 private:
  std::shared_ptr<platform::reg::Store> m_store;
  std::optional<platform::reg::Store::Transaction> m_txn;
};

// ---- Root forms (path relative to the root; null path = the root) -----------------------------

// The stored first 4 bytes (whatever the value's type), or def when the value is missing or
// shorter than 4 bytes.
uint32_t RegReadDWORD(RegArg path, RegArg name, uint32_t def);
// The stored bytes less one terminating zero (embedded zeros are kept), or def.
CString RegReadString(RegArg path, RegArg name, std::string_view def);
// The stored first 8 bytes as a double, or def when missing or shorter.
double RegReadDouble(RegArg path, RegArg name, double def);
// Copies at most size bytes of the value into buffer; false (buffer untouched) when the value
// cannot be read. *stored, when given, receives the stored length.
bool RegReadBinary(RegArg path, RegArg name, void* buffer, size_t size, size_t* stored = nullptr);
// The whole value; nullopt when it cannot be read.
std::optional<std::string> RegReadBytes(RegArg path, RegArg name);
// Appends each string of a REG_MULTI_SZ-layout value, up to the first empty string or the end of
// the data; a missing value adds nothing.
void RegReadStringList(RegArg path, RegArg name, std::vector<CString>& list);

bool RegWriteDWORD(RegArg path, RegArg name, uint32_t value);
// A null text deletes the value; a null name deletes the key named by path, which must have no
// sub-keys (refused for a null path: the root is removed with RegDeleteKeyTree only).
bool RegWriteString(RegArg path, RegArg name, RegArg text);
bool RegWriteDouble(RegArg path, RegArg name, double value);
bool RegWriteBinary(RegArg path, RegArg name, const void* buffer, size_t size);
// REG_MULTI_SZ layout. Empty strings cannot be represented (they end the list) and are skipped.
bool RegWriteStringList(RegArg path, RegArg name, const std::vector<CString>& list);

bool RegValueExists(RegArg path, RegArg name);
// True when the value was deleted or its key does not exist.
bool RegRemoveValue(RegArg path, RegArg name);
// Deletes the key with everything below it (null path: the root). True when the key is gone
// afterwards (also when it never existed); false when the store failed.
bool RegDeleteKeyTree(RegArg path);

// Names of the sub-keys / values of a key in enumeration order (stored spelling); empty when the
// key is missing.
std::vector<CString> RegEnumSubKeys(RegArg path);
std::vector<CString> RegEnumValueNames(RegArg path);
// The numbers N of the sub-keys named <prefix>N (prefix compared without case, N decimal
// without sign or leading zeros), ascending: the order lists saved as numbered sub-keys load in.
std::vector<uint32_t> RegEnumNumberedSubKeys(RegArg path, std::string_view prefix);

// ---- In-key forms (path relative to key; null path = key itself) -------------------------------

uint32_t RegReadDWORDInKey(const RegKey& key, RegArg path, RegArg name, uint32_t def);
CString RegReadStringInKey(const RegKey& key, RegArg path, RegArg name, std::string_view def);
double RegReadDoubleInKey(const RegKey& key, RegArg path, RegArg name, double def);
bool RegReadBinaryInKey(const RegKey& key, RegArg path, RegArg name, void* buffer, size_t size,
                        size_t* stored = nullptr);
std::optional<std::string> RegReadBytesInKey(const RegKey& key, RegArg path, RegArg name);
void RegReadStringListInKey(const RegKey& key, RegArg path, RegArg name, std::vector<CString>& list);

bool RegWriteDWORDInKey(const RegKey& key, RegArg path, RegArg name, uint32_t value);
bool RegWriteStringInKey(const RegKey& key, RegArg path, RegArg name, RegArg text);
bool RegWriteDoubleInKey(const RegKey& key, RegArg path, RegArg name, double value);
bool RegWriteBinaryInKey(const RegKey& key, RegArg path, RegArg name, const void* buffer, size_t size);
bool RegWriteStringListInKey(const RegKey& key, RegArg path, RegArg name, const std::vector<CString>& list);

bool RegValueExistsInKey(const RegKey& key, RegArg path, RegArg name);
bool RegDeleteValueInKey(const RegKey& key, RegArg path, RegArg name);
bool RegDeleteKeyTreeInKey(const RegKey& key, RegArg path);

std::vector<CString> RegEnumSubKeysInKey(const RegKey& key, RegArg path);
std::vector<CString> RegEnumValueNamesInKey(const RegKey& key, RegArg path);
std::vector<uint32_t> RegEnumNumberedSubKeysInKey(const RegKey& key, RegArg path, std::string_view prefix);
