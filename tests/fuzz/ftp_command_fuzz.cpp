// Feeds arbitrary bytes to the FTP gateway's text parsers the way a client or a server could deliver
// them: the line buffer in two pieces, and for every line the command classes, the USER argument
// under both non-proxy actions, the PORT numbers, the 227 reply and the reply code. Nothing may
// crash or read out of bounds; lines stay within the cap and parsed numbers within their ranges.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/proxy/ftp/ftp_protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  ftp::CLineBuffer buffer;
  const size_t half = size / 2;
  buffer.Append(text, half);
  buffer.Append(text + half, size - half);
  std::string line;
  while (buffer.Next(&line)) {
    Check(line.size() <= ftp::kMaxLine + 1 && !line.empty() && line.back() == '\n');
    (void)ftp::Classify(line);
    const std::string argument = ftp::Argument(line);
    ftp::UserTarget target;
    for (uint32_t action : {0u, 1u}) {
      if (ftp::ParseUser(argument, action, "inside", 21, &target)) {
        Check(!target.user.empty() && !target.host.empty() && target.port != 0);
      }
    }
    uint32_t address = 0;
    uint16_t port = 0;
    if (ftp::ParseHostPort(argument, &address, &port)) {
      uint32_t again = 0;
      uint16_t againPort = 0;
      Check(ftp::ParseHostPort(ftp::FormatHostPort(address, port), &again, &againPort));
      Check(again == address && againPort == port);
    }
    (void)ftp::ParsePassiveReply(line, &address, &port);
    bool last = false;
    const int code = ftp::ReplyCode(line, &last);
    Check(code == 0 || (code >= 100 && code <= 599));
  }
  return 0;
}
