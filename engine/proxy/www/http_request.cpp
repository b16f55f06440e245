#include "engine/proxy/www/http_request.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/proxy/common/url_normal.h"

namespace {

bool EqNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || ::strncasecmp(a.data(), b.data(), a.size()) == 0);
}

bool IsTokenChar(unsigned char c) {
  if (std::isalnum(c)) return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

bool IsSchemeChar(unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; }

bool IsPrintable(unsigned char c) { return c > 0x20 && c < 0x7F; }

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!IsTokenChar(c)) return false;
  return true;
}

// The CR at text[i] is followed by the LF that ends its line. A CR anywhere else is refused: some
// servers take it as a line end and others as part of the text.
bool EndsLine(std::string_view text, size_t i) { return i + 1 < text.size() && text[i + 1] == '\n'; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A header line has ended: its name and value join the list trimmed, and the next line starts
// from empty ones.
void TakeHeaderLine(CHttpHeaderList& headers, CString& name, CString& value) {
  headers.Add(CString(TrimView(name)), CString(TrimView(value)));
  name.clear();
  value.clear();
}

// "HTTP/" digit "." digit (more digits tolerated).
bool IsHttpVersion(std::string_view v) {
  if (v.size() < 8 || !EqNoCase(v.substr(0, 5), "HTTP/")) return false;
  size_t i = 5;
  size_t major = 0;
  while (i < v.size() && std::isdigit(static_cast<unsigned char>(v[i]))) ++i, ++major;
  if (major == 0 || i >= v.size() || v[i] != '.') return false;
  ++i;
  size_t minor = 0;
  while (i < v.size() && std::isdigit(static_cast<unsigned char>(v[i]))) ++i, ++minor;
  return minor > 0 && i == v.size();
}

// The earliest of the three header ends at or after 0; npos when none. *endLength: its length.
size_t FindHeaderEnd(std::string_view b, size_t* endLength) {
  size_t best = std::string_view::npos;
  size_t len = 0;
  auto consider = [&](std::string_view pat) {
    const size_t p = b.find(pat);
    if (p != std::string_view::npos && (best == std::string_view::npos || p < best)) {
      best = p;
      len = pat.size();
    }
  };
  consider("\r\n\r\n");
  consider("\n\n");
  consider("\n\r\n");
  *endLength = len;
  return best;
}

}  // namespace

uint32_t HttpSchemeKind(std::string_view scheme) {
  if (scheme.empty()) return kHttpKindNone;
  if (EqNoCase(scheme, "HTTP")) return kHttpKindHTTP;
  if (EqNoCase(scheme, "HTTPS")) return kHttpKindHTTPS;
  if (EqNoCase(scheme, "FTP")) return kHttpKindFTP;
  if (EqNoCase(scheme, "GOPHER")) return kHttpKindGopher;
  if (EqNoCase(scheme, "WAIS")) return kHttpKindWAIS;
  if (EqNoCase(scheme, "SSL")) return kHttpKindSSL;
  return kHttpKindOther;
}

// ---- Header list --------------------------------------------------------------------------------

CString CHttpHeaderList::Get(std::string_view name) const {
  for (const auto& [n, v] : m_items)
    if (EqNoCase(n, name)) return v;
  return CString();
}

bool CHttpHeaderList::Has(std::string_view name) const {
  for (const auto& item : m_items)
    if (EqNoCase(item.first, name)) return true;
  return false;
}

size_t CHttpHeaderList::RemoveAll(std::string_view name) {
  const size_t before = m_items.size();
  std::erase_if(m_items, [&](const Item& item) { return EqNoCase(item.first, name); });
  return before - m_items.size();
}

bool CHttpHeaderList::RemoveFirst(std::string_view name) {
  for (auto it = m_items.begin(); it != m_items.end(); ++it) {
    if (EqNoCase(it->first, name)) {
      m_items.erase(it);
      return true;
    }
  }
  return false;
}

