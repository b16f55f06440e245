#pragma once
// The two byte forms between the gateway's web server and a CGI program (RFC 3875), kept free of
// engine globals so tests and a fuzzer drive them directly: the environment the program starts
// with, and the header the program writes in front of its body.
//
// Environment: the meta-variables of RFC 3875 section 4.1 from the request, and one HTTP_<NAME>
// per request header whose name is a token (upper case, "-" as "_"). "Proxy" is never passed: as
// HTTP_PROXY it would name a proxy for the program's own outgoing requests (httpoxy). Content-Type
// and Content-Length go as CONTENT_TYPE / CONTENT_LENGTH only, Authorization and cookies of a proxy
// are not the program's business. A value with a control character is left out.
//
// Output header: lines "Name: value" ended by LF or CR LF, closed by an empty line, at most
// kMaxCgiHeader bytes in all. "Status: NNN reason" sets the status (three digits, 100-999),
// "Location" without a status gives "302 Found", otherwise "200 OK". A header with none of
// Content-Type, Location and Status is not a CGI response. Fields the gateway frames itself
// (Connection, Transfer-Encoding, Keep-Alive) are dropped; a Content-Length that is not plain
// digits is dropped too. Output that begins with "HTTP/1." is a non-parsed-header program's own
// response and goes to the browser unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/proxy/www/http_request.h"

inline constexpr size_t kMaxCgiHeader = 32 * 1024;
inline constexpr size_t kMaxCgiHeaderFields = 100;

struct CCgiRequestInfo {
  CString method;
  CString query;
  CString scriptName;      // the URL path of the program, "/cgi-bin/prog"
  CString pathInfo;        // what follows it in the URL path, decoded, "" when nothing
  CString pathTranslated;  // pathInfo below the web root, "" when no pathInfo
  CString remoteAddress;
  CString serverName;
  uint32_t serverPort = 0;
  CString protocol;       // "HTTP/1.1"; "HTTP/0.9" for a one-line request
  CString contentLength;  // "" when the request has no body
  const CHttpHeaderList* headers = nullptr;
};

// "NAME=value" strings for the program's environment.
std::vector<std::string> BuildCgiEnvironment(const CCgiRequestInfo& info);

enum class CgiHeaderScan { kNeedMore, kHeader, kNonParsed, kBad };

struct CCgiHeader {
  uint32_t status = 200;
  CString reason = "OK";
  CHttpHeaderList fields;   // in order, without Status and the dropped ones
  size_t headerLength = 0;  // bytes of the header with its empty line
  const char* why = "";     // kBad: a short reason
};

// Reads the program's header from the first bytes of its output (all of it when ended is set,
// i.e. the program has closed its output). kNeedMore while the header has not ended and may still.
CgiHeaderScan ParseCgiHeader(std::string_view output, bool ended, CCgiHeader* out);

// The HTTP/1.0 response header for a parsed CGI header: status line, Date and Server, the
// program's fields, "Connection: close", the empty line.
std::string BuildCgiResponseHeader(const CCgiHeader& header, const CString& date, const CString& server);
