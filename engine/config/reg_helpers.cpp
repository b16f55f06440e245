#include "engine/config/reg_helpers.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace reg = platform::reg;

namespace {

std::mutex g_rootMutex;
std::string g_company = "Nomra Software";
std::string g_product = "Trellis 2";
std::shared_ptr<reg::Store> g_storeOverride;

// Where a helper call lands: a store and the full path of the key.
struct Location {
  std::shared_ptr<reg::Store> store;
  std::string key;
};

std::string JoinPath(const std::string& base, RegArg rel) {
  std::string_view r = rel.View();
  // Leading and trailing separators add nothing; the store drops empty levels anyway.
  while (!r.empty() && r.front() == '\\') r.remove_prefix(1);
  while (!r.empty() && r.back() == '\\') r.remove_suffix(1);
  if (r.empty()) return base;
  std::string out = base;
  out += '\\';
  out.append(r);
  return out;
}

bool IsEmptyPath(RegArg path) {
  return path.View().find_first_not_of('\\') == std::string_view::npos;
}

Location RootLocation(RegArg path) { return {GetRegistryStore(), JoinPath(GetRegistryRootPath(), path)}; }

Location KeyLocation(const RegKey& key, RegArg path) {
  if (!key) return {};
  return {key.GetStore(), JoinPath(key.GetPath(), path)};
}

// Runs a store operation; any exception (allocation failure, a store fault) gives the fallback.
template <class F, class R>
R Guarded(F&& f, R fallback) {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}

bool ReadRaw(const Location& loc, RegArg name, std::string* data) {
  if (!loc.store) return false;
  reg::Value v;
  if (loc.store->GetValue(loc.key, name.View(), &v) != reg::kOk) return false;
  *data = std::move(v.data);
  return true;
}

uint32_t ReadDWORD(const Location& loc, RegArg name, uint32_t def) {
  return Guarded(
      [&]() -> uint32_t {
        std::string d;
        // Fewer than 4 stored bytes cannot make a number; longer data gives its first 4 bytes.
        if (!ReadRaw(loc, name, &d) || d.size() < 4) return def;
        const auto* p = reinterpret_cast<const uint8_t*>(d.data());
        return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
      },
      def);
}

CString ReadString(const Location& loc, RegArg name, std::string_view def) {
  return Guarded(
      [&]() -> CString {
        std::string d;
        if (!ReadRaw(loc, name, &d)) return CString(def);
        // Length-exact: only the one terminator the writer added goes; inner zeros stay.
        if (!d.empty() && d.back() == '\0') d.pop_back();
        return d;
      },
      CString(def));
}

double ReadDouble(const Location& loc, RegArg name, double def) {
  return Guarded(
      [&]() -> double {
        std::string d;
        if (!ReadRaw(loc, name, &d) || d.size() < 8) return def;
        uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = bits << 8 | static_cast<uint8_t>(d[i]);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
      },
      def);
}

bool ReadBinary(const Location& loc, RegArg name, void* buffer, size_t size, size_t* stored) {
  return Guarded(
      [&]() -> bool {
        std::string d;
        if (!ReadRaw(loc, name, &d)) return false;
        if (stored) *stored = d.size();
        const size_t n = std::min(size, d.size());
        if (n > 0) {
          if (!buffer) return false;
          std::memcpy(buffer, d.data(), n);
        }
        return true;
      },
      false);
}

std::optional<std::string> ReadBytes(const Location& loc, RegArg name) {
  return Guarded(
      [&]() -> std::optional<std::string> {
        std::string d;
        if (!ReadRaw(loc, name, &d)) return std::nullopt;
        return d;
      },
      std::optional<std::string>());
}

void ReadStringList(const Location& loc, RegArg name, std::vector<CString>& list) {
  Guarded(
      [&]() -> bool {
        std::string d;
        if (!ReadRaw(loc, name, &d)) return false;
        // Bounded by the stored length: a last string without its terminator still counts.
        size_t pos = 0;
        while (pos < d.size()) {
          size_t end = d.find('\0', pos);
          if (end == std::string::npos) end = d.size();
          if (end == pos) break;  // the empty string ends the list
          list.emplace_back(d, pos, end - pos);
          pos = end + 1;
        }
        return true;
      },
      false);
}

bool WriteRaw(const Location& loc, RegArg name, uint32_t type, std::string_view data) {
  return Guarded(
      [&]() -> bool { return loc.store && loc.store->SetValue(loc.key, name.View(), type, data) == reg::kOk; },
      false);
}

bool WriteDWORD(const Location& loc, RegArg name, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                         static_cast<char>(value >> 24)};
  return WriteRaw(loc, name, reg::kDword, std::string_view(bytes, 4));
}

