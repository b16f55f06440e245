// Feeds arbitrary datagrams to the DHCP server's request parser, and what it accepts to the reply
// writer with options of every length the bytes suggest, as any host on the LAN can. Nothing may
// crash or read out of bounds; a reply stays within 300..548 bytes and its option areas stay
// well formed (every option inside its area, an END in each area used).
#include <cstdint>
#include <cstdlib>

#include "engine/netsvc/dhcp/dhcp_message.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
void CheckArea(const uint8_t* p, size_t start, size_t end) {
  for (size_t i = start; i < end;) {
    if (p[i] == 0) {
      ++i;
      continue;
    }
    if (p[i] == 255) return;
    Check(i + 1 < end && i + 2 + p[i + 1] <= end);
    i += 2 + p[i + 1];
  }
  Check(false);  // no END
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dhcp::Request rq;
  const char* why = "";
  if (!dhcp::ParseRequest(data, size, &rq, &why)) return 0;
  Check(rq.hlen >= 1 && rq.hlen <= 16 && rq.hardwareAddress.size() == 2u * rq.hlen);
  dhcp::CDHCPMessageWriter w(data, size);
  w.SetOptionByte(53, 2);
  // Option lengths taken from the request's own bytes, so the fuzzer steers the overflow.
  static const uint8_t kValue[255] = {};
  for (size_t i = 240; i < size && i < 300; ++i) w.SetOption(static_cast<uint8_t>(i - 239), kValue, data[i]);
  const size_t n = w.Length();
  Check(n >= dhcp::kMinReply && n <= dhcp::kMaxMessage);
  const uint8_t* p = w.Data();
  Check(p[0] == 2);
  CheckArea(p, 240, dhcp::kMaxMessage);
  return 0;
}
