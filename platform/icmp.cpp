#include "platform/icmp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/clock.h"

namespace platform::icmp {

namespace {

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kDestUnreachable = 3;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kTimeExceeded = 11;
constexpr size_t kIcmpHeader = 8;
constexpr size_t kMinIpHeader = 20;
// Room for any answer to our requests (an error quotes at most an IP header with options and
// the first bytes of the request); longer packets are cut and then fail their checks.
constexpr size_t kReceiveBuffer = 2048;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Get32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint16_t RandomU16() {
  uint16_t v = 0;
  if (getrandom(&v, sizeof v, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof v)) return v;
  return static_cast<uint16_t>(getpid() ^ TickCount64());
}

uint16_t NextSequence() {
  static std::atomic<uint16_t> next{RandomU16()};
  return next.fetch_add(1);
}

EchoStatus StatusOfError(uint8_t type, uint8_t code) {
  if (type == kTimeExceeded) return EchoStatus::TtlExpired;
  if (type != kDestUnreachable) return EchoStatus::GeneralFailure;
  switch (code) {
    case 0: return EchoStatus::NetUnreachable;
    case 2: return EchoStatus::ProtocolUnreachable;
    case 3: return EchoStatus::PortUnreachable;
    case 6:
    case 9:
    case 11: return EchoStatus::NetUnreachable;
    default: return EchoStatus::HostUnreachable;
  }
}

// The length of a valid IPv4 header carrying ICMP at the start of p, else 0.
size_t IcmpIpHeaderLength(const uint8_t* p, size_t length) {
  if (length < kMinIpHeader || (p[0] >> 4) != 4) return 0;
  size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
  if (ihl < kMinIpHeader || ihl > length || p[9] != IPPROTO_ICMP) return 0;
  return ihl;
}

int OpenSocket(bool* pingSocket) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) {
    *pingSocket = true;
    // Errors about our requests (unreachable, time exceeded) arrive on the error queue.
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    return fd;
  }
  *pingSocket = false;
  return socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
}

}  // namespace

