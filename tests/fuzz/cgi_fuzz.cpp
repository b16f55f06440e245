// Feeds arbitrary bytes to the CGI output header parser as a program's output could deliver them,
// whole and cut at every length a read could end at, and to the local path splitter as a request
// path. Nothing may crash or read out of bounds; what parses keeps the invariants the session
// relies on (the header ends inside the output, the status is three digits, no segment is "..").
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/proxy/www/cgi.h"
#include "engine/proxy/www/local_path.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (bool ended : {false, true}) {
    CCgiHeader h;
    const CgiHeaderScan s = ParseCgiHeader(bytes, ended, &h);
    if (s == CgiHeaderScan::kHeader) {
      Check(h.headerLength > 0 && h.headerLength <= size && h.headerLength <= kMaxCgiHeader);
      Check(h.status >= 100 && h.status <= 999);
      const std::string out = BuildCgiResponseHeader(h, "D", "S");
      Check(out.find("\r\n\r\n") == out.size() - 4);
    }
    if (s == CgiHeaderScan::kNeedMore) Check(!ended);
  }
  std::vector<std::string> segments;
  if (SplitLocalPath(bytes, &segments) == LocalPathResult::kOk) {
    for (const auto& seg : segments) {
      Check(!seg.empty() && seg != "." && seg != "..");
      Check(seg.find('/') == std::string::npos && seg.find('\\') == std::string::npos &&
            seg.find('\0') == std::string::npos);
    }
  }
  return 0;
}
