#include "engine/proxy/pop3/pop3_protocol.h"

#include <cctype>

namespace pop3 {

LineResult FirstLine(const std::string& buffer, std::string* line, size_t* length) {
  const size_t end = buffer.find('\n');
  if (end == std::string::npos) return buffer.size() > kMaxLine ? LineResult::TooLong : LineResult::NeedMore;
  if (end > kMaxLine) return LineResult::TooLong;
  line->assign(buffer, 0, end + 1);
  *length = end + 1;
  return LineResult::Done;
}

std::string Trim(const std::string& line) {
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r' || line[end - 1] == ' ' || line[end - 1] == '\t'))
    --end;
  size_t start = 0;
  while (start < end && (line[start] == ' ' || line[start] == '\t')) ++start;
  return line.substr(start, end - start);
}

char DelimiterFrom(uint32_t value) {
  if (value > 0x20 && value < 0x7F && value != ':') return static_cast<char>(value);
  return '#';
}

UserResult ParseUser(const std::string& argument, char delimiter, bool throughProxy, uint32_t nonProxyAction,
                     const std::string& nonProxyHost, uint32_t nonProxyPort, UserTarget* out) {
  *out = UserTarget();
  if (argument.empty()) return UserResult::Bad;
  for (unsigned char c : argument)
    if (c < 0x20 || c == 0x7F) return UserResult::Bad;
  const size_t at = argument.rfind(delimiter);
  if (at == std::string::npos) {
    out->nonProxy = true;
    out->user = argument;
    if (throughProxy) return UserResult::Done;
    if (nonProxyAction != 1 || nonProxyHost.empty() || nonProxyPort == 0 || nonProxyPort > 0xFFFF)
      return UserResult::Rejected;
    out->host = nonProxyHost;
    out->port = static_cast<uint16_t>(nonProxyPort);
    out->hasPort = nonProxyPort != 110;
    return UserResult::Done;
  }
  out->user = argument.substr(0, at);
  std::string host = argument.substr(at + 1);
  const size_t colon = host.find(':');
  if (colon != std::string::npos) {
    const std::string digits = host.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return UserResult::Bad;
    uint32_t port = 0;
    for (char c : digits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return UserResult::Bad;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 0xFFFF) return UserResult::Bad;
    out->port = static_cast<uint16_t>(port);
    out->hasPort = true;
    host.resize(colon);
  }
  if (out->user.empty() || host.empty() || host.size() > 255) return UserResult::Bad;
  for (unsigned char c : host)
    if (c == ' ' || c == '/' || c == '@') return UserResult::Bad;
  out->host = host;
  return UserResult::Done;
}

}  // namespace pop3
