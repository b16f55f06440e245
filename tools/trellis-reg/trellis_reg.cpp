// trellis-reg: reads and writes the registry store from the command line, and exports and imports
// it as text. Exit status: 0 done, 1 the key or value is missing, the store does not exist (query,
// delete, export) or the store failed, 2 the command line or the imported text is malformed
// (nothing was written).
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace reg = platform::reg;

namespace {

constexpr const char* kEngineRoot = "HKLM\\SOFTWARE\\Nomra Software\\Trellis 2";
// An import reads the whole file before writing anything; this bounds what it holds in memory.
constexpr size_t kMaxImportBytes = 256u << 20;

constexpr const char* kUsage = R"(usage:
  trellis-reg query KEY [VALUE]          print a key's values (or one value)
  trellis-reg set KEY VALUE TYPE DATA    write a value, creating the key
  trellis-reg delete KEY [VALUE]         delete a key with everything below it (or one value)
  trellis-reg export [KEY]               write a key's tree (default: the whole store) to stdout
  trellis-reg import FILE                read an export ("-" for stdin) and write it in one commit

The registry file is TRELLIS_REGISTRY (default /var/lib/trellis/registry.db); query, delete and
export refuse a file that does not exist.
KEY is relative to HKLM\SOFTWARE\Nomra Software\Trellis 2 unless it starts with HKLM\ or HKCU\.
Names are matched without regard to letter case. An empty VALUE ("") is the key's default value.
TYPE and DATA of set:
  dword      a number, decimal or 0x-hex (0 to 4294967295)
  sz         the text as given; stored with its terminating zero
  expand_sz  as sz
  binary     hex digits, two per byte ("" for no bytes)
  multi_sz   zero or more DATA arguments, one per string

Export text, one item per line (blank lines and lines starting with ";" or "#" are skipped):
  [HKLM\SOFTWARE\Nomra Software]         a key, full path; inside a level the bytes below 0x20,
                                         0x7F, "%" and bytes that are not UTF-8 are written %HH
  "name"=dword:80                        value lines belong to the key line above them
  "name"=sz:"text"                       stored data = text + one zero byte
  "name"=expand_sz:"text"
  "name"=multi_sz:"one","two"            stored data = each string + zero byte, then a zero byte
  "name"=binary:00ff10
  "name"=hex(N):00ff10                   any type number N, any data, exactly as stored
Inside quotes: \\ \" \n \r \t and \xHH stand for bytes; other bytes stand for themselves.
Data that does not fit its type's form (a dword of other than 4 bytes, a string without its
terminating zero) is exported as hex(N), so an import restores every value exactly.
)";

// A one-line error on stderr.
int Fail(int code, const std::string& msg) {
  std::cerr << "trellis-reg: " << msg << "\n";
  return code;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && reg::FoldName(s.substr(0, prefix.size())) == prefix;
}

std::string ResolveKey(std::string_view arg) {
  if (StartsWithNoCase(arg, "HKLM\\") || StartsWithNoCase(arg, "HKCU\\") || reg::FoldName(arg) == "HKLM" ||
      reg::FoldName(arg) == "HKCU")
    return std::string(arg);
  return std::string(kEngineRoot) + "\\" + std::string(arg);
}

// ---- text forms ----

// Length of the well-formed UTF-8 sequence starting at p (of n bytes), or 0.
size_t Utf8Length(const unsigned char* p, size_t n) {
  unsigned char c = p[0];
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return len;
}

void AppendHexByte(std::string* out, unsigned c, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char two[2] = {digits[(c >> 4) & 15], digits[c & 15]};
  out->append(two, 2);
}

// Copies s to out, keeping printable ASCII and well-formed UTF-8 and handing every other byte (and
// the bytes listed in `extra`) to escape.
template <typename F>
void EscapeBytes(std::string_view s, std::string_view extra, std::string* out, F escape) {
  auto p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = p[i];
    if (c >= 0x80) {
      size_t n = Utf8Length(p + i, s.size() - i);
      if (n) {
        out->append(s.substr(i, n));
        i += n;
        continue;
      }
    }
    if (c < 0x20 || c == 0x7F || c >= 0x80 || extra.find(static_cast<char>(c)) != extra.npos)
      escape(c);
    else
      out->push_back(static_cast<char>(c));
    ++i;
  }
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  EscapeBytes(s, "\"\\", &out, [&](unsigned char c) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += "\\x"; AppendHexByte(&out, c, false);
    }
  });
  out.push_back('"');
  return out;
}

