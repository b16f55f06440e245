// Feeds arbitrary datagrams to the DNS relay's query parser and reply writer, as any host on the
// LAN can. Nothing may crash or read out of bounds; a parsed question must lie inside the datagram,
// and a reply must be well formed: the query's id, QR set, at most one question and one answer,
// and exactly as long as its parts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/netsvc/dns/dns_message.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dns::Query q;
  const dns::ParseStatus status = dns::ParseQuery(data, size, &q);
  if (status == dns::ParseStatus::Drop) {
    Check(size < dns::kHeaderSize || (data[2] & 0x80));
    return 0;
  }
  if (q.hasQuestion) {
    Check(q.questionEnd <= size && q.questionEnd >= dns::kHeaderSize + 5);
    Check(q.name.size() <= dns::kMaxWireName);
    Check(q.name.find('\0') == std::string::npos);
    // The number test reads every name a client can send.
    (void)dns::IsNumericName(q.name);
  }
  const uint32_t address = 0x0A000001;
  for (uint8_t rcode : {dns::RCODE_NOERROR, dns::RCODE_FORMERR}) {
    std::vector<uint8_t> out(dns::kMaxMessage);
    const size_t n = dns::BuildReply(data, q, rcode, true, &address, out.data(), out.size());
    Check(n >= dns::kHeaderSize && n <= dns::kMaxMessage);
    Check(std::memcmp(out.data(), data, 2) == 0 && (out[2] & 0x80));
    const size_t qd = (out[4] << 8) | out[5], an = (out[6] << 8) | out[7];
    Check(qd == (q.hasQuestion ? 1u : 0u) && an <= 1 && (out[8] | out[9] | out[10] | out[11]) == 0);
    Check(n == dns::kHeaderSize + (q.hasQuestion ? q.questionEnd - dns::kHeaderSize : 0) + an * 16);
    if (q.hasQuestion) Check(std::memcmp(out.data() + 12, data + 12, q.questionEnd - 12) == 0);
  }
  return 0;
}
