#include "engine/proxy/common/url_normal.h"

#include <cstdio>
#include <string>
#include <vector>

#include "engine/config/util.h"

namespace {

bool IsUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

void AppendEscape(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

// The escape pass shared by paths and queries.
std::string NormalizeEscapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      const int h = i + 2 < text.size() ? HexDigitValue(text[i + 1]) : -1;
      const int l = h >= 0 ? HexDigitValue(text[i + 2]) : -1;
      if (h < 0 || l < 0) {
        // A lone "%" would be read by the next decoder as the start of whatever follows it.
        out += "%25";
        continue;
      }
      const unsigned char b = static_cast<unsigned char>(h * 16 + l);
      if (IsUnreserved(b))
        out += static_cast<char>(b);
      else
        AppendEscape(out, b);
      i += 2;
    } else if (c <= 0x20 || c >= 0x7F || c == '#') {
      AppendEscape(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The byte of an escape at text[i] ("%XX"), or -1.
int EscapeAt(std::string_view text, size_t i) {
  if (i + 2 >= text.size() || text[i] != '%') return -1;
  const int h = HexDigitValue(text[i + 1]);
  const int l = HexDigitValue(text[i + 2]);
  return h < 0 || l < 0 ? -1 : h * 16 + l;
}

}  // namespace

CString NormalizeUrlPath(std::string_view path) {
  if (path.empty()) return CString();
  const std::string escaped = NormalizeEscapes(path);
  // Segments between the slashes; empty ones (repeated "/") fall away first, so "/a//../b" is
  // "/b" as a server that merges slashes reads it, then "." and ".." do their work.
  std::vector<std::string_view> out;
  bool trailingSlash = false;
  const std::string_view p(escaped);
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    const std::string_view seg = p.substr(i, j - i);
    const bool last = j == p.size();
    if (seg.empty()) {
      if (last) trailingSlash = true;
    } else if (seg == ".") {
      trailingSlash = last;
    } else if (seg == "..") {
      if (!out.empty()) out.pop_back();
      trailingSlash = last;
    } else {
      out.push_back(seg);
      trailingSlash = false;
    }
    i = j + 1;
  }
  CString result;
  for (const auto& seg : out) {
    result += '/';
    result.append(seg.data(), seg.size());
  }
  if (result.empty() || trailingSlash) result += '/';
  return result;
}

CString NormalizeUrlQuery(std::string_view query) { return CString(NormalizeEscapes(query)); }

bool IsUnambiguousPath(std::string_view path, const char** why) {
  const char* dummy = nullptr;
  const char*& reason = why ? *why : dummy;
  reason = "";
  // The path as the most liberal server reads it: escaped slashes and backslashes, plain
  // backslashes and overlong UTF-8 spellings of ".", "/" and "\\" are that character.
  std::string read;
  read.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    const int b = EscapeAt(path, i);
    if (b < 0) {
      read += path[i] == '\\' ? '/' : path[i];
      continue;
    }
    int ascii = -1;
    size_t used = 3;
    const int b2 = EscapeAt(path, i + 3);
    if ((b == 0xC0 || b == 0xC1) && b2 >= 0x80 && b2 <= 0xBF) {
      ascii = ((b & 0x01) << 6) | (b2 & 0x3F);
      used = 6;
    } else if (b == 0xE0 && (b2 == 0x80 || b2 == 0x81)) {
      const int b3 = EscapeAt(path, i + 6);
      if (b3 >= 0x80 && b3 <= 0xBF) {
        ascii = ((b2 & 0x3F) << 6) | (b3 & 0x3F);
        used = 9;
      }
    } else if (b < 0x80) {
      ascii = b;
    }
    if (ascii == '/' || ascii == '\\')
      read += '/';
    else if (ascii == '.')
      read += '.';
    else
      read.append(path.substr(i, used));
    i += used - 1;
  }
  // Segment by segment (the empty text before a leading "/" is none): the normal form has no
  // empty or dot segment, so one that shows up here was hidden from the rules.
  size_t i = !read.empty() && read[0] == '/' ? 1 : 0;
  while (i <= read.size()) {
    size_t j = read.find('/', i);
    if (j == std::string::npos) j = read.size();
    std::string_view seg = std::string_view(read).substr(i, j - i);
    const bool last = j == read.size();
    // A server that cuts path parameters reads "..;x" as "..".
    seg = seg.substr(0, seg.find(';'));
    if (seg == "." || seg == "..")
      return reason = "a dot segment hidden in an escape, a backslash or a parameter", false;
    if (seg.empty() && !last) return reason = "an empty segment hidden in an escape, a backslash or a parameter", false;
    i = j + 1;
  }
  return true;
}

bool ParseResolverNumber(std::string_view text, uint32_t* address) {
  // The forms the system resolver takes before it asks any name service (inet_aton, exactly:
  // nothing may follow the number).
  uint32_t parts[4] = {};
  size_t count = 0;
  size_t i = 0;
  for (;;) {
    if (count == 4 || i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    uint64_t value = 0;
    unsigned base = 10;
    bool digits = false;
    if (text[i] == '0') {
      ++i;
      base = 8;
      digits = true;  // "0" alone is a number; "0x" alone is not
      if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        digits = false;
        ++i;
      }
    }
    while (i < text.size()) {
      const int d = HexDigitValue(text[i]);
      if (d < 0 || static_cast<unsigned>(d) >= base) {
        // "08" is no octal number at all, not "0" followed by something else.
        if (base == 8 && d >= 8 && d <= 9) return false;
        break;
      }
      value = value * base + static_cast<unsigned>(d);
      if (value > 0xFFFFFFFFu) return false;
      digits = true;
      ++i;
    }
    if (!digits) return false;
    parts[count++] = static_cast<uint32_t>(value);
    if (i == text.size()) break;
    if (text[i] != '.') return false;
    ++i;
  }
  // Every part but the last is one byte; the last fills the bytes that are left.
  for (size_t k = 0; k + 1 < count; ++k)
    if (parts[k] > 0xFF) return false;
  static const uint32_t kLastMax[5] = {0, 0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
  if (parts[count - 1] > kLastMax[count]) return false;
  uint32_t a = 0;
  for (size_t k = 0; k + 1 < count; ++k) a |= parts[k] << (24 - 8 * k);
  a |= parts[count - 1];
  if (address) *address = a;
  return true;
}

CString NormalizeHostName(std::string_view host) {
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  CString out;
  out.reserve(host.size());
  for (char c : host) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  uint32_t address = 0;
  if (ParseResolverNumber(out, &address)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    out = buf;
  }
  return out;
}
