// Feeds arbitrary bytes to the POP3 gateway's parsers the way a client could deliver them: every
// line the bounded line reader takes, trimmed, and its argument under each delimiter, action and
// upstream choice. Nothing may crash or read out of bounds; what parses keeps its invariants.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/proxy/pop3/pop3_protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string buffer(reinterpret_cast<const char*>(data), size);
  for (;;) {
    std::string line;
    size_t length = 0;
    if (pop3::FirstLine(buffer, &line, &length) != pop3::LineResult::Done) break;
    Check(length == line.size() && length <= pop3::kMaxLine + 1);
    buffer.erase(0, length);
    const std::string trimmed = pop3::Trim(line);
    const std::string argument = trimmed.size() > 4 ? pop3::Trim(trimmed.substr(4)) : std::string();
    for (char delimiter : {'#', '%'}) {
      for (bool proxy : {false, true}) {
        pop3::UserTarget t;
        if (pop3::ParseUser(argument, delimiter, proxy, 1, "inside", 110, &t) == pop3::UserResult::Done) {
          Check(!t.user.empty() && t.port != 0);
          Check(!t.host.empty() || (proxy && t.nonProxy));
        }
      }
    }
  }
  return 0;
}
