#pragma once
// HTTP/1.0 request and response header parsing for the WWW proxy, kept free of engine globals so
// the parser can be driven directly by tests and a fuzzer.
//
// Everything here reads untrusted bytes: the request header is collected only up to
// kMaxRequestHeader bytes, every field is bounded by the input, and anything the proxy cannot
// forward soundly (a bad or missing port, user information on a non-FTP URL, an IPv6 literal, a
// request line that is not "METHOD target HTTP/x.y", a space inside the scheme, a header name that
// is not a token, a control character or bare CR in a header line, a body whose framing two parties
// could read differently) is malformed rather than guessed at: a proxy that repairs such a request
// hands the origin something the client did not mean, which is how requests are smuggled.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/config/archive.h"  // CString

// The longest request or response header collected before the request is refused (or, for a
// response, passed on unmodified).
inline constexpr size_t kMaxRequestHeader = 64 * 1024;
inline constexpr size_t kMaxResponseHeader = 64 * 1024;

// Request kinds from the scheme.
enum : uint32_t {
  kHttpKindNone = 0,
  kHttpKindOther = 1,
  kHttpKindHTTP = 2,
  kHttpKindHTTPS = 3,
  kHttpKindFTP = 4,
  kHttpKindGopher = 5,
  kHttpKindWAIS = 6,
  kHttpKindSSL = 7,
};

// The kind of a scheme (compared without regard to case).
uint32_t HttpSchemeKind(std::string_view scheme);

// Header lines in arrival order; names compare without regard to case.
class CHttpHeaderList {
 public:
  using Item = std::pair<CString, CString>;

  void Add(CString name, CString value) { m_items.emplace_back(std::move(name), std::move(value)); }
  // The first value of that name, "" when absent.
  CString Get(std::string_view name) const;
  bool Has(std::string_view name) const;
  // Removes the first pair of that name only; false when there was none.
  bool RemoveFirst(std::string_view name);
  // Removes every pair of that name; how many there were.
  size_t RemoveAll(std::string_view name);
  // Replaces the value of the first pair of that name and removes any later ones, or adds one.
  void Set(std::string_view name, CString value);
  void Clear() { m_items.clear(); }
  const std::vector<Item>& Items() const { return m_items; }
  size_t Count() const { return m_items.size(); }

 private:
  std::vector<Item> m_items;
};

// Where a request header ends in the bytes collected so far.
enum class HttpScan { NeedMore, Complete, TooLarge };
struct CHttpScanResult {
  HttpScan state = HttpScan::NeedMore;
  size_t headerLength = 0;  // Complete: bytes of the header with its terminator
};
// A header ends with the first blank line ("\r\n\r\n", "\n\n" or "\n\r\n"). A first line without
// "HTTP/" in the buffer is a one-line (HTTP/0.9) request ending at its line end. Past cap bytes
// without an end the request is TooLarge.
CHttpScanResult ScanRequestHeader(std::string_view buffer, size_t cap = kMaxRequestHeader);

struct CHttpRequest {
  CString method;
  CString scheme;     // "SSL" for CONNECT, "http" for a relative URL
  CString authority;  // host[:port], FTP user information split off
  CString path;       // with its leading "/", "" when the URL had none
  CString query;      // without the "?"
  CString version;    // "HTTP/1.1"; "" for a one-line request
  CHttpHeaderList headers;
  uint32_t kind = kHttpKindNone;
  bool relative = false;  // the request line held a path only: a request to the gateway itself
  bool connect = false;

  // From the authority (SplitHttpAuthority).
  CString host;
  CString portText;  // as written, "" when none
  uint32_t port = 0;
  CString ftpUser = "anonymous";
  CString ftpPassword;
  bool urlLogin = false;

  // host, ":" and the port text when the port is not 80, then the path or "/".
  CString CacheKey() const;
  // scheme "://" host [":" port text] path: the session's description.
  CString Description() const;
};

// One pass over the request header (up to and with its terminator): request line, then header
// lines. Clears out first. False, with a short reason, when the request is malformed: besides the
// request line's rules, a header name that is not a token ("Transfer-Encoding : chunked", a name
// with a control character or a leading blank), a control character other than tab in a value, or
// a CR not followed by LF. A line without ":" carries no field and is dropped.
bool ParseHttpRequest(std::string_view header, CHttpRequest& out, const char** why = nullptr);

// ---- Request body -------------------------------------------------------------------------------

// How a request's body ends (RFC 9112 section 6): with Transfer-Encoding "chunked" at its last
// chunk, with Content-Length after that many bytes, and without either at once (no body).
enum class HttpBody { None, Length, Chunked };
struct CHttpBodyFraming {
  HttpBody kind = HttpBody::None;
  uint64_t length = 0;  // Length: the bytes of the body
  // A body to pass on: a chunked one, or a length above 0.
  bool HasBody() const { return kind == HttpBody::Chunked || (kind == HttpBody::Length && length > 0); }
};

// The largest Content-Length taken (2^62 - 1): far above any upload, far below an overflow.
inline constexpr uint64_t kMaxContentLength = (uint64_t{1} << 62) - 1;