void CHttpHeaderList::Set(std::string_view name, CString value) {
  bool done = false;
  for (auto it = m_items.begin(); it != m_items.end();) {
    if (!EqNoCase(it->first, name)) {
      ++it;
    } else if (!done) {
      it->second = std::move(value);
      done = true;
      ++it;
    } else {
      it = m_items.erase(it);
    }
  }
  if (!done) m_items.emplace_back(CString(name), std::move(value));
}

// ---- Request ------------------------------------------------------------------------------------

CHttpScanResult ScanRequestHeader(std::string_view b, size_t cap) {
  CHttpScanResult r;
  size_t endLen = 0;
  size_t end = FindHeaderEnd(b, &endLen);
  if (end != std::string_view::npos) {
    r.state = end + endLen > cap ? HttpScan::TooLarge : HttpScan::Complete;
    r.headerLength = end + endLen;
    return r;
  }
  // A first line without a version is a whole (HTTP/0.9) request; with one, the blank line must
  // follow.
  const size_t lf = b.find('\n');
  if (lf != std::string_view::npos && b.find("HTTP/") == std::string_view::npos) {
    r.state = lf + 1 > cap ? HttpScan::TooLarge : HttpScan::Complete;
    r.headerLength = lf + 1;
    return r;
  }
  r.state = b.size() >= cap ? HttpScan::TooLarge : HttpScan::NeedMore;
  return r;
}

CString CHttpRequest::CacheKey() const {
  CString key = host;
  if (port != 80 && !portText.empty()) key += ":" + portText;
  key += path.empty() ? CString("/") : path;
  return key;
}

CString CHttpRequest::Description() const {
  CString d = scheme + "://" + host;
  if (!portText.empty()) d += ":" + portText;
  return d + path;
}

