// Feeds arbitrary bytes to the VDOLive relay's reading of a player's control stream: messages cut
// from the stream, the request's port and texts, the set-up's media port and the hello. Nothing may
// read or write outside a message; a rewritten port lands inside it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/proxy/streaming/vdolive_service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  std::string message;
  for (int i = 0; i < 64; ++i) {
    const vdolive::Take t = vdolive::TakeMessage(in, &message);
    if (t != vdolive::Take::Whole) break;
    if (message.size() < 8 || message.size() > vdolive::kMaxMessage) abort();
    vdolive::Request r;
    if (vdolive::ParseRequest(message, &r) && (r.host.size() > message.size() || r.file.size() > message.size()))
      abort();
    size_t at = 0;
    if (vdolive::MediaPortOffset(message, &at)) {
      if (at + 4 > message.size()) abort();
      vdolive::Put32(message, at, 0x1234);
    }
    if (vdolive::IsHello(message)) vdolive::Put32(message, 16, 0x1234);
  }
  return 0;
}
