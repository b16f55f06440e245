#pragma once
// ICMP echo ("ping"): requests to IPv4 addresses and their outcomes, one at a time (Pinger, Echo)
// or many at once for a caller with its own wait (EchoBatch). Works on the kernel's
// unprivileged ping socket when the process's group may use it, else on a raw ICMP socket (root or
// CAP_NET_RAW); with neither, echo is unavailable and callers treat it like a host without ICMP
// support.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace platform::icmp {

// Outcome of one echo, numbered as the host system's echo status codes.
enum class EchoStatus : uint32_t {
  Success = 0,
  NetUnreachable = 11002,
  HostUnreachable = 11003,
  ProtocolUnreachable = 11004,
  PortUnreachable = 11005,
  TimedOut = 11010,
  TtlExpired = 11013,
  GeneralFailure = 11050,
  // No ICMP socket could be opened.
  Unavailable = 0xFFFFFFFFu,
};

struct EchoResult {
  EchoStatus status = EchoStatus::Unavailable;
  // Who answered (host byte order): the target for a reply, a router for an error; 0 when none.
  uint32_t from = 0;
  // Milliseconds from sending to the answer (0 without one).
  uint32_t roundTripMs = 0;
};

// Echo requests to many addresses at once on one socket, for a caller that waits for the answers
// itself (poll Descriptor() for POLLIN; errors come as POLLERR). One thread at a time; requests of
// several objects (of this process or another) never take each other's answers.
class EchoBatch {
 public:
  // Largest payload an echo request may carry.
  static constexpr size_t kMaxData = 1024;
  // The sequence number of a request's answer: which target it was sent to, if it was sent here.
  using TargetOf = std::function<std::optional<uint32_t>(uint16_t sequence)>;

  EchoBatch();
  ~EchoBatch();
  EchoBatch(const EchoBatch&) = delete;
  EchoBatch& operator=(const EchoBatch&) = delete;

  bool Available() const { return m_fd >= 0; }
  // True on the kernel's ping socket, false on a raw socket (or when unavailable).
  bool IsPingSocket() const { return m_pingSocket; }
  int Descriptor() const { return m_fd; }

  // Sends one echo request with data (at most kMaxData bytes); *sequence names its answer. False
  // when it could not be sent; failure->status then says why.
  bool Send(uint32_t addressHostOrder, uint16_t* sequence, EchoResult* failure, std::string_view data = {});
  // Takes one waiting packet or error off the socket, without waiting. False when nothing was
  // waiting. Otherwise *answered says whether it answers a request targetOf knows (a reply from
  // that target, or an error about the request), with that request's sequence and the outcome
  // (its round-trip time left 0).
  bool Receive(const TargetOf& targetOf, bool* answered, uint16_t* sequence, EchoResult* result);

 private:
  int m_fd = -1;
  bool m_pingSocket = false;
  uint16_t m_ident = 0;
};

// One echo at a time on an ICMP socket of its own.
class Pinger {
 public:
  static constexpr size_t kMaxData = EchoBatch::kMaxData;

  bool Available() const { return m_batch.Available(); }
  bool IsPingSocket() const { return m_batch.IsPingSocket(); }

  // Sends one echo request with data (at most kMaxData bytes) and waits up to timeoutMs for its
  // reply or an error about it.
  EchoResult Echo(uint32_t addressHostOrder, uint32_t timeoutMs, std::string_view data = {});

 private:
  EchoBatch m_batch;
};

// True when an ICMP socket can be opened by this process.
bool Available();
// One echo on a socket of its own.
EchoResult Echo(uint32_t addressHostOrder, uint32_t timeoutMs, std::string_view data = {});

namespace detail {

// What one received packet means for a request (ident, sequence) sent to target.
enum class PacketMatch { Ignore, Reply, Error };
struct Classified {
  PacketMatch match = PacketMatch::Ignore;
  EchoStatus status = EchoStatus::GeneralFailure;  // for Error
};
// The sequence number of the echo request a received packet is about (a reply's own, the quoted
// request's in an error), read with every length checked; false for anything else.
bool PacketSequence(const uint8_t* packet, size_t length, bool withIpHeader, uint16_t* sequence);
// Classifies a packet as read from the socket: with its IP header on a raw socket (withIpHeader),
// the bare ICMP message on a ping socket, whose kernel has already matched the identifier. Every
// length is checked; anything malformed or not about this request is ignored. source is the
// packet's sender (host order).
Classified ClassifyPacket(const uint8_t* packet, size_t length, bool withIpHeader, uint16_t ident,
                          uint16_t sequence, uint32_t target, uint32_t source);
// The Internet checksum (RFC 1071) of data.
uint16_t Checksum(const uint8_t* data, size_t length);

}  // namespace detail

}  // namespace platform::icmp