std::string EscapeLevel(std::string_view level) {
  std::string out;
  EscapeBytes(level, "%", &out, [&](unsigned char c) {
    out.push_back('%');
    AppendHexByte(&out, c, true);
  });
  return out;
}

std::string KeyLine(std::string_view path) {
  std::string out = "[";
  for (const auto& level : reg::SplitPath(path)) {
    if (out.size() > 1) out.push_back('\\');
    out += EscapeLevel(level);
  }
  out.push_back(']');
  return out;
}

std::string Hex(std::string_view data) {
  std::string out;
  for (unsigned char c : data) AppendHexByte(&out, c, false);
  return out;
}

std::string TypeWord(uint32_t type) {
  switch (type) {
    case reg::kSz: return "sz";
    case reg::kExpandSz: return "expand_sz";
    case reg::kBinary: return "binary";
    case reg::kDword: return "dword";
    case reg::kMultiSz: return "multi_sz";
    default: return "hex(" + std::to_string(type) + ")";
  }
}

std::string ValueLine(const reg::Value& v) {
  std::string out = Quote(v.name) + "=";
  const std::string& d = v.data;
  if (v.type == reg::kDword && d.size() == 4) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(d[i]);
    return out + "dword:" + std::to_string(n);
  }
  if ((v.type == reg::kSz || v.type == reg::kExpandSz) && !d.empty() && d.back() == '\0')
    return out + TypeWord(v.type) + ":" + Quote(std::string_view(d).substr(0, d.size() - 1));
  if (v.type == reg::kMultiSz &&
      (d == std::string_view("\0", 1) || (d.size() >= 2 && d.ends_with(std::string_view("\0\0", 2))))) {
    out += "multi_sz:";
    std::string_view rest(d.data(), d.size() - 1);
    for (bool first = true; !rest.empty(); first = false) {
      size_t z = rest.find('\0');
      if (!first) out.push_back(',');
      out += Quote(rest.substr(0, z));
      rest.remove_prefix(z + 1);
    }
    return out;
  }
  if (v.type == reg::kBinary) return out + "binary:" + Hex(d);
  return out + "hex(" + std::to_string(v.type) + "):" + Hex(d);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view s, std::string* out) {
  if (s.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int h = HexDigit(s[i]), l = HexDigit(s[i + 1]);
    if (h < 0 || l < 0) return false;
    out->push_back(static_cast<char>(h * 16 + l));
  }
  return true;
}

// Decimal or 0x-hex, no sign, no blanks, at most max.
bool ParseNumber(std::string_view s, uint64_t max, uint64_t* out) {
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t n = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0 || static_cast<unsigned>(d) >= base) return false;
    n = n * base + static_cast<unsigned>(d);
    if (n > max) return false;
  }
  *out = n;
  return true;
}

