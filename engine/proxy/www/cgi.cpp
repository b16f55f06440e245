#include "engine/proxy/www/cgi.h"

#include <strings.h>

#include <cctype>

#include "engine/config/util.h"

namespace {

bool IsTokenChar(unsigned char c) {
  return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!IsTokenChar(c)) return false;
  return true;
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
  return false;
}

bool EqNoCase(std::string_view a, const char* b) {
  return a.size() == std::char_traits<char>::length(b) && ::strncasecmp(a.data(), b, a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<std::string> BuildCgiEnvironment(const CCgiRequestInfo& info) {
  std::vector<std::string> env;
  auto add = [&](const char* name, std::string_view value) {
    if (HasControl(value)) return;
    env.push_back(std::string(name) + "=" + std::string(value));
  };
  add("GATEWAY_INTERFACE", "CGI/1.1");
  add("SERVER_SOFTWARE", "Nomra Trellis Engine");
  add("SERVER_NAME", info.serverName);
  add("SERVER_PORT", std::to_string(info.serverPort));
  add("SERVER_PROTOCOL", info.protocol.empty() ? "HTTP/0.9" : std::string_view(info.protocol));
  add("REQUEST_METHOD", info.method);
  add("QUERY_STRING", info.query);
  add("SCRIPT_NAME", info.scriptName);
  add("REMOTE_ADDR", info.remoteAddress);
  // The program's own tools are found where the system keeps them, not where the engine's
  // environment happens to point.
  add("PATH", "/usr/local/bin:/usr/bin:/bin");
  if (!info.pathInfo.empty()) {
    add("PATH_INFO", info.pathInfo);
    add("PATH_TRANSLATED", info.pathTranslated);
  }
  if (!info.contentLength.empty()) add("CONTENT_LENGTH", info.contentLength);
  if (!info.headers) return env;
  const CString type = info.headers->Get("Content-Type");
  if (!type.empty()) add("CONTENT_TYPE", type);
  for (const auto& [name, value] : info.headers->Items()) {
    if (!IsToken(name) || EqNoCase(name, "Proxy") || EqNoCase(name, "Content-Type") ||
        EqNoCase(name, "Content-Length") || EqNoCase(name, "Authorization") || EqNoCase(name, "Proxy-Authorization"))
      continue;
    std::string var = "HTTP_";
    for (unsigned char c : name) var += c == '-' ? '_' : static_cast<char>(std::toupper(c));
    if (HasControl(value)) continue;
    // A header sent twice is one variable, its values joined as HTTP joins them.
    bool merged = false;
    for (auto& e : env)
      if (e.size() > var.size() && e.compare(0, var.size(), var) == 0 && e[var.size()] == '=') {
        e += ", " + std::string(value);
        merged = true;
        break;
      }
    if (!merged) env.push_back(var + "=" + std::string(value));
  }
  return env;
}

CgiHeaderScan ParseCgiHeader(std::string_view output, bool ended, CCgiHeader* out) {
  *out = CCgiHeader();
  if (output.size() >= 7 && output.compare(0, 7, "HTTP/1.") == 0) return CgiHeaderScan::kNonParsed;
  if (output.size() < 7 && !ended && std::string_view("HTTP/1.").substr(0, output.size()) == output)
    return CgiHeaderScan::kNeedMore;
  auto bad = [&](const char* why) {
    out->why = why;
    return CgiHeaderScan::kBad;
  };
  bool haveStatus = false, haveType = false, haveLocation = false;
  size_t pos = 0;
  for (;;) {
    const size_t lf = output.find('\n', pos);
    if (lf == std::string_view::npos) {
      if (output.size() > kMaxCgiHeader) return bad("header too long");
      return ended ? bad("output ended inside the header") : CgiHeaderScan::kNeedMore;
    }
    if (lf + 1 > kMaxCgiHeader) return bad("header too long");
    std::string_view line = output.substr(pos, lf - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = lf + 1;
    if (line.empty()) break;
    if (out->fields.Count() >= kMaxCgiHeaderFields) return bad("too many header lines");
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return bad("header line without a colon");
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    if (!IsToken(name)) return bad("header name is not a token");
    if (HasControl(value)) return bad("control character in a header value");
    if (EqNoCase(name, "Status")) {
      if (haveStatus) return bad("two Status lines");
      if (value.size() < 3 || !std::isdigit(static_cast<unsigned char>(value[0])) ||
          !std::isdigit(static_cast<unsigned char>(value[1])) || !std::isdigit(static_cast<unsigned char>(value[2])) ||
          (value.size() > 3 && value[3] != ' ') || value[0] == '0')
        return bad("Status is not a three-digit code");
      out->status = static_cast<uint32_t>((value[0] - '0') * 100 + (value[1] - '0') * 10 + (value[2] - '0'));
      const std::string_view reason = value.size() > 4 ? Trim(value.substr(4)) : std::string_view();
      out->reason = CString(reason);  // may be empty: the status line keeps its space
      haveStatus = true;
      continue;
    }
    if (EqNoCase(name, "Connection") || EqNoCase(name, "Transfer-Encoding") || EqNoCase(name, "Keep-Alive")) continue;
    if (EqNoCase(name, "Content-Length")) {
      if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos)
        continue;
    }
    if (EqNoCase(name, "Content-Type")) haveType = true;
    if (EqNoCase(name, "Location")) haveLocation = true;
    out->fields.Add(CString(name), CString(value));
  }
  if (!haveStatus && !haveType && !haveLocation) return bad("no Content-Type, Location or Status");
  if (!haveStatus && haveLocation) {
    out->status = 302;
    out->reason = "Found";
  }
  out->headerLength = pos;
  return CgiHeaderScan::kHeader;
}

std::string BuildCgiResponseHeader(const CCgiHeader& header, const CString& date, const CString& server) {
  std::string h = FormatString("HTTP/1.0 %03u %s\r\n", header.status, header.reason.c_str());
  h += "Date: " + date + "\r\nServer: " + server + "\r\n";
  for (const auto& [name, value] : header.fields.Items()) h += name + ": " + value + "\r\n";
  h += "Connection: close\r\n\r\n";
  return h;
}