bool WriteString(const Location& loc, RegArg path, RegArg name, RegArg text) {
  return Guarded(
      [&]() -> bool {
        if (!loc.store) return false;
        if (name.IsNull()) {
          // Removes the key the path names; never the key the path is relative to.
          if (IsEmptyPath(path)) return false;
          long rc = loc.store->DeleteKey(loc.key);
          return rc == reg::kOk || rc == reg::kNotFound;
        }
        if (text.IsNull()) {
          long rc = loc.store->DeleteValue(loc.key, name.View());
          return rc == reg::kOk || rc == reg::kNotFound;
        }
        std::string data(text.View());
        data.push_back('\0');
        return loc.store->SetValue(loc.key, name.View(), reg::kSz, data) == reg::kOk;
      },
      false);
}

bool WriteDouble(const Location& loc, RegArg name, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(bits >> (8 * i));
  return WriteRaw(loc, name, reg::kBinary, std::string_view(bytes, 8));
}

bool WriteBinary(const Location& loc, RegArg name, const void* buffer, size_t size) {
  if (!buffer && size > 0) return false;
  return WriteRaw(loc, name, reg::kBinary,
                  size ? std::string_view(static_cast<const char*>(buffer), size) : std::string_view());
}

bool WriteStringList(const Location& loc, RegArg name, const std::vector<CString>& list) {
  return Guarded(
      [&]() -> bool {
        std::string data;
        for (const CString& s : list) {
          // A zero inside an entry would split it on reading; keep what precedes it.
          std::string_view v(s.data(), strnlen(s.data(), s.size()));
          if (v.empty()) continue;
          data.append(v);
          data.push_back('\0');
        }
        data.push_back('\0');
        return WriteRaw(loc, name, reg::kMultiSz, data);
      },
      false);
}

bool ValueExists(const Location& loc, RegArg name) {
  std::string d;
  return Guarded([&]() -> bool { return ReadRaw(loc, name, &d); }, false);
}

bool RemoveValue(const Location& loc, RegArg name) {
  return Guarded(
      [&]() -> bool {
        if (!loc.store) return true;
        long rc = loc.store->DeleteValue(loc.key, name.View());
        if (rc == reg::kOk) return true;
        return rc == reg::kNotFound && !loc.store->KeyExists(loc.key);
      },
      false);
}

bool DeleteKeyTree(const Location& loc) {
  return Guarded(
      [&]() -> bool {
        if (!loc.store) return false;
        // The store removes the whole tree in one commit (deepest keys first), so a key that
        // cannot go ends the call with a failure instead of a retry loop.
        long rc = loc.store->DeleteTree(loc.key);
        return rc == reg::kOk || rc == reg::kNotFound;
      },
      false);
}

std::vector<CString> EnumSubKeys(const Location& loc) {
  return Guarded([&]() { return loc.store ? loc.store->SubKeys(loc.key) : std::vector<CString>(); },
                 std::vector<CString>());
}

std::vector<CString> EnumValueNames(const Location& loc) {
  return Guarded(
      [&]() {
        std::vector<CString> names;
        if (loc.store) {
          for (auto& v : loc.store->Values(loc.key)) names.push_back(std::move(v.name));
        }
        return names;
      },
      std::vector<CString>());
}