std::string DwordBytes(uint32_t n) {
  std::string d(4, '\0');
  for (int i = 0; i < 4; ++i) d[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return d;
}

// Reads a quoted string at s[*pos] and moves *pos past it.
bool ParseQuoted(std::string_view s, size_t* pos, std::string* out) {
  size_t i = *pos;
  if (i >= s.size() || s[i] != '"') return false;
  out->clear();
  for (++i; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i >= s.size()) return false;
    switch (s[i]) {
      case '\\': out->push_back('\\'); break;
      case '"': out->push_back('"'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'x': {
        if (i + 2 >= s.size()) return false;
        int h = HexDigit(s[i + 1]), l = HexDigit(s[i + 2]);
        if (h < 0 || l < 0) return false;
        out->push_back(static_cast<char>(h * 16 + l));
        i += 2;
        break;
      }
      default: return false;
    }
  }
  return false;  // no closing quote
}

// "[" full path "]" -> the path with its levels decoded.
bool ParseKeyLine(std::string_view line, std::string* path, std::string* why) {
  if (line.size() < 3 || line.front() != '[' || line.back() != ']') {
    *why = "malformed key line";
    return false;
  }
  std::string_view inner = line.substr(1, line.size() - 2);
  path->clear();
  size_t depth = 0;
  while (true) {
    size_t end = inner.find('\\');
    std::string_view raw = inner.substr(0, end);
    std::string level;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '%') {
        level.push_back(raw[i]);
        continue;
      }
      if (raw.size() - i < 3 || HexDigit(raw[i + 1]) < 0 || HexDigit(raw[i + 2]) < 0) {
        *why = "malformed %-escape in key line";
        return false;
      }
      level.push_back(static_cast<char>(HexDigit(raw[i + 1]) * 16 + HexDigit(raw[i + 2])));
      i += 2;
    }
    if (!reg::IsValidKeyName(level) || ++depth > reg::kMaxKeyDepth) {
      *why = "invalid key name in key line";
      return false;
    }
    if (!path->empty()) path->push_back('\\');
    path->append(level);
    if (end == std::string_view::npos) break;
    inner.remove_prefix(end + 1);
  }
  return true;
}

bool ParseValueLine(std::string_view line, reg::Value* v, std::string* why) {
  size_t pos = 0;
  if (!ParseQuoted(line, &pos, &v->name) || pos >= line.size() || line[pos] != '=') {
    *why = "malformed value name";
    return false;
  }
  if (!reg::IsValidValueName(v->name)) {
    *why = "invalid value name";
    return false;
  }
  std::string_view rest = line.substr(pos + 1);
  size_t colon = rest.find(':');
  if (colon == rest.npos) {
    *why = "missing type";
    return false;
  }
  std::string_view word = rest.substr(0, colon), data = rest.substr(colon + 1);
  *why = "malformed " + std::string(word) + " data";
  if (word == "dword") {
    uint64_t n;
    if (!ParseNumber(data, 0xFFFFFFFFu, &n)) return false;
    v->type = reg::kDword;
    v->data = DwordBytes(static_cast<uint32_t>(n));
  } else if (word == "sz" || word == "expand_sz") {
    size_t p = 0;
    if (!ParseQuoted(data, &p, &v->data) || p != data.size()) return false;
    v->type = word == "sz" ? reg::kSz : reg::kExpandSz;
    v->data.push_back('\0');
  } else if (word == "multi_sz") {
    v->type = reg::kMultiSz;
    v->data.clear();
    for (size_t p = 0; p < data.size();) {
      if (p > 0 && data[p++] != ',') return false;
      std::string one;
      if (!ParseQuoted(data, &p, &one)) return false;
      v->data += one;
      v->data.push_back('\0');
    }
    v->data.push_back('\0');
  } else if (word == "binary") {
    if (!ParseHex(data, &v->data)) return false;
    v->type = reg::kBinary;
  } else if (word.starts_with("hex(") && word.ends_with(")")) {
    uint64_t n;
    if (!ParseNumber(word.substr(4, word.size() - 5), 0xFFFFFFFFu, &n)) {
      *why = "malformed type number";
      return false;
    }
    if (!ParseHex(data, &v->data)) return false;
    v->type = static_cast<uint32_t>(n);
  } else {
    *why = "unknown type";
    return false;
  }
  return true;
}

// ---- commands ----

std::shared_ptr<reg::Store> OpenStore(int* code) {
  std::string why;
  auto store = reg::Store::Open(reg::Store::DefaultPath(), &why);
  if (!store) *code = Fail(1, "cannot open the registry: " + why);
  return store;
}

