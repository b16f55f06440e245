#include "engine/proxy/ftp/ftp_protocol.h"

#include <strings.h>

#include <cctype>

namespace ftp {

bool CLineBuffer::Append(const char* data, size_t n) {
  if (m_overflow) return false;
  if (m_pos > 0 && m_pos == m_buf.size()) {
    m_buf.clear();
    m_pos = 0;
  }
  m_buf.append(data, n);
  // Only the unfinished tail counts against the cap: many short lines in one read are fine.
  const size_t lastEnd = m_buf.rfind('\n');
  const size_t tailStart = lastEnd == std::string::npos ? m_pos : lastEnd + 1;
  if (m_buf.size() - tailStart > kMaxLine) m_overflow = true;
  return !m_overflow;
}

bool CLineBuffer::Next(std::string* line) {
  const size_t end = m_buf.find('\n', m_pos);
  if (end == std::string::npos) {
    if (m_pos > 0) {
      m_buf.erase(0, m_pos);
      m_pos = 0;
    }
    return false;
  }
  if (end - m_pos > kMaxLine) {
    m_overflow = true;
    return false;
  }
  line->assign(m_buf, m_pos, end + 1 - m_pos);
  m_pos = end + 1;
  return true;
}

std::string TrimLine(const std::string& line) {
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r' || line[end - 1] == ' ')) --end;
  size_t start = 0;
  while (start < end && line[start] == ' ') ++start;
  return line.substr(start, end - start);
}

namespace {

std::string FirstWord(const std::string& trimmed) {
  const size_t sp = trimmed.find(' ');
  return trimmed.substr(0, sp);
}

bool Is(const std::string& word, const char* name) { return ::strcasecmp(word.c_str(), name) == 0; }

bool ParseNumber(const std::string& text, size_t* pos, uint32_t max, uint32_t* out) {
  size_t p = *pos;
  while (p < text.size() && text[p] == ' ') ++p;
  uint32_t v = 0;
  size_t digits = 0;
  while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p]))) {
    v = v * 10 + static_cast<uint32_t>(text[p] - '0');
    if (++digits > 5 || v > max) return false;
    ++p;
  }
  if (digits == 0) return false;
  *pos = p;
  *out = v;
  return true;
}

bool SixNumbers(const std::string& text, size_t pos, uint32_t* address, uint16_t* port, size_t* end) {
  uint32_t n[6];
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      while (pos < text.size() && text[pos] == ' ') ++pos;
      if (pos >= text.size() || text[pos] != ',') return false;
      ++pos;
    }
    if (!ParseNumber(text, &pos, 255, &n[i])) return false;
  }
  *address = (n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3];
  *port = static_cast<uint16_t>(n[4] * 256 + n[5]);
  *end = pos;
  return true;
}

}  // namespace

Command Classify(const std::string& line) {
  const std::string trimmed = TrimLine(line);
  if (trimmed.empty()) return Command::Empty;
  const std::string word = FirstWord(trimmed);
  if (Is(word, "USER")) return Command::User;
  if (Is(word, "PORT")) return Command::Port;
  if (Is(word, "PASV")) return Command::Pasv;
  if (Is(word, "EPSV") || Is(word, "EPRT") || Is(word, "LPSV") || Is(word, "LPRT")) return Command::Extended;
  if (Is(word, "QUIT")) return Command::Quit;
  return Command::Other;
}

std::string Argument(const std::string& line) {
  const std::string trimmed = TrimLine(line);
  const size_t sp = trimmed.find(' ');
  if (sp == std::string::npos) return std::string();
  return TrimLine(trimmed.substr(sp + 1));
}

bool ParseUser(const std::string& argument, uint32_t nonProxyAction, const std::string& nonProxyHost,
               uint32_t nonProxyPort, UserTarget* out) {
  *out = UserTarget();
  for (unsigned char c : argument)
    if (c < 0x20 || c == 0x7F) return false;
  const size_t at = argument.rfind('@');
  if (at == std::string::npos) {
    if (nonProxyAction != 1 || nonProxyHost.empty() || nonProxyPort == 0 || nonProxyPort > 0xFFFF) return false;
    if (argument.empty()) return false;
    out->user = argument;
    out->host = nonProxyHost;
    out->port = static_cast<uint16_t>(nonProxyPort);
    out->nonProxy = true;
    return true;
  }
  out->user = argument.substr(0, at);
  std::string host = argument.substr(at + 1);
  const size_t colon = host.find(':');
  if (colon != std::string::npos) {
    const std::string digits = host.substr(colon + 1);
    size_t pos = 0;
    uint32_t port = 0;
    if (!ParseNumber(digits, &pos, 0xFFFF, &port) || pos != digits.size() || port == 0) return false;
    out->port = static_cast<uint16_t>(port);
    host.resize(colon);
  }
  if (out->user.empty() || host.empty() || host.size() > 255) return false;
  for (unsigned char c : host)
    if (c == ' ' || c == '/' || c == '@') return false;
  out->host = host;
  return true;
}

bool ParseHostPort(const std::string& text, uint32_t* address, uint16_t* port) {
  size_t end = 0;
  if (!SixNumbers(text, 0, address, port, &end)) return false;
  while (end < text.size() && text[end] == ' ') ++end;
  return end == text.size();
}

bool ParsePassiveReply(const std::string& line, uint32_t* address, uint16_t* port) {
  const std::string trimmed = TrimLine(line);
  if (trimmed.size() < 4) return false;
  size_t pos = trimmed.find('(', 3);
  if (pos != std::string::npos) {
    ++pos;
  } else {
    pos = 3;
    while (pos < trimmed.size() && !std::isdigit(static_cast<unsigned char>(trimmed[pos]))) ++pos;
  }
  size_t end = 0;
  return SixNumbers(trimmed, pos, address, port, &end);
}

std::string FormatHostPort(uint32_t address, uint16_t port) {
  return std::to_string(address >> 24) + "," + std::to_string((address >> 16) & 0xFF) + "," +
         std::to_string((address >> 8) & 0xFF) + "," + std::to_string(address & 0xFF) + "," +
         std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

int ReplyCode(const std::string& line, bool* last) {
  if (line.size() < 3) return 0;
  for (int i = 0; i < 3; ++i)
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return 0;
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (code < 100 || code > 599) return 0;
  const char next = line.size() > 3 ? line[3] : '\n';
  if (next == '-') {
    *last = false;
  } else if (next == ' ' || next == '\r' || next == '\n') {
    *last = true;
  } else {
    return 0;
  }
  return code;
}

}  // namespace ftp