bool ParseHttpRequest(std::string_view text, CHttpRequest& out, const char** why) {
  out = CHttpRequest();
  const char* dummy = nullptr;
  const char*& reason = why ? *why : dummy;
  reason = "";
  enum { kMethod, kScheme, kAuthority, kPath, kQuery, kVersion, kName, kValue, kDone } state = kMethod;
  CString name, value;
  const size_t n = text.size();
  for (size_t i = 0; i < n && state != kDone; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (state) {
      case kMethod:
        if (c == ' ') {
          if (out.method.empty()) return reason = "empty method", false;
          if (EqNoCase(out.method, "CONNECT")) {
            out.scheme = "SSL";
            out.connect = true;
            state = kAuthority;
          } else {
            state = kScheme;
          }
        } else if (IsTokenChar(c)) {
          out.method += static_cast<char>(c);
        } else {
          return reason = "method is not a token", false;
        }
        break;
      case kScheme:
        if (c == '/') {
          if (!out.scheme.empty()) return reason = "scheme without \"://\"", false;
          out.relative = true;
          out.scheme = "http";
          out.path += '/';
          state = kPath;
        } else if (c == ':') {
          // "://" must follow the scheme; a shorter line ends early and is malformed.
          if (out.scheme.empty() || i + 2 >= n || text[i + 1] != '/' || text[i + 2] != '/')
            return reason = "scheme without \"://\"", false;
          i += 2;
          state = kAuthority;
        } else if (IsSchemeChar(c)) {
          out.scheme += static_cast<char>(c);
        } else {
          // A space ("OPTIONS * HTTP/1.1") or anything else cannot start a URL we forward.
          return reason = "request target is not a URL", false;
        }
        break;
      case kAuthority:
        if (c == '/') {
          out.path += '/';
          state = kPath;
        } else if (c == ' ') {
          state = kVersion;
        } else if (c == '\r') {
          if (!EndsLine(text, i)) return reason = "CR without LF in the request line", false;
        } else if (c == '\n') {
          state = kName;  // a one-line request: no version
        } else if (IsPrintable(c)) {
          out.authority += static_cast<char>(c);
        } else {
          return reason = "control character in the host", false;
        }
        break;
      case kPath:
        if (c == '\n') {
          state = kName;
        } else if (!IsPrintable(c) && c != ' ') {
        } else if (c == '?') {
          state = kQuery;
        } else if (c == ' ') {
          state = kVersion;
        } else {
          out.path += static_cast<char>(c);
        }
        break;
      case kQuery:
        if (c == '\n') {
          if (out.query.empty()) out.path += '?';
          state = kName;
        } else if (!IsPrintable(c) && c != ' ') {
        } else if (c == ' ') {
          if (out.query.empty()) out.path += '?';
          state = kVersion;
        } else {
          out.query += static_cast<char>(c);
        }
        break;
      case kVersion:
        if (c == '\r') {
          if (!EndsLine(text, i)) return reason = "CR without LF in the request line", false;
        } else if (c == '\n') {
          if (!IsHttpVersion(out.version)) return reason = "bad protocol version", false;
          state = kName;
        } else if (IsPrintable(c)) {
          out.version += static_cast<char>(c);
        } else {
          return reason = "bad protocol version", false;
        }
        break;
      case kName:
        if (c == '\r') {
          if (!EndsLine(text, i)) return reason = "CR without LF in a header line", false;
        } else if (c == '\n') {
          // The blank line ends the header; a line without ":" is dropped.
          if (name.empty()) state = kDone;
          name.clear();
        } else if (c == ':') {
          // A name is a token, nothing around it: "Transfer-Encoding : chunked" or a name with a
          // control character is read differently by different servers, so it is refused rather
          // than repaired into a field the origin would then obey.
          if (!IsToken(name)) return reason = "header name is not a token", false;
          state = kValue;
        } else {
          name += static_cast<char>(c);
        }
        break;
      case kValue:
        if (c == '\r') {
          if (!EndsLine(text, i)) return reason = "CR without LF in a header line", false;
        } else if (c == '\n') {
          TakeHeaderLine(out.headers, name, value);
          state = kName;
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
          return reason = "control character in a header value", false;
        } else {
          value += static_cast<char>(c);
        }
        break;
      case kDone: break;
    }
  }
  if (state == kMethod || state == kScheme) return reason = "request line ends early", false;
  if (state == kVersion && !out.version.empty() && !IsHttpVersion(out.version))
    return reason = "bad protocol version", false;
  if (state == kValue && !name.empty()) TakeHeaderLine(out.headers, name, value);
  out.kind = HttpSchemeKind(out.scheme);
  return true;
}

// ---- Request body ------------------------------------------------------------------------------

namespace {

// Calls each(member) for every member of a comma-separated list, blanks around it trimmed; empty
// members are passed too (the caller decides what an empty one means).
template <class F>
void ForEachListMember(std::string_view value, F each) {
  for (;;) {
    const size_t comma = value.find(',');
    each(TrimView(value.substr(0, comma)));
    if (comma == std::string_view::npos) return;
    value.remove_prefix(comma + 1);
  }
}

// 1*DIGIT up to kMaxContentLength.
bool ParseLength(std::string_view text, uint64_t* out) {
  if (text.empty()) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
    if (n > kMaxContentLength) return false;
  }
  *out = n;
  return true;
}

}  // namespace