int Query(const std::vector<std::string>& args) {
  std::string key = ResolveKey(args[0]);
  if (!reg::IsValidValueName(args.size() > 1 ? args[1] : "")) return Fail(2, "invalid value name");
  int code = 0;
  auto store = OpenStore(&code);
  if (!store) return code;
  auto stored = store->StoredPath(key);
  if (!stored) return Fail(1, "key not found: " + Quote(key));
  if (args.size() > 1) {
    reg::Value v;
    if (store->GetValue(*stored, args[1], &v) != reg::kOk) return Fail(1, "value not found: " + Quote(args[1]));
    std::cout << ValueLine(v) << "\n";
    return 0;
  }
  std::cout << KeyLine(*stored) << "\n";
  for (const auto& v : store->Values(*stored)) std::cout << ValueLine(v) << "\n";
  for (const auto& sub : store->SubKeys(*stored)) std::cout << "; sub-key " << EscapeLevel(sub) << "\n";
  return 0;
}

int Set(const std::vector<std::string>& args) {
  std::string key = ResolveKey(args[0]);
  const std::string& name = args[1];
  const std::string& type = args[2];
  std::vector<std::string> levels = reg::SplitPath(key);
  for (const auto& l : levels)
    if (!reg::IsValidKeyName(l)) return Fail(2, "invalid key name: " + Quote(l));
  if (levels.size() > reg::kMaxKeyDepth) return Fail(2, "key path too deep");
  if (!reg::IsValidValueName(name)) return Fail(2, "invalid value name");
  size_t ndata = args.size() - 3;
  if (type != "multi_sz" && ndata != 1) return Fail(2, "set takes exactly one DATA argument for type " + Quote(type));
  uint32_t t;
  std::string data;
  if (type == "dword") {
    uint64_t n;
    if (!ParseNumber(args[3], 0xFFFFFFFFu, &n))
      return Fail(2, "malformed dword data (decimal or 0x-hex, 0 to 4294967295): " + Quote(args[3]));
    t = reg::kDword;
    data = DwordBytes(static_cast<uint32_t>(n));
  } else if (type == "sz" || type == "expand_sz") {
    t = type == "sz" ? reg::kSz : reg::kExpandSz;
    data = args[3];
    data.push_back('\0');
  } else if (type == "binary") {
    if (!ParseHex(args[3], &data)) return Fail(2, "malformed hex data: " + Quote(args[3]));
    t = reg::kBinary;
  } else if (type == "multi_sz") {
    t = reg::kMultiSz;
    for (size_t i = 3; i < args.size(); ++i) {
      data += args[i];
      data.push_back('\0');
    }
    data.push_back('\0');
  } else {
    return Fail(2, "unknown type " + Quote(type) + " (dword, sz, expand_sz, binary, multi_sz)");
  }
  int code = 0;
  auto store = OpenStore(&code);
  if (!store) return code;
  long st = store->SetValue(key, name, t, data);
  return st == reg::kOk ? 0 : Fail(1, "write failed (error " + std::to_string(st) + ")");
}

int Delete(const std::vector<std::string>& args) {
  std::string key = ResolveKey(args[0]);
  if (args.size() > 1 && !reg::IsValidValueName(args[1])) return Fail(2, "invalid value name");
  int code = 0;
  auto store = OpenStore(&code);
  if (!store) return code;
  long st = args.size() > 1 ? store->DeleteValue(key, args[1]) : store->DeleteTree(key);
  if (st == reg::kOk) return 0;
  if (st == reg::kNotFound)
    return Fail(1, (args.size() > 1 ? "value not found: " + Quote(args[1]) : "key not found: " + Quote(key)));
  if (st == reg::kInvalidParameter) return Fail(2, "invalid key: " + Quote(key));
  return Fail(1, "delete failed (error " + std::to_string(st) + ")");
}

void ExportTree(reg::Store& store, const std::string& path) {
  std::cout << KeyLine(path) << "\n";
  for (const auto& v : store.Values(path)) std::cout << ValueLine(v) << "\n";
  for (const auto& sub : store.SubKeys(path)) ExportTree(store, path + "\\" + sub);
}

