// Feeds arbitrary bytes to the WWW proxy's request path the way a browser connection could deliver
// them: the header scan with a small cap, the request parser and the authority split on whatever the
// scan accepts, the request's normal form, the body framing and the body reader on the bytes after
// the header, the hop-by-hop removal, the response header scan and parser, and the date parser.
// Nothing may crash or read out of bounds; what parses must keep the invariants the forwarding code
// relies on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/proxy/www/http_request.h"

namespace {

constexpr size_t kFuzzCap = 4096;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const CHttpScanResult scan = ScanRequestHeader(bytes, kFuzzCap);
  if (scan.state == HttpScan::Complete) Check(scan.headerLength <= size && scan.headerLength <= kFuzzCap);
  const std::string_view header = scan.state == HttpScan::Complete ? bytes.substr(0, scan.headerLength) : bytes;

  CHttpRequest req;
  const char* why = nullptr;
  if (ParseHttpRequest(header, req, &why) && SplitHttpAuthority(req, &why)) {
    // What goes out in a request line or a Host header can hold no line end or space.
    for (char c : req.host) Check(c != '\r' && c != '\n' && c != ' ' && c != '@' && c != '/');
    for (char c : req.method) Check(c > ' ' && c < 0x7F);
    for (char c : req.path + req.query) Check(c != '\r' && c != '\n');
    Check(req.host.size() <= 255);
    Check(req.portText.empty() ? true : (req.port >= 1 && req.port <= 65535));
    Check(!req.host.empty() || req.relative);
    (void)req.CacheKey();
    (void)req.Description();
    // The normal form the rules judge and the request goes on in: still nothing a request line
    // cannot carry, and its own normal form again.
    CHttpRequest normal = req;
    if (NormalizeHttpRequest(normal, &why)) {
      for (char c : normal.path + normal.query + normal.host) Check(c > ' ' && c < 0x7F);
      CHttpRequest again = normal;
      Check(NormalizeHttpRequest(again, &why) && again.path == normal.path && again.query == normal.query &&
            again.host == normal.host && again.CacheKey() == normal.CacheKey());
    }
    for (const auto& [name, value] : req.headers.Items())
      for (char c : name + value) Check(c != '\n' && c != '\r' && c != '\0');

    CHttpBodyFraming framing;
    if (GetRequestFraming(req, &framing, &why)) {
      // The body ends where its framing says, never past the bytes there are; its forwarded form
      // reads back to the same bytes and ends at the same place.
      const std::string_view rest = bytes.substr(header.size());
      CHttpBodyReader reader(framing);
      std::string payload, wire;
      const size_t used = reader.Feed(rest, &payload);
      Check(used <= rest.size());
      if (!reader.Bad()) {
        Check(reader.Done() || used == rest.size());
        if (framing.kind == HttpBody::Length) Check(payload.size() == used && payload.size() <= framing.length);
        reader.AppendWire(payload, &wire);
        CHttpBodyReader again(framing);
        std::string back;
        Check(again.Feed(wire, &back) == wire.size() && !again.Bad());
        Check(back == payload && again.Done() == reader.Done());
      }
    }
    RemoveHopByHopHeaders(req.headers);
    for (const char* hop : {"Connection", "Keep-Alive", "Proxy-Authorization", "Proxy-Connection", "TE", "Trailer",
                            "Transfer-Encoding", "Upgrade"})
      Check(!req.headers.Has(hop));
  }

  const CHttpResponseScanResult rs = ScanResponseHeader(bytes, kFuzzCap);
  if (rs.state == HttpResponseScan::Header) {
    Check(rs.headerLength <= size);
    CHttpResponse resp;
    ParseHttpResponse(bytes.substr(0, rs.headerLength), resp);
    Check(resp.status <= 999);
  }

  int64_t t = 0;
  (void)ParseHttpDate(bytes, &t);
  return 0;
}
