#pragma once
// The WWW service's own answers: the error page (texts the operator may reword under
// "ErrorStrings\\HTTP", built-in English otherwise), the MIME type of a path, and HTML escaping.
//
// Error pages carry the real status of the failure (403, 400, 501, 502, 504 ...), never "200 OK",
// so clients, scripts and caches below the gateway see them as failures; the page body is the
// same whatever the status. Every inserted text is HTML-escaped: a host name or a failure text
// from the network must not become markup. The session closes the connection after a page, and
// the page says so.
#include <cstdint>
#include <string_view>

#include "engine/config/archive.h"  // CString

inline constexpr const char* kHTTPErrorStringsKey = "ErrorStrings\\HTTP";
inline constexpr const char* kMimeTypesKey = "MimeTypes";

enum class WWWPage {
  AccessDenied,           // rights refused the request: 403
  ProtocolError,          // a scheme the proxy does not carry: 501
  MalformedRequest,       // unparsable or refused non-proxy request: 400
  SocketError,            // connecting or talking to the server failed: 502 (504 on a time-out)
  GatewayTimeout,         // FTP reply time-out: 504
  AnonymousAccessDenied,  // FTP login refused: 403
  FileAccessDenied,       // missing local file, folder or program: 403
  MethodNotImplemented,   // fixed texts: 501
  CGINotEnabled,          // fixed texts: 403
};

// The page's registry name ("" for the two fixed pages), default title and default text.
const char* WWWPageName(WWWPage page);
// The status line text ("403 Access Denied") the page is sent with unless the caller names one.
const char* WWWPageStatus(WWWPage page);
// Title and text: the operator's values "<Name>Title" / "<Name>Description" when present and not
// empty, else the built-in English. For SocketError the text is the failure's own text.
CString WWWPageTitle(WWWPage page);
CString WWWPageText(WWWPage page, const CString& detail = CString());

// The whole response: "HTTP/1.0 <status>", Pragma: no-cache, Content-type: text/html,
// Content-Length, Connection: close, then
// "<HTML><HEAD><TITLE>t</TITLE></HEAD>\r\n<BODY><H1>t</H1><P><P>text\r\n</BODY></HTML>\r\n".
// status null: WWWPageStatus(page).
CString BuildErrorPage(WWWPage page, const CString& detail = CString(), const char* status = nullptr);
CString BuildErrorPageText(const char* status, const CString& title, const CString& text);

// &, <, >, " and ' as entities; control characters other than tab become spaces.
CString HtmlEscape(std::string_view text);

// The Java client page's body from its template: every line ends in "\r\n", "##URL##" becomes url
// and "##PORT##" port, both HTML-escaped. At most kMaxJavaTemplate bytes of the template are used.
inline constexpr size_t kMaxJavaTemplate = 256 * 1024;
CString BuildJavaClientPage(std::string_view templ, const CString& url, uint32_t port);

// Percent-encodes every byte but the unreserved characters and "/", for a link in a listing.
CString PercentEncodePath(std::string_view path);

// The MIME type of a file name or URL path: a "MimeTypes" registry value for the extension, the
// built-in table, then "DefaultMimeType" (default "application/unknown"); a name without "." is
// "text/html" for "/", else "NoExtension" (default "text/plain").
CString GetMimeType(std::string_view path);