bool GetRequestFraming(const CHttpRequest& req, CHttpBodyFraming* out, const char** why) {
  const char* dummy = nullptr;
  const char*& reason = why ? *why : dummy;
  reason = "";
  *out = CHttpBodyFraming();
  bool hasLength = false, hasCoding = false, lengthsBad = false, lengthsDiffer = false;
  uint64_t length = 0;
  size_t codings = 0, chunkedAt = 0;
  bool codingOther = false;
  for (const auto& [name, value] : req.headers.Items()) {
    if (EqNoCase(name, "Content-Length")) {
      ForEachListMember(value, [&](std::string_view member) {
        uint64_t n = 0;
        if (!ParseLength(member, &n)) {
          lengthsBad = true;
        } else if (hasLength && n != length) {
          lengthsDiffer = true;
        }
        length = n;
        hasLength = true;
      });
    } else if (EqNoCase(name, "Transfer-Encoding")) {
      hasCoding = true;
      ForEachListMember(value, [&](std::string_view member) {
        if (member.empty()) return;  // the list rule allows empty members
        ++codings;
        if (EqNoCase(member, "chunked"))
          chunkedAt = codings;
        else
          codingOther = true;
      });
    }
  }
  // Either header may be the one the origin obeys while this proxy reads the other: both are
  // refused (RFC 9112 section 6.1 lets a server reject them; a proxy must not guess).
  if (hasCoding && hasLength) return reason = "both Transfer-Encoding and Content-Length", false;
  if (hasCoding) {
    // An HTTP/1.0 recipient does not know chunked: its framing would be read as faulty.
    if (!EqNoCase(req.version, "HTTP/1.1"))
      return reason = "Transfer-Encoding in a request that is not HTTP/1.1", false;
    if (codings == 0 || chunkedAt != codings) return reason = "chunked is not the final transfer coding", false;
    if (codings != 1 || codingOther) return reason = "a transfer coding other than chunked", false;
    out->kind = HttpBody::Chunked;
    return true;
  }
  if (hasLength) {
    if (lengthsBad) return reason = "invalid Content-Length", false;
    if (lengthsDiffer) return reason = "differing Content-Length values", false;
    out->kind = HttpBody::Length;
    out->length = length;
  }
  return true;
}

CHttpBodyReader::CHttpBodyReader(const CHttpBodyFraming& framing) : m_kind(framing.kind) {
  switch (framing.kind) {
    case HttpBody::None: m_state = kDone; break;
    case HttpBody::Length:
      m_left = framing.length;
      m_state = m_left == 0 ? kDone : kLength;
      break;
    case HttpBody::Chunked: m_state = kSize; break;
  }
}

size_t CHttpBodyReader::Fail(const char* why) {
  m_state = kBad;
  m_why = why;
  return 0;
}

bool CHttpBodyReader::CountLineByte() {
  if (++m_lineLength > kMaxChunkLine) return false;
  return m_state != kTrailer || ++m_trailerLength <= kMaxChunkTrailer;
}

size_t CHttpBodyReader::Feed(std::string_view in, std::string* payload) {
  size_t i = 0;
  while (i < in.size() && m_state != kDone && m_state != kBad) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    const bool control = (c < 0x20 && c != '\t') || c == 0x7F;
    switch (m_state) {
      case kLength:
      case kData: {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(m_left, in.size() - i));
        payload->append(in.data() + i, n);
        i += n;
        m_left -= n;
        if (m_left == 0) m_state = m_state == kLength ? kDone : kDataCR;
        continue;
      }
      case kSize:
        if (!CountLineByte()) return Fail("chunk size line too long");
        if (std::isxdigit(c)) {
          const uint64_t digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
          if (m_size > (kMaxContentLength - digit) / 16) return Fail("chunk size too large");
          m_size = m_size * 16 + digit;
          ++m_sizeDigits;
        } else if (m_sizeDigits == 0) {
          return Fail("chunk size is not hexadecimal");
        } else if (c == ';') {
          m_state = kExtension;
        } else if (IsBlank(static_cast<char>(c))) {
          m_state = kSizeBlank;
        } else if (c == '\r') {
          m_state = kSizeLF;
        } else {
          return Fail("chunk size is not hexadecimal");
        }
        break;
      case kSizeBlank:
        if (!CountLineByte()) return Fail("chunk size line too long");
        // Blanks after the size may only lead to an extension.
        if (c == ';')
          m_state = kExtension;
        else if (!IsBlank(static_cast<char>(c)))
          return Fail("blank after a chunk size");
        break;
      case kExtension:
        if (!CountLineByte()) return Fail("chunk size line too long");
        if (c == '\r')
          m_state = kSizeLF;
        else if (control)
          return Fail("control character in a chunk extension");
        break;
      case kSizeLF:
        if (c != '\n') return Fail("chunk size line without CRLF");
        m_left = m_size;
        m_state = m_size == 0 ? kTrailer : kData;
        m_size = 0;
        m_sizeDigits = 0;
        m_lineLength = 0;
        break;
      case kDataCR:
        if (c != '\r') return Fail("chunk data longer than its size");
        m_state = kDataLF;
        break;
      case kDataLF:
        if (c != '\n') return Fail("chunk data without CRLF");
        m_state = kSize;
        break;
      case kTrailer:
        if (c == '\r') {
          m_state = kTrailerLF;
        } else if (control) {
          return Fail("control character in a trailer");
        } else if (!CountLineByte()) {
          return Fail("trailer too long");
        }
        break;
      case kTrailerLF:
        if (c != '\n') return Fail("trailer line without CRLF");
        // The empty line ends the body; a trailer field before it is read and dropped.
        m_state = m_lineLength == 0 ? kDone : kTrailer;
        m_lineLength = 0;
        break;
      case kDone:
      case kBad: break;
    }
    ++i;
  }
  return m_state == kBad ? 0 : i;
}