namespace detail {

uint16_t Checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += Get16(data + i);
  if (length & 1) sum += static_cast<uint32_t>(data[length - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

bool PacketSequence(const uint8_t* packet, size_t length, bool withIpHeader, uint16_t* sequence) {
  if (!packet) return false;
  const uint8_t* icmp = packet;
  size_t icmpLength = length;
  if (withIpHeader) {
    size_t ihl = IcmpIpHeaderLength(packet, length);
    if (ihl == 0) return false;
    icmp = packet + ihl;
    icmpLength = length - ihl;
  }
  if (icmpLength < kIcmpHeader) return false;
  if (icmp[0] == kEchoReply) {
    *sequence = Get16(icmp + 6);
    return true;
  }
  if (!withIpHeader || (icmp[0] != kDestUnreachable && icmp[0] != kTimeExceeded)) return false;
  const uint8_t* inner = icmp + kIcmpHeader;
  size_t innerLength = icmpLength - kIcmpHeader;
  size_t innerIhl = IcmpIpHeaderLength(inner, innerLength);
  if (innerIhl == 0 || innerLength - innerIhl < kIcmpHeader) return false;
  *sequence = Get16(inner + innerIhl + 6);
  return true;
}

Classified ClassifyPacket(const uint8_t* packet, size_t length, bool withIpHeader, uint16_t ident,
                          uint16_t sequence, uint32_t target, uint32_t source) {
  Classified result;
  if (!packet) return result;
  const uint8_t* icmp = packet;
  size_t icmpLength = length;
  if (withIpHeader) {
    size_t ihl = IcmpIpHeaderLength(packet, length);
    if (ihl == 0) return result;
    // The IP header's own length bounds the message when the read brought padding with it.
    size_t total = Get16(packet + 2);
    if (total < ihl) return result;
    if (total < length) length = total;
    icmp = packet + ihl;
    icmpLength = length - ihl;
  }
  if (icmpLength < kIcmpHeader) return result;
  uint8_t type = icmp[0];
  if (type == kEchoReply) {
    if (icmp[1] != 0 || Get16(icmp + 6) != sequence || source != target) return result;
    // The kernel's ping socket has matched the identifier and checked the sum already.
    if (withIpHeader && (Get16(icmp + 4) != ident || Checksum(icmp, icmpLength) != 0)) return result;
    result.match = PacketMatch::Reply;
    return result;
  }
  if (type != kDestUnreachable && type != kTimeExceeded) return result;
  if (!withIpHeader) return result;  // a ping socket reports errors on its error queue
  // The error quotes our request: its IP header (sent to target) and the first 8 bytes of the
  // echo request with our identifier and sequence.
  const uint8_t* inner = icmp + kIcmpHeader;
  size_t innerLength = icmpLength - kIcmpHeader;
  size_t innerIhl = IcmpIpHeaderLength(inner, innerLength);
  if (innerIhl == 0 || innerLength - innerIhl < kIcmpHeader) return result;
  if (Get32(inner + 16) != target) return result;
  const uint8_t* request = inner + innerIhl;
  if (request[0] != kEchoRequest || Get16(request + 4) != ident || Get16(request + 6) != sequence) {
    return result;
  }
  result.match = PacketMatch::Error;
  result.status = StatusOfError(type, icmp[1]);
  return result;
}

}  // namespace detail

EchoBatch::EchoBatch() {
  m_fd = OpenSocket(&m_pingSocket);
  m_ident = RandomU16();
}

EchoBatch::~EchoBatch() {
  if (m_fd >= 0) close(m_fd);
}

bool EchoBatch::Send(uint32_t addressHostOrder, uint16_t* sequenceOut, EchoResult* failure, std::string_view data) {
  *failure = EchoResult{};
  if (m_fd < 0) return false;
  failure->status = EchoStatus::GeneralFailure;
  if (data.size() > kMaxData) return false;

  const uint16_t sequence = NextSequence();
  std::vector<uint8_t> request(kIcmpHeader + data.size(), 0);
  request[0] = kEchoRequest;
  // On the ping socket the kernel fills in the identifier (its port) and the sum.
  if (!m_pingSocket) {
    request[4] = static_cast<uint8_t>(m_ident >> 8);
    request[5] = static_cast<uint8_t>(m_ident);
  }
  request[6] = static_cast<uint8_t>(sequence >> 8);
  request[7] = static_cast<uint8_t>(sequence);
  if (!data.empty()) memcpy(request.data() + kIcmpHeader, data.data(), data.size());
  if (!m_pingSocket) {
    uint16_t sum = detail::Checksum(request.data(), request.size());
    request[2] = static_cast<uint8_t>(sum >> 8);
    request[3] = static_cast<uint8_t>(sum);
  }

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(addressHostOrder);
  ssize_t sent;
  do {
    sent = sendto(m_fd, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to),
                  sizeof to);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    if (errno == ENETUNREACH) failure->status = EchoStatus::NetUnreachable;
    if (errno == EHOSTUNREACH) failure->status = EchoStatus::HostUnreachable;
    return false;
  }
  *sequenceOut = sequence;
  return true;
}

bool EchoBatch::Receive(const TargetOf& targetOf, bool* answered, uint16_t* sequence, EchoResult* result) {
  *answered = false;
  *result = EchoResult{};
  if (m_fd < 0) return false;
  uint8_t buffer[kReceiveBuffer];

  if (m_pingSocket) {
    // Errors about our requests (unreachable, time exceeded) wait on the error queue, each with
    // the request it is about.
    sockaddr_in offender{};
    alignas(cmsghdr) uint8_t control[512];
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_name = &offender;
    msg.msg_namelen = sizeof offender;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(m_fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n >= 0) {
      if (static_cast<size_t>(n) < kIcmpHeader) return true;
      const uint16_t seq = Get16(buffer + 6);
      if (!targetOf(seq)) return true;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        if (c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err))) continue;
        sock_extended_err ee;
        memcpy(&ee, CMSG_DATA(c), sizeof ee);
        if (ee.ee_origin != SO_EE_ORIGIN_ICMP) continue;
        result->status = StatusOfError(ee.ee_type, ee.ee_code);
        if (c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err) + sizeof(sockaddr_in))) {
          sockaddr_in from;
          memcpy(&from, CMSG_DATA(c) + sizeof(sock_extended_err), sizeof from);
          if (from.sin_family == AF_INET) result->from = ntohl(from.sin_addr.s_addr);
        }
        *answered = true;
        *sequence = seq;
        return true;
      }
      return true;
    }
  }

  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  ssize_t n;
  do {
    n = recvfrom(m_fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    // A pending socket error would keep the socket ready; reading it clears it.
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size);
    return true;
  }
  const uint32_t source = from.sin_family == AF_INET ? ntohl(from.sin_addr.s_addr) : 0;
  uint16_t seq = 0;
  if (!detail::PacketSequence(buffer, static_cast<size_t>(n), !m_pingSocket, &seq)) return true;
  const std::optional<uint32_t> target = targetOf(seq);
  if (!target) return true;
  const detail::Classified c =
      detail::ClassifyPacket(buffer, static_cast<size_t>(n), !m_pingSocket, m_ident, seq, *target, source);
  if (c.match == detail::PacketMatch::Ignore) return true;
  result->status = c.match == detail::PacketMatch::Reply ? EchoStatus::Success : c.status;
  result->from = source;
  *answered = true;
  *sequence = seq;
  return true;
}

EchoResult Pinger::Echo(uint32_t addressHostOrder, uint32_t timeoutMs, std::string_view data) {
  EchoResult result;
  uint16_t mine = 0;
  const uint64_t start = TickCount64();
  if (!m_batch.Send(addressHostOrder, &mine, &result, data)) return result;
  const EchoBatch::TargetOf targetOf = [&](uint16_t sequence) -> std::optional<uint32_t> {
    if (sequence != mine) return std::nullopt;
    return addressHostOrder;
  };

  const uint64_t deadline = start + timeoutMs;
  for (;;) {
    uint64_t now = TickCount64();
    if (now >= deadline) break;
    pollfd pfd{m_batch.Descriptor(), POLLIN, 0};
    uint64_t wait = deadline - now;
    int ready = poll(&pfd, 1, static_cast<int>(wait > 60000 ? 60000 : wait));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    bool answered = false;
    uint16_t sequence = 0;
    while (m_batch.Receive(targetOf, &answered, &sequence, &result)) {
      if (!answered) continue;
      result.roundTripMs = static_cast<uint32_t>(TickCount64() - start);
      return result;
    }
  }
  result = EchoResult{};
  result.status = EchoStatus::TimedOut;
  return result;
}

bool Available() {
  bool ping = false;
  int fd = OpenSocket(&ping);
  if (fd < 0) return false;
  close(fd);
  return true;
}

EchoResult Echo(uint32_t addressHostOrder, uint32_t timeoutMs, std::string_view data) {
  Pinger pinger;
  return pinger.Echo(addressHostOrder, timeoutMs, data);
}

}  // namespace platform::icmp