std::vector<uint32_t> EnumNumbered(const Location& loc, std::string_view prefix) {
  std::vector<uint32_t> numbers;
  const std::string folded = reg::FoldName(prefix);
  for (const CString& name : EnumSubKeys(loc)) {
    if (name.size() <= folded.size() || name.size() - folded.size() > 10) continue;
    if (reg::FoldName(std::string_view(name).substr(0, folded.size())) != folded) continue;
    std::string_view digits = std::string_view(name).substr(folded.size());
    if (digits.size() > 1 && digits[0] == '0') continue;
    uint64_t n = 0;
    bool ok = true;
    for (char c : digits) {
      if (c < '0' || c > '9') {
        ok = false;
        break;
      }
      n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (ok && n <= UINT32_MAX) numbers.push_back(static_cast<uint32_t>(n));
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

RegKey OpenCreate(std::shared_ptr<reg::Store> store, std::string path) {
  if (!store) return RegKey();
  bool ok = Guarded([&]() -> bool { return store->CreateKey(path) == reg::kOk; }, false);
  return ok ? RegKey(std::move(store), std::move(path)) : RegKey();
}

RegKey OpenExisting(std::shared_ptr<reg::Store> store, const std::string& path) {
  if (!store) return RegKey();
  auto stored = Guarded([&]() { return store->StoredPath(path); }, std::optional<std::string>());
  return stored ? RegKey(std::move(store), std::move(*stored)) : RegKey();
}

}  // namespace

// ---- Keys -------------------------------------------------------------------------------------

std::string RegKey::GetName() const {
  size_t pos = m_path.rfind('\\');
  return pos == std::string::npos ? m_path : m_path.substr(pos + 1);
}

void SetRegistryRoot(const char* company, const char* product) {
  std::lock_guard<std::mutex> lock(g_rootMutex);
  g_company = company ? company : "";
  g_product = product ? product : "";
}

CString GetRegistryRootPath() {
  std::lock_guard<std::mutex> lock(g_rootMutex);
  std::string path = "HKLM\\SOFTWARE";
  if (!g_company.empty()) path += "\\" + g_company;
  if (!g_product.empty()) path += "\\" + g_product;
  return path;
}

void SetRegistryStore(std::shared_ptr<reg::Store> store) {
  std::lock_guard<std::mutex> lock(g_rootMutex);
  g_storeOverride = std::move(store);
}

std::shared_ptr<reg::Store> GetRegistryStore() {
  {
    std::lock_guard<std::mutex> lock(g_rootMutex);
    if (g_storeOverride) return g_storeOverride;
  }
  return Guarded([]() { return reg::Store::Default(); }, std::shared_ptr<reg::Store>());
}

RegKey RegOpenRootKey() { return OpenCreate(GetRegistryStore(), GetRegistryRootPath()); }

RegKey RegOpenSubKey(RegArg path) {
  Location loc = RootLocation(path);
  return OpenCreate(std::move(loc.store), std::move(loc.key));
}

RegKey RegOpenKeyPath(const RegKey& key, RegArg path) {
  Location loc = KeyLocation(key, path);
  return OpenCreate(std::move(loc.store), std::move(loc.key));
}

RegKey RegOpenExistingKey(RegArg path) {
  Location loc = RootLocation(path);
  return OpenExisting(std::move(loc.store), loc.key);
}

RegKey RegOpenExistingKeyPath(const RegKey& key, RegArg path) {
  Location loc = KeyLocation(key, path);
  return OpenExisting(std::move(loc.store), loc.key);
}

bool RegKeyExists(RegArg path) { return RegOpenExistingKey(path).IsValid(); }

RegBatch::RegBatch() : m_store(GetRegistryStore()) {
  if (m_store) {
    try {
      m_txn.emplace(*m_store);
    } catch (...) {
      // Without a batch every write still commits on its own.
    }
  }
}

RegBatch::~RegBatch() {
  try {
    m_txn.reset();
  } catch (...) {
    // A destructor must not throw; the batch's writes were committed or rolled back with it.
  }
}

// ---- Root forms -------------------------------------------------------------------------------

uint32_t RegReadDWORD(RegArg path, RegArg name, uint32_t def) { return ReadDWORD(RootLocation(path), name, def); }
CString RegReadString(RegArg path, RegArg name, std::string_view def) {
  return ReadString(RootLocation(path), name, def);
}
double RegReadDouble(RegArg path, RegArg name, double def) { return ReadDouble(RootLocation(path), name, def); }
bool RegReadBinary(RegArg path, RegArg name, void* buffer, size_t size, size_t* stored) {
  return ReadBinary(RootLocation(path), name, buffer, size, stored);
}
std::optional<std::string> RegReadBytes(RegArg path, RegArg name) { return ReadBytes(RootLocation(path), name); }
void RegReadStringList(RegArg path, RegArg name, std::vector<CString>& list) {
  ReadStringList(RootLocation(path), name, list);
}

bool RegWriteDWORD(RegArg path, RegArg name, uint32_t value) { return WriteDWORD(RootLocation(path), name, value); }
bool RegWriteString(RegArg path, RegArg name, RegArg text) {
  return WriteString(RootLocation(path), path, name, text);
}
bool RegWriteDouble(RegArg path, RegArg name, double value) { return WriteDouble(RootLocation(path), name, value); }
bool RegWriteBinary(RegArg path, RegArg name, const void* buffer, size_t size) {
  return WriteBinary(RootLocation(path), name, buffer, size);
}
bool RegWriteStringList(RegArg path, RegArg name, const std::vector<CString>& list) {
  return WriteStringList(RootLocation(path), name, list);
}

bool RegValueExists(RegArg path, RegArg name) { return ValueExists(RootLocation(path), name); }
bool RegRemoveValue(RegArg path, RegArg name) { return RemoveValue(RootLocation(path), name); }
bool RegDeleteKeyTree(RegArg path) { return DeleteKeyTree(RootLocation(path)); }

std::vector<CString> RegEnumSubKeys(RegArg path) { return EnumSubKeys(RootLocation(path)); }
std::vector<CString> RegEnumValueNames(RegArg path) { return EnumValueNames(RootLocation(path)); }
std::vector<uint32_t> RegEnumNumberedSubKeys(RegArg path, std::string_view prefix) {
  return EnumNumbered(RootLocation(path), prefix);
}

// ---- In-key forms -----------------------------------------------------------------------------

uint32_t RegReadDWORDInKey(const RegKey& key, RegArg path, RegArg name, uint32_t def) {
  return ReadDWORD(KeyLocation(key, path), name, def);
}
CString RegReadStringInKey(const RegKey& key, RegArg path, RegArg name, std::string_view def) {
  return ReadString(KeyLocation(key, path), name, def);
}
double RegReadDoubleInKey(const RegKey& key, RegArg path, RegArg name, double def) {
  return ReadDouble(KeyLocation(key, path), name, def);
}
bool RegReadBinaryInKey(const RegKey& key, RegArg path, RegArg name, void* buffer, size_t size, size_t* stored) {
  return ReadBinary(KeyLocation(key, path), name, buffer, size, stored);
}
std::optional<std::string> RegReadBytesInKey(const RegKey& key, RegArg path, RegArg name) {
  return ReadBytes(KeyLocation(key, path), name);
}
void RegReadStringListInKey(const RegKey& key, RegArg path, RegArg name, std::vector<CString>& list) {
  ReadStringList(KeyLocation(key, path), name, list);
}

bool RegWriteDWORDInKey(const RegKey& key, RegArg path, RegArg name, uint32_t value) {
  return WriteDWORD(KeyLocation(key, path), name, value);
}
bool RegWriteStringInKey(const RegKey& key, RegArg path, RegArg name, RegArg text) {
  return WriteString(KeyLocation(key, path), path, name, text);
}
bool RegWriteDoubleInKey(const RegKey& key, RegArg path, RegArg name, double value) {
  return WriteDouble(KeyLocation(key, path), name, value);
}
bool RegWriteBinaryInKey(const RegKey& key, RegArg path, RegArg name, const void* buffer, size_t size) {
  return WriteBinary(KeyLocation(key, path), name, buffer, size);
}
bool RegWriteStringListInKey(const RegKey& key, RegArg path, RegArg name, const std::vector<CString>& list) {
  return WriteStringList(KeyLocation(key, path), name, list);
}

bool RegValueExistsInKey(const RegKey& key, RegArg path, RegArg name) {
  return ValueExists(KeyLocation(key, path), name);
}
bool RegDeleteValueInKey(const RegKey& key, RegArg path, RegArg name) {
  return RemoveValue(KeyLocation(key, path), name);
}
bool RegDeleteKeyTreeInKey(const RegKey& key, RegArg path) { return DeleteKeyTree(KeyLocation(key, path)); }

std::vector<CString> RegEnumSubKeysInKey(const RegKey& key, RegArg path) {
  return EnumSubKeys(KeyLocation(key, path));
}
std::vector<CString> RegEnumValueNamesInKey(const RegKey& key, RegArg path) {
  return EnumValueNames(KeyLocation(key, path));
}
std::vector<uint32_t> RegEnumNumberedSubKeysInKey(const RegKey& key, RegArg path, std::string_view prefix) {
  return EnumNumbered(KeyLocation(key, path), prefix);
}