void CHttpBodyReader::AppendWire(std::string_view payload, std::string* wire) {
  if (m_kind != HttpBody::Chunked) {
    wire->append(payload);
    return;
  }
  // The body goes on chunked in the parts it arrived in; the client's extensions and trailers
  // stay behind, so the origin reads exactly the framing this proxy read.
  if (!payload.empty()) {
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", payload.size());
    wire->append(size);
    wire->append(payload);
    wire->append("\r\n");
  }
  if (m_state == kDone && !m_lastChunkSent) {
    wire->append("0\r\n\r\n");
    m_lastChunkSent = true;
  }
}

void RemoveHopByHopHeaders(CHttpHeaderList& headers) {
  std::vector<CString> named;
  for (const auto& [name, value] : headers.Items()) {
    if (!EqNoCase(name, "Connection")) continue;
    ForEachListMember(value, [&](std::string_view member) {
      if (!member.empty()) named.emplace_back(member);
    });
  }
  for (const CString& name : named) headers.RemoveAll(name);
  static const char* const kHopByHop[] = {"Connection", "Keep-Alive", "Proxy-Authorization", "Proxy-Connection",
                                          "TE",         "Trailer",    "Transfer-Encoding",   "Upgrade"};
  for (const char* name : kHopByHop) headers.RemoveAll(name);
}

bool SplitHttpAuthority(CHttpRequest& req, const char** why) {
  const char* dummy = nullptr;
  const char*& reason = why ? *why : dummy;
  reason = "";
  CString auth = req.authority;
  req.host.clear();
  req.portText.clear();
  req.port = 0;
  const size_t at = auth.rfind('@');
  if (at != CString::npos) {
    if (req.kind != kHttpKindFTP) return reason = "user information in a non-FTP URL", false;
    const CString info = auth.substr(0, at);
    auth = auth.substr(at + 1);
    const size_t colon = info.find(':');
    if (colon != CString::npos) {
      req.ftpUser = info.substr(0, colon);
      req.ftpPassword = info.substr(colon + 1);
      req.urlLogin = true;
    }
  }
  if (auth.find('[') != CString::npos || auth.find(']') != CString::npos)
    return reason = "IPv6 literals are not supported", false;
  const size_t colon = auth.find(':');
  req.host = auth.substr(0, colon);
  if (colon != CString::npos) {
    req.portText = auth.substr(colon + 1);
    if (req.portText.empty() || req.portText.size() > 5) return reason = "bad port", false;
    uint32_t p = 0;
    for (char ch : req.portText) {
      if (ch < '0' || ch > '9') return reason = "bad port", false;
      p = p * 10 + static_cast<uint32_t>(ch - '0');
    }
    if (p == 0 || p > 65535) return reason = "bad port", false;
    req.port = p;
  } else {
    switch (req.kind) {
      case kHttpKindHTTP:
      case kHttpKindHTTPS:
      case kHttpKindSSL: req.port = 80; break;
      case kHttpKindFTP: req.port = 21; break;
      default: req.port = 0; break;
    }
  }
  if (req.host.size() > 255) return reason = "host name too long", false;
  for (unsigned char c : req.host)
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_') return reason = "bad character in the host", false;
  if (req.host.empty() && !req.relative) return reason = "no host", false;
  return true;
}

