#include "engine/proxy/www/www_pages.h"

#include <strings.h>

#include <cctype>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

namespace {

struct PageInfo {
  const char* name;
  const char* title;
  const char* text;
  const char* status;
};

const PageInfo& Info(WWWPage page) {
  static const PageInfo kPages[] = {
      {"AccessDenied", "Access Denied", "You do not have sufficient rights for access to this resource",
       "403 Access Denied"},
      {"ProtocolError", "Protocol Error", "Only HTTP, FTP and SSL are currently supported",
       "501 Protocol not supported"},
      {"MalformedRequest", "Browser Error", "Your Browser sent a malformed request", "400 Malformed Request"},
      {"SocketError", "Socket Error", "", "502 Bad Gateway"},
      {"GatewayTimeout", "FTP Error", "FTP Session has timed out", "504 Gateway Timeout"},
      {"AnonymousAccessDenied", "Access Denied", "Anonymous Access Denied", "403 Anonymous Access Denied"},
      {"FileAccessDenied", "Access Denied", "File not found or access denied", "403 Access Denied"},
      {"", "Method not implemented", "This HTTP server does not support this method", "501 Method not implemented"},
      {"", "Access Denied", "CGI is not enabled on this server", "403 Access Denied"},
  };
  return kPages[static_cast<int>(page)];
}

// An operator's text is one line of plain text here; a stored value can be anything.
CString OperatorValue(const char* name, const char* suffix) {
  if (!*name) return CString();
  CString v = RegReadString(kHTTPErrorStringsKey, CString(name) + suffix, "");
  if (v.size() > 4096) v.resize(4096);
  return v;
}

// A "MimeTypes" value as the registry had it at most kMimeCacheMs ago. Every file the gateway
// serves or stores asks for its type; a registry read each time puts every session behind the
// store's one lock, and an operator's new type taking two seconds to apply costs nothing.
constexpr int64_t kMimeCacheMs = 2000;
constexpr size_t kMimeCacheEntries = 512;

CString MimeValue(std::string_view name, const char* def) {
  struct Entry {
    CString value;
    int64_t at;
  };
  static std::mutex mx;
  static std::unordered_map<std::string, Entry> cache;
  // The default is part of the key: an extension spelled like one of the special names must not
  // answer for it.
  std::string key = std::string(def) + "\n" + std::string(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  {
    std::lock_guard<std::mutex> g(mx);
    auto it = cache.find(key);
    if (it != cache.end() && now - it->second.at < kMimeCacheMs) return it->second.value;
  }
  CString value = RegReadString(kMimeTypesKey, CString(name), def);
  std::lock_guard<std::mutex> g(mx);
  // Names come from requests: the cache stays small whatever a client asks for.
  if (cache.size() >= kMimeCacheEntries) cache.clear();
  cache[key] = Entry{value, now};
  return value;
}

}  // namespace

const char* WWWPageName(WWWPage page) { return Info(page).name; }
const char* WWWPageStatus(WWWPage page) { return Info(page).status; }

CString WWWPageTitle(WWWPage page) {
  CString v = OperatorValue(Info(page).name, "Title");
  return v.empty() ? CString(Info(page).title) : v;
}

CString WWWPageText(WWWPage page, const CString& detail) {
  if (page == WWWPage::SocketError) return detail;
  CString v = OperatorValue(Info(page).name, "Description");
  return v.empty() ? CString(Info(page).text) : v;
}

CString HtmlEscape(std::string_view text) {
  CString out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += (c < 0x20 && c != '\t') || c == 0x7F ? ' ' : static_cast<char>(c); break;
    }
  }
  return out;
}

