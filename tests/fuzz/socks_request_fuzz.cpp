// Feeds arbitrary bytes to the SOCKS server's parsers the way a client connection could deliver
// them: the SOCKS 4/4a request, the SOCKS 5 method selection, the RFC 1929 login, the SOCKS 5
// request and a UDP datagram's header. Nothing may crash or read out of bounds; what parses must
// have taken no more bytes than it was given, and a text it returns must fit within them.
#include <cstdint>
#include <cstdlib>

#include "engine/proxy/socks/socks_protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* why = "";
  socks::Request r;
  if (size > 0 && data[0] == 4 && socks::ParseSOCKS4Request(data, size, &r, &why) == socks::Parse::Done) {
    Check(r.length <= size && r.userId.size() <= socks::kMaxSOCKS4Text && r.host.size() <= socks::kMaxSOCKS4Text);
    Check(r.length <= socks::kMaxMessage);
  }
  socks::Methods m;
  if (socks::ParseMethods(data, size, &m, &why) == socks::Parse::Done) Check(m.length <= size);
  socks::Login l;
  if (socks::ParseLogin(data, size, &l, &why) == socks::Parse::Done)
    Check(l.length <= size && l.user.size() + l.password.size() + 3 == l.length);
  bool badType = false;
  if (socks::ParseSOCKS5Request(data, size, &r, &why, &badType) == socks::Parse::Done)
    Check(r.length <= size && r.host.size() <= 255 && !badType);
  if (socks::ParseUDPHeader(data, size, &r, &why) == socks::Parse::Done) Check(r.length <= size);
  return 0;
}