// The body framing of a parsed request, false (with a short reason) when a proxy cannot know it
// the way the origin will: Transfer-Encoding together with Content-Length; Transfer-Encoding in an
// HTTP/1.0 (or one-line) request; a transfer coding list that is not exactly "chunked" (this proxy
// passes no other coding on); a Content-Length that is not digits, is empty, is above
// kMaxContentLength, or whose lines or list members differ. Equal repeated lengths are one length.
bool GetRequestFraming(const CHttpRequest& req, CHttpBodyFraming* out, const char** why = nullptr);

// Reads a request body off the bytes that follow its header, in parts as they arrive, and knows
// where it ends: bytes past that end belong to no request and are never taken. Every length is
// bounded: a chunk-size line or trailer line at most kMaxChunkLine bytes, all trailer lines at most
// kMaxChunkTrailer, a chunk size at most kMaxContentLength. Chunk extensions and trailer fields are
// read and dropped; what the reader gives is the body's own bytes.
class CHttpBodyReader {
 public:
  static constexpr size_t kMaxChunkLine = 4096;
  static constexpr size_t kMaxChunkTrailer = 16 * 1024;

  CHttpBodyReader() = default;
  explicit CHttpBodyReader(const CHttpBodyFraming& framing);

  // Takes bytes of in up to the body's end, appends the body's own bytes to payload, and returns
  // how many bytes of in it took: all of them before the end, those up to it at the end, none once
  // done; 0 and Bad() when the framing breaks (payload may then hold some of the bytes before).
  size_t Feed(std::string_view in, std::string* payload);
  // The wire form of payload as the body is forwarded, appended to wire: the bytes themselves for
  // a length, a chunk for a chunked body, followed once by the last chunk ("0\r\n\r\n") when
  // the body has ended.
  void AppendWire(std::string_view payload, std::string* wire);

  bool Done() const { return m_state == kDone; }
  bool Bad() const { return m_state == kBad; }
  const char* Why() const { return m_why; }

 private:
  enum State {
    kLength,
    kSize,
    kSizeBlank,
    kExtension,
    kSizeLF,
    kData,
    kDataCR,
    kDataLF,
    kTrailer,
    kTrailerLF,
    kDone,
    kBad
  };
  // The reader is bad from here on; 0 (what Feed then returns).
  size_t Fail(const char* why);
  // One more byte of a chunk-size or trailer line; false past the bounds.
  bool CountLineByte();

  HttpBody m_kind = HttpBody::None;
  State m_state = kDone;
  uint64_t m_left = 0;  // bytes of the body (kLength) or of the chunk (kData) still to come
  uint64_t m_size = 0;  // the chunk size being read
  size_t m_sizeDigits = 0;
  size_t m_lineLength = 0;
  size_t m_trailerLength = 0;
  bool m_lastChunkSent = false;
  const char* m_why = "";
};

// Removes the hop-by-hop headers a proxy must not forward (RFC 9110 section 7.6.1): every header a
// "Connection" header names, then Connection, Keep-Alive, Proxy-Authorization, Proxy-Connection,
// TE, Trailer, Transfer-Encoding and Upgrade themselves. The forwarding side adds its own
// "Connection: close" and the framing of the body it sends.
void RemoveHopByHopHeaders(CHttpHeaderList& headers);

// Splits the authority into host and port (FTP: user information first). Default ports: 80 for
// HTTP, HTTPS and CONNECT, 21 for FTP, none otherwise. False for a port that is not 1-65535 in
// digits, an empty host on an absolute URL, an IPv6 literal, user information on a non-FTP URL or
// a host holding characters no host name has.
bool SplitHttpAuthority(CHttpRequest& req, const char** why = nullptr);

// Puts a request whose authority is split in the normal form every rule judges it in and that is
// sent on (url_normal.h): the scheme of a URL in lower case, the host as the resolver reads it,
// the port text in decimal and none for the scheme's default port, the path and the query in their
// normal forms (the "?" that ends a path with an empty query stays). False, with a short reason,
// for a host that normalises to nothing and for a path a server could read as other segments than
// the normal form shows (IsUnambiguousPath): such a request has no one form to judge.
bool NormalizeHttpRequest(CHttpRequest& req, const char** why = nullptr);

// ---- Responses ----------------------------------------------------------------------------------

enum class HttpResponseScan {
  NeedMore,     // the header has not ended: wait
  Header,       // headerLength bytes are the header
  NoHeader,     // no "HTTP/1." tag: everything is body, passed on unmodified
  PassThrough,  // no end within the cap: passed on unmodified
};
struct CHttpResponseScanResult {
  HttpResponseScan state = HttpResponseScan::NeedMore;
  size_t headerLength = 0;
};
// Where a response header ends: the first of "\r\n\r\n", "\n\n" and "\n\r\n". A buffer of cap bytes
// or more without an end is passed through unmodified.
CHttpResponseScanResult ScanResponseHeader(std::string_view buffer, size_t cap = kMaxResponseHeader);

struct CHttpResponse {
  CString version;
  uint32_t status = 0;
  CString reason;
  CHttpHeaderList headers;
};
// The status line and header lines of a header found by ScanResponseHeader. A status that is not
// three digits leaves status 0.
void ParseHttpResponse(std::string_view header, CHttpResponse& out);

// ---- Dates --------------------------------------------------------------------------------------

// The three HTTP date forms (RFC 1123, RFC 850, asctime), C locale, bounded; seconds since 1970 UTC.
bool ParseHttpDate(std::string_view text, int64_t* out);