bool NormalizeHttpRequest(CHttpRequest& req, const char** why) {
  const char* dummy = nullptr;
  const char*& reason = why ? *why : dummy;
  reason = "";
  // CONNECT's "SSL" is the proxy's own name for the tunnel, no URL's scheme.
  if (!req.connect)
    for (char& c : req.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!req.host.empty()) {
    req.host = NormalizeHostName(req.host);
    if (req.host.empty()) return reason = "no host", false;
  }
  uint32_t defaultPort = 0;
  switch (req.kind) {
    case kHttpKindHTTP:
    case kHttpKindHTTPS:
    case kHttpKindSSL: defaultPort = 80; break;
    case kHttpKindFTP: defaultPort = 21; break;
    default: break;
  }
  req.portText = req.port == 0 || req.port == defaultPort ? CString() : CString(std::to_string(req.port));
  if (!req.path.empty()) {
    std::string_view path = req.path;
    const bool emptyQuery = path.back() == '?';
    if (emptyQuery) path.remove_suffix(1);
    CString normal = NormalizeUrlPath(path);
    if (!IsUnambiguousPath(normal, &reason)) return false;
    if (emptyQuery) normal += '?';
    req.path = std::move(normal);
  }
  req.query = NormalizeUrlQuery(req.query);
  return true;
}

// ---- Response -----------------------------------------------------------------------------------

CHttpResponseScanResult ScanResponseHeader(std::string_view b, size_t cap) {
  CHttpResponseScanResult r;
  if (b.size() > 8 && b.substr(0, 7) != "HTTP/1.") {
    r.state = HttpResponseScan::NoHeader;
    return r;
  }
  size_t endLen = 0;
  const size_t end = FindHeaderEnd(b, &endLen);
  if (end != std::string_view::npos && end + endLen <= cap) {
    r.state = HttpResponseScan::Header;
    r.headerLength = end + endLen;
    return r;
  }
  if (b.size() >= cap) {
    r.state = HttpResponseScan::PassThrough;
    return r;
  }
  // Any status waits for its blank line (servers split headers over packets); a server that
  // closes first has what it sent passed on as it is.
  return r;
}

void ParseHttpResponse(std::string_view header, CHttpResponse& out) {
  out = CHttpResponse();
  enum { kVersion, kStatus, kReason, kName, kValue } state = kVersion;
  CString status, name, value;
  for (unsigned char c : header) {
    switch (state) {
      case kVersion:
        if (c == ' ') state = kStatus;
        else if (c == '\n') state = kName;
        else if (c != '\r') out.version += static_cast<char>(c);
        break;
      case kStatus:
        if (c == ' ') state = kReason;
        else if (c == '\n') state = kName;
        else if (c != '\r') status += static_cast<char>(c);
        break;
      case kReason:
        if (c == '\n') state = kName;
        else if (c != '\r') out.reason += static_cast<char>(c);
        break;
      case kName:
        if (c == '\r' || c == '\n') {
          name.clear();
        } else if (c == ':') {
          state = kValue;
        } else {
          name += static_cast<char>(c);
        }
        break;
      case kValue:
        if (c == '\n') {
          TakeHeaderLine(out.headers, name, value);
          state = kName;
        } else if (c != '\r') {
          value += static_cast<char>(c);
        }
        break;
    }
  }
  if (status.size() == 3 && std::isdigit(static_cast<unsigned char>(status[0])) &&
      std::isdigit(static_cast<unsigned char>(status[1])) && std::isdigit(static_cast<unsigned char>(status[2])))
    out.status = static_cast<uint32_t>(std::stoul(status));
}

