#include "engine/proxy/www/ftp_reply.h"

#include <strings.h>

#include <cctype>
#include <vector>

#include "engine/config/util.h"

namespace {

// The code of a reply line, 0 when the line does not begin with three digits (100-599).
uint32_t LineCode(std::string_view line) {
  if (line.size() < 3) return 0;
  for (size_t i = 0; i < 3; ++i)
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
  const uint32_t code = static_cast<uint32_t>((line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0'));
  return code >= 100 && code <= 599 ? code : 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

CFtpReplyReader::Result CFtpReplyReader::Feed(std::string_view line) {
  if (++m_lines > kMaxFtpReplyLines) return kBad;
  const uint32_t code = LineCode(line);
  const bool more = code && line.size() > 3 && line[3] == '-';
  const bool last = code && (line.size() == 3 || line[3] == ' ');
  if (m_pending == 0) {
    if (!code || (!more && !last)) return kBad;
    m_multi.clear();
    if (more) {
      m_pending = code;
      m_multi = CString(line.substr(4));
      return kMore;
    }
  } else if (!(last && code == m_pending)) {
    // A line inside a multi-line reply: kept as text, whatever it begins with.
    if (m_multi.size() + line.size() < kMaxFtpReplyText) {
      m_multi += '\n';
      m_multi += CString(line);
    }
    return kMore;
  }
  m_code = code;
  m_pending = 0;
  m_text = CString(Trim(line.size() > 4 ? line.substr(4) : std::string_view()));
  m_lines = 0;
  return kComplete;
}

bool ParsePasvPort(std::string_view text, uint16_t* port) {
  const size_t open = text.find('(');
  if (open == std::string_view::npos) return false;
  const size_t close = text.find(')', open);
  if (close == std::string_view::npos) return false;
  std::string_view inside = text.substr(open + 1, close - open - 1);
  uint32_t n[6];
  for (int i = 0; i < 6; ++i) {
    inside = Trim(inside);
    size_t digits = 0;
    uint32_t v = 0;
    while (digits < inside.size() && digits < 3 && std::isdigit(static_cast<unsigned char>(inside[digits])))
      v = v * 10 + static_cast<uint32_t>(inside[digits++] - '0');
    if (digits == 0 || v > 255) return false;
    inside.remove_prefix(digits);
    inside = Trim(inside);
    n[i] = v;
    if (i < 5) {
      if (inside.empty() || inside[0] != ',') return false;
      inside.remove_prefix(1);
    }
  }
  if (!inside.empty()) return false;
  const uint32_t p = n[4] * 256 + n[5];
  if (p == 0) return false;
  *port = static_cast<uint16_t>(p);
  return true;
}

bool ParseFtpListLine(std::string_view line, CFtpListEntry* entry) {
  *entry = CFtpListEntry();
  line = Trim(line);
  if (line.empty()) return false;
  if (line.size() > 6 && line.compare(0, 6, "total ") == 0 &&
      Trim(line.substr(6)).find_first_not_of("0123456789") == std::string_view::npos)
    return false;
  // Fields and where each begins.
  std::vector<std::pair<size_t, size_t>> fields;
  for (size_t i = 0; i < line.size() && fields.size() < 9;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.emplace_back(start, i);
  }
  std::string_view name;
  std::string_view details;
  const char kind = line[0];
  bool link = false;
  if (std::string_view("-dlbcps").find(kind) != std::string_view::npos && fields.size() >= 9 &&
      (line.size() >= 10 && std::string_view("rwx-sStTl").find(line[1]) != std::string_view::npos)) {
    name = line.substr(fields[8].first);
    details = Trim(line.substr(0, fields[8].first));
    entry->folder = kind == 'd';
    link = kind == 'l';
  } else if (fields.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0]))) {
    // DOS: "MM-DD-YY  HH:MMxx  <DIR>|size  name with spaces".
    name = line.substr(fields[3].first);
    details = Trim(line.substr(0, fields[3].first));
    const std::string_view third = line.substr(fields[2].first, fields[2].second - fields[2].first);
    entry->folder = third.size() == 5 && ::strncasecmp(third.data(), "<dir>", 5) == 0;
  } else {
    const size_t space = line.find_last_of(" \t");
    name = space == std::string_view::npos ? line : line.substr(space + 1);
    details = space == std::string_view::npos ? std::string_view() : Trim(line.substr(0, space));
    entry->folder = kind == 'd';
  }
  if (link) {
    const size_t arrow = name.find(" -> ");
    if (arrow != std::string_view::npos) name = name.substr(0, arrow);
    entry->folder = true;
  }
  name = Trim(name);
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return false;
  entry->name = CString(name);
  entry->details = CString(details);
  for (char& c : entry->details)
    if (c == '<' || c == '>') c = '"';
  return true;
}

bool DecodeFtpPath(std::string_view raw, CString* out) {
  out->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '%') {
      if (i + 2 >= raw.size()) return false;
      const int h = HexDigitValue(raw[i + 1]), l = HexDigitValue(raw[i + 2]);
      if (h < 0 || l < 0) return false;
      c = static_cast<char>(h * 16 + l);
      i += 2;
    }
    if (c == '\r' || c == '\n' || c == '\0') return false;
    *out += c;
  }
  return true;
}

bool ParseBasicCredentials(std::string_view value, CString* user, CString* password) {
  value = Trim(value);
  if (value.size() < 6 || ::strncasecmp(value.data(), "Basic ", 6) != 0) return false;
  value = Trim(value.substr(6));
  if (value.empty() || value.size() > 4096) return false;
  std::string decoded;
  uint32_t bits = 0;
  int count = 0;
  size_t padding = 0;
  for (char c : value) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=') {
      ++padding;
      continue;
    } else {
      return false;
    }
    if (padding) return false;  // data after padding
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      decoded += static_cast<char>((bits >> 16) & 0xFF);
      decoded += static_cast<char>((bits >> 8) & 0xFF);
      decoded += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (padding > 2 || count == 1) return false;
  if (count == 2) decoded += static_cast<char>((bits >> 4) & 0xFF);
  if (count == 3) {
    decoded += static_cast<char>((bits >> 10) & 0xFF);
    decoded += static_cast<char>((bits >> 2) & 0xFF);
  }
  const size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  if (decoded.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
  *user = CString(decoded.substr(0, colon));
  *password = CString(decoded.substr(colon + 1));
  return !user->empty();
}