CString BuildJavaClientPage(std::string_view templ, const CString& url, uint32_t port) {
  templ = templ.substr(0, kMaxJavaTemplate);
  const CString u = HtmlEscape(url);
  const CString p = FormatString("%u", port);
  CString out;
  size_t start = 0;
  while (start < templ.size()) {
    size_t end = templ.find('\n', start);
    if (end == std::string_view::npos) end = templ.size();
    std::string_view line = templ.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    CString l(line);
    for (size_t at; (at = l.find("##URL##")) != CString::npos;) l.replace(at, 7, u);
    for (size_t at; (at = l.find("##PORT##")) != CString::npos;) l.replace(at, 8, p);
    out += l + "\r\n";
    start = end + 1;
  }
  return out;
}

CString PercentEncodePath(std::string_view path) {
  static const char kHex[] = "0123456789ABCDEF";
  CString out;
  for (unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

CString BuildErrorPageText(const char* status, const CString& title, const CString& text) {
  const CString t = HtmlEscape(title);
  const CString body = "<HTML><HEAD><TITLE>" + t + "</TITLE></HEAD>\r\n<BODY><H1>" + t + "</H1><P><P>" +
                       HtmlEscape(text) + "\r\n</BODY></HTML>\r\n";
  return FormatString("HTTP/1.0 %s\r\nPragma: no-cache\r\nContent-type: text/html\r\nContent-Length: %zu\r\n"
                      "Connection: close\r\n\r\n",
                      status, body.size()) +
         body;
}

CString BuildErrorPage(WWWPage page, const CString& detail, const char* status) {
  return BuildErrorPageText(status ? status : WWWPageStatus(page), WWWPageTitle(page), WWWPageText(page, detail));
}

CString GetMimeType(std::string_view path) {
  // The name is the last path segment; a "." in a folder name is no extension.
  const size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    if (path == "/" || name.empty()) return "text/html";
    return MimeValue("NoExtension", "text/plain");
  }
  const std::string_view ext = name.substr(dot + 1);
  if (!ext.empty() && ext.size() <= 32) {
    const CString v = MimeValue(ext, "");
    if (!v.empty()) return v;
  }
  static const struct {
    const char* ext;
    const char* type;
  } kTable[] = {
      {"htm", "text/html"}, {"html", "text/html"}, {"txt", "text/plain"}, {"text", "text/plain"},
      {"ief", "image/ief"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"gif", "image/gif"},
      {"tif", "image/tiff"}, {"tiff", "image/tiff"}, {"png", "image/x-png"}, {"pcd", "image/x-photo-cd"},
      {"bmp", "image/x-MS-bmp"}, {"rle", "image/x-MS-bmp"}, {"rgb", "image/x-rgb"}, {"xbm", "image/x-xbitmap"},
      {"exe", "application/octet-stream"}, {"bin", "application/octet-stream"}, {"gz", "application/x-gzip"},
      {"Z", "application/x-compress"}, {"zip", "application/x-zip-compressed"}, {"ps", "application/postscript"},
      {"eps", "application/postscript"}, {"ai", "application/postscript"}, {"hqx", "application/mac-binhex40"},
      {"au", "audio/basic"}, {"snd", "audio/basic"}, {"aif", "audio/x-aiff"}, {"aiff", "audio/x-aiff"},
      {"mp2", "audio/x-mpeg"}, {"mpa", "audio/x-mpeg"}, {"abs", "audio/x-mpeg"}, {"ra", "audio/x-pn-realaudio"},
      {"ram", "audio/x-pn-realaudio"}, {"wav", "audio/x-wav"}, {"mpg", "video/mpeg"}, {"mpeg", "video/mpeg"},
      {"mpe", "video/mpeg"}, {"qt", "video/quicktime"}, {"mov", "video/quicktime"}, {"mpv2", "video/x-mpeg2"},
      {"mp2v", "video/x-mpeg2"}, {"avi", "video/x-msvideo"}, {"vdo", "video/vdo"},
  };
  for (const auto& e : kTable)
    if (ext.size() == std::char_traits<char>::length(e.ext) && ::strncasecmp(ext.data(), e.ext, ext.size()) == 0)
      return e.type;
  return MimeValue("DefaultMimeType", "application/unknown");
}