// ---- Dates --------------------------------------------------------------------------------------

namespace {

int MonthIndex(std::string_view m) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i)
    if (EqNoCase(m, kMonths[i])) return i;
  return -1;
}

// Reads 1..maxDigits digits at s[*i].
bool ReadNumber(std::string_view s, size_t* i, size_t maxDigits, int* out) {
  size_t k = 0;
  int v = 0;
  while (*i < s.size() && k < maxDigits && std::isdigit(static_cast<unsigned char>(s[*i]))) {
    v = v * 10 + (s[*i] - '0');
    ++*i;
    ++k;
  }
  if (k == 0) return false;
  *out = v;
  return true;
}

bool Expect(std::string_view s, size_t* i, char c) {
  if (*i >= s.size() || s[*i] != c) return false;
  ++*i;
  return true;
}

bool ReadWord(std::string_view s, size_t* i, size_t len, std::string_view* out) {
  if (*i + len > s.size()) return false;
  *out = s.substr(*i, len);
  *i += len;
  return true;
}

bool ReadTime(std::string_view s, size_t* i, int* h, int* m, int* sec) {
  return ReadNumber(s, i, 2, h) && Expect(s, i, ':') && ReadNumber(s, i, 2, m) && Expect(s, i, ':') &&
         ReadNumber(s, i, 2, sec);
}

}  // namespace

bool ParseHttpDate(std::string_view s, int64_t* out) {
  s = TrimView(s);
  if (s.size() < 4 || s.size() > 64) return false;
  int day = 0, year = 0, h = 0, m = 0, sec = 0, mon = -1;
  size_t i = 0;
  std::string_view word;
  if (s[3] == ',') {
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    i = 4;
    if (!Expect(s, &i, ' ') || !ReadNumber(s, &i, 2, &day) || !Expect(s, &i, ' ') || !ReadWord(s, &i, 3, &word))
      return false;
    mon = MonthIndex(word);
    if (!Expect(s, &i, ' ') || !ReadNumber(s, &i, 4, &year) || !Expect(s, &i, ' ') || !ReadTime(s, &i, &h, &m, &sec))
      return false;
  } else if (s[3] == ' ') {
    // "Sun Nov  6 08:49:37 1994"
    i = 4;
    if (!ReadWord(s, &i, 3, &word)) return false;
    mon = MonthIndex(word);
    if (!Expect(s, &i, ' ')) return false;
    if (i < s.size() && s[i] == ' ') ++i;
    if (!ReadNumber(s, &i, 2, &day) || !Expect(s, &i, ' ') || !ReadTime(s, &i, &h, &m, &sec) ||
        !Expect(s, &i, ' ') || !ReadNumber(s, &i, 4, &year))
      return false;
  } else {
    // "Sunday, 06-Nov-94 08:49:37 GMT"
    const size_t comma = s.find(", ");
    if (comma == std::string_view::npos || comma > 12) return false;
    i = comma + 2;
    if (!ReadNumber(s, &i, 2, &day) || !Expect(s, &i, '-') || !ReadWord(s, &i, 3, &word)) return false;
    mon = MonthIndex(word);
    if (!Expect(s, &i, '-') || !ReadNumber(s, &i, 4, &year) || !Expect(s, &i, ' ') || !ReadTime(s, &i, &h, &m, &sec))
      return false;
    if (year < 100) year += year < 50 ? 2000 : 1900;
  }
  if (mon < 0 || day < 1 || day > 31 || year < 1970 || year > 9999 || h > 23 || m > 59 || sec > 60) return false;
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = sec;
  const time_t t = ::timegm(&tm);
  if (t == static_cast<time_t>(-1)) return false;
  *out = static_cast<int64_t>(t);
  return true;
}