int Export(const std::vector<std::string>& args) {
  int code = 0;
  auto store = OpenStore(&code);
  if (!store) return code;
  // One transaction, so a writer in another process cannot change the tree halfway through.
  reg::Store::Transaction snapshot(*store);
  std::vector<std::string> tops;
  if (args.empty()) {
    tops = store->SubKeys("");
  } else {
    auto stored = store->StoredPath(ResolveKey(args[0]));
    if (!stored) return Fail(1, "key not found: " + Quote(ResolveKey(args[0])));
    tops.push_back(*stored);
  }
  std::cout << "; trellis-reg export\n";
  for (const auto& t : tops) ExportTree(*store, t);
  std::cout.flush();
  return std::cout ? 0 : Fail(1, "write error on standard output");
}

int Import(const std::vector<std::string>& args) {
  const std::string& file = args[0];
  FILE* f = file == "-" ? stdin : std::fopen(file.c_str(), "rb");
  if (!f) return Fail(1, "cannot open " + Quote(file) + ": " + std::strerror(errno));
  std::string text;
  char buf[65536];
  size_t n;
  bool too_big = false;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (text.size() + n > kMaxImportBytes) {
      too_big = true;
      break;
    }
    text.append(buf, n);
  }
  bool read_error = std::ferror(f);
  if (f != stdin) std::fclose(f);
  if (too_big) return Fail(2, Quote(file) + " is larger than " + std::to_string(kMaxImportBytes) + " bytes");
  if (read_error) return Fail(1, "read error on " + Quote(file));

  // Every line is checked before the first write.
  struct Item {
    std::string key;
    bool has_value = false;
    reg::Value value;
  };
  std::vector<Item> items;
  std::string key, why;
  size_t lineno = 0;
  for (std::string_view rest = text; !rest.empty();) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl == rest.npos ? rest.size() : nl + 1);
    ++lineno;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    auto bad = [&](const std::string& what) {
      return Fail(2, Quote(file) + ":" + std::to_string(lineno) + ": " + what + "; nothing imported");
    };
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    Item item;
    if (line[0] == '[') {
      if (!ParseKeyLine(line, &key, &why)) return bad(why);
      item.key = key;
    } else if (line[0] == '"') {
      if (key.empty()) return bad("value line before the first key line");
      if (!ParseValueLine(line, &item.value, &why)) return bad(why);
      item.key = key;
      item.has_value = true;
    } else {
      return bad("line is neither a key, a value nor a comment");
    }
    items.push_back(std::move(item));
  }

  int code = 0;
  auto store = OpenStore(&code);
  if (!store) return code;
  reg::Store::Transaction txn(*store);
  for (const auto& it : items) {
    long st =
        it.has_value ? store->SetValue(it.key, it.value.name, it.value.type, it.value.data) : store->CreateKey(it.key);
    if (st != reg::kOk) return Fail(1, "write failed at " + Quote(it.key) + " (error " + std::to_string(st) + ")");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Fail(2, "missing command (trellis-reg --help shows the usage)");
  std::string cmd = args[0];
  args.erase(args.begin());
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::cout << kUsage;
    return 0;
  }
  struct Command {
    const char* name;
    size_t min, max;
    int (*run)(const std::vector<std::string>&);
  };
  static const Command kCommands[] = {
      {"query", 1, 2, Query},   {"set", 4, SIZE_MAX, Set}, {"delete", 1, 2, Delete},
      {"export", 0, 1, Export}, {"import", 1, 1, Import},
  };
  for (const auto& c : kCommands) {
    if (cmd != c.name) continue;
    // Reading or deleting never makes a store: a mistyped TRELLIS_REGISTRY must not leave an empty
    // database behind and answer as if the keys were simply missing.
    if (c.run != Set && c.run != Import) {
      const std::string path = reg::Store::DefaultPath();
      if (::access(path.c_str(), F_OK) != 0)
        return Fail(1, "no registry at " + path + " (TRELLIS_REGISTRY names the registry file)");
    }
    // multi_sz takes any number of strings, including none.
    size_t min = c.run == Set && args.size() == 3 && args[2] == "multi_sz" ? 3 : c.min;
    if (args.size() < min || args.size() > c.max)
      return Fail(2, "wrong number of arguments for " + cmd + " (trellis-reg --help shows the usage)");
    return c.run(args);
  }
  return Fail(2, "unknown command " + Quote(cmd) + " (trellis-reg --help shows the usage)");
}
