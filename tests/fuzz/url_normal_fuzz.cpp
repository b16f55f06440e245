// Feeds arbitrary bytes to the normal forms the gateways judge requests in: a URL path, a query and
// a host name, and the test for paths a server could read otherwise. Nothing may crash or read out
// of bounds, and what comes out must be a normal form: its own normal form again, with no empty or
// dot segment, no byte a request line cannot carry, and every escape in upper case and needed.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/proxy/common/url_normal.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

bool IsUnreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

void CheckEscapes(std::string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    Check(c > 0x20 && c < 0x7F && c != '#');
    if (c != '%') continue;
    Check(i + 2 < s.size() && IsUpperHex(s[i + 1]) && IsUpperHex(s[i + 2]));
    const int v = (s[i + 1] <= '9' ? s[i + 1] - '0' : s[i + 1] - 'A' + 10) * 16 +
                  (s[i + 2] <= '9' ? s[i + 2] - '0' : s[i + 2] - 'A' + 10);
    Check(!IsUnreserved(static_cast<unsigned char>(v)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const CString path = NormalizeUrlPath(bytes);
  Check(bytes.empty() == path.empty());
  if (!path.empty()) {
    Check(path[0] == '/');
    CheckEscapes(path);
    Check(path.find("//") == CString::npos);
    const std::string_view p(path);
    for (std::string_view dot : {"/./", "/../"}) Check(p.find(dot) == std::string_view::npos);
    Check(!(p.size() >= 2 && p.substr(p.size() - 2) == "/.") && !(p.size() >= 3 && p.substr(p.size() - 3) == "/.."));
    Check(NormalizeUrlPath(path) == path);
    (void)IsUnambiguousPath(path);
  }
  (void)IsUnambiguousPath(bytes);

  const CString query = NormalizeUrlQuery(bytes);
  CheckEscapes(query);
  Check(NormalizeUrlQuery(query) == query);

  const CString host = NormalizeHostName(bytes);
  Check(host.size() <= bytes.size() || host.size() <= 15);
  Check(host.empty() || host.back() != '.');
  for (char c : host) Check(!(c >= 'A' && c <= 'Z'));
  Check(NormalizeHostName(host) == host);
  uint32_t address = 0;
  (void)ParseResolverNumber(bytes, &address);
  return 0;
}
