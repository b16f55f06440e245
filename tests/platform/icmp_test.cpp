#include "platform/icmp.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <map>
#include <vector>

namespace {

using namespace platform::icmp;
using detail::ClassifyPacket;
using detail::PacketMatch;

constexpr uint32_t kLoopback = 0x7F000001;

TEST(Icmp, EchoToLoopbackIsAnswered) {
  Pinger pinger;
  if (!pinger.Available()) GTEST_SKIP() << "no ICMP socket may be opened here";
  EchoResult r = pinger.Echo(kLoopback, 2000);
  EXPECT_EQ(r.status, EchoStatus::Success);
  EXPECT_EQ(r.from, kLoopback);
  // The same socket again, with data: the earlier reply must not be taken for this one.
  EXPECT_EQ(pinger.Echo(kLoopback, 2000, "payload").status, EchoStatus::Success);
  EXPECT_EQ(Echo(kLoopback, 2000).status, EchoStatus::Success);
  EXPECT_EQ(pinger.Echo(kLoopback, 2000, std::string(Pinger::kMaxData + 1, 'x')).status,
            EchoStatus::GeneralFailure);
}

// Several requests in flight on one socket: each answer is matched to its own target, and an
// answer to a request the caller no longer waits for is read and passed over.
TEST(Icmp, ABatchMatchesEveryAnswerToItsRequest) {
  EchoBatch batch;
  if (!batch.Available()) GTEST_SKIP() << "no ICMP socket may be opened here";
  std::map<uint16_t, uint32_t> inFlight;
  for (uint32_t target : {kLoopback, kLoopback + 1, kLoopback + 2, kLoopback + 3}) {
    uint16_t sequence = 0;
    EchoResult failure;
    ASSERT_TRUE(batch.Send(target, &sequence, &failure));
    inFlight[sequence] = target;
  }
  const uint16_t forgotten = inFlight.begin()->first;
  inFlight.erase(forgotten);
  const EchoBatch::TargetOf targetOf = [&](uint16_t sequence) -> std::optional<uint32_t> {
    auto it = inFlight.find(sequence);
    if (it == inFlight.end()) return std::nullopt;
    return it->second;
  };
  std::map<uint16_t, uint32_t> answeredBy;
  for (int round = 0; round < 50 && answeredBy.size() < 3; ++round) {
    pollfd p{batch.Descriptor(), POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    bool answered = false;
    uint16_t sequence = 0;
    EchoResult result;
    while (batch.Receive(targetOf, &answered, &sequence, &result)) {
      if (!answered) continue;
      EXPECT_NE(sequence, forgotten);
      EXPECT_EQ(result.status, EchoStatus::Success);
      answeredBy[sequence] = result.from;
    }
  }
  EXPECT_EQ(answeredBy, inFlight);
  EchoResult failure;
  uint16_t sequence = 0;
  EXPECT_FALSE(batch.Send(kLoopback, &sequence, &failure, std::string(EchoBatch::kMaxData + 1, 'x')));
  EXPECT_EQ(failure.status, EchoStatus::GeneralFailure);
}

// An IPv4 header (20 bytes, protocol ICMP) from src to dst followed by body.
std::vector<uint8_t> Ip(uint32_t src, uint32_t dst, std::vector<uint8_t> body) {
  std::vector<uint8_t> p(20, 0);
  p[0] = 0x45;
  size_t total = 20 + body.size();
  p[2] = static_cast<uint8_t>(total >> 8);
  p[3] = static_cast<uint8_t>(total);
  p[8] = 64;
  p[9] = 1;
  for (int i = 0; i < 4; ++i) {
    p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
    p[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
  }
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

std::vector<uint8_t> Icmp(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, std::vector<uint8_t> rest = {}) {
  std::vector<uint8_t> m = {type, code, 0, 0, uint8_t(id >> 8), uint8_t(id), uint8_t(seq >> 8), uint8_t(seq)};
  m.insert(m.end(), rest.begin(), rest.end());
  uint16_t sum = detail::Checksum(m.data(), m.size());
  m[2] = uint8_t(sum >> 8);
  m[3] = uint8_t(sum);
  return m;
}

PacketMatch Raw(const std::vector<uint8_t>& p, uint32_t source = 0x0A000001) {
  return ClassifyPacket(p.data(), p.size(), true, 0x1234, 7, 0x0A000001, source).match;
}

TEST(Icmp, RawPacketsAreMatchedToTheirRequestWithEveryLengthChecked) {
  const uint32_t me = 0x0A000002, target = 0x0A000001, router = 0x0A0000FE;
  EXPECT_EQ(Raw(Ip(target, me, Icmp(0, 0, 0x1234, 7, {1, 2, 3}))), PacketMatch::Reply);
  // Another pinger's reply, a stale sequence, a stranger answering, our own request looped back.
  EXPECT_EQ(Raw(Ip(target, me, Icmp(0, 0, 0x1235, 7))), PacketMatch::Ignore);
  EXPECT_EQ(Raw(Ip(target, me, Icmp(0, 0, 0x1234, 6))), PacketMatch::Ignore);
  EXPECT_EQ(Raw(Ip(router, me, Icmp(0, 0, 0x1234, 7)), router), PacketMatch::Ignore);
  EXPECT_EQ(Raw(Ip(target, me, Icmp(8, 0, 0x1234, 7))), PacketMatch::Ignore);
  auto corrupt = Ip(target, me, Icmp(0, 0, 0x1234, 7, {1, 2}));
  corrupt.back() ^= 0xFF;
  EXPECT_EQ(Raw(corrupt), PacketMatch::Ignore);

  // Malformed headers: short, header length past the end, total length below the header.
  auto good = Ip(target, me, Icmp(0, 0, 0x1234, 7));
  EXPECT_EQ(Raw(std::vector<uint8_t>(good.begin(), good.begin() + 27)), PacketMatch::Ignore);
  auto longIhl = good;
  longIhl[0] = 0x4F;
  EXPECT_EQ(Raw(longIhl), PacketMatch::Ignore);
  auto shortTotal = good;
  shortTotal[2] = 0;
  shortTotal[3] = 10;
  EXPECT_EQ(Raw(shortTotal), PacketMatch::Ignore);
  EXPECT_EQ(ClassifyPacket(nullptr, 0, true, 0x1234, 7, target, target).match, PacketMatch::Ignore);

  // An error quoting our request counts, with its status; one quoting another request does not.
  auto quoted = Ip(me, target, Icmp(8, 0, 0x1234, 7));
  quoted.resize(28);
  auto unreachable = Ip(router, me, Icmp(3, 1, 0, 0, quoted));
  auto c = ClassifyPacket(unreachable.data(), unreachable.size(), true, 0x1234, 7, target, router);
  EXPECT_EQ(c.match, PacketMatch::Error);
  EXPECT_EQ(c.status, EchoStatus::HostUnreachable);
  auto ttl = Ip(router, me, Icmp(11, 0, 0, 0, quoted));
  c = ClassifyPacket(ttl.data(), ttl.size(), true, 0x1234, 7, target, router);
  EXPECT_EQ(c.status, EchoStatus::TtlExpired);
  auto other = Ip(me, target, Icmp(8, 0, 0x9999, 7));
  other.resize(28);
  EXPECT_EQ(Raw(Ip(router, me, Icmp(3, 1, 0, 0, other)), router), PacketMatch::Ignore);
  auto elsewhere = Ip(me, 0x0A000009, Icmp(8, 0, 0x1234, 7));
  elsewhere.resize(28);
  EXPECT_EQ(Raw(Ip(router, me, Icmp(3, 1, 0, 0, elsewhere)), router), PacketMatch::Ignore);
  quoted.resize(24);  // quote cut inside the echo header
  EXPECT_EQ(Raw(Ip(router, me, Icmp(3, 1, 0, 0, quoted)), router), PacketMatch::Ignore);
}

TEST(Icmp, TheSequenceOfWhatAPacketAnswersIsReadWithEveryLengthChecked) {
  const uint32_t me = 0x0A000002, target = 0x0A000001, router = 0x0A0000FE;
  uint16_t sequence = 0;
  auto reply = Ip(target, me, Icmp(0, 0, 0x1234, 7));
  ASSERT_TRUE(detail::PacketSequence(reply.data(), reply.size(), true, &sequence));
  EXPECT_EQ(sequence, 7);
  auto bare = Icmp(0, 0, 0x4321, 9);
  ASSERT_TRUE(detail::PacketSequence(bare.data(), bare.size(), false, &sequence));
  EXPECT_EQ(sequence, 9);
  auto quoted = Ip(me, target, Icmp(8, 0, 0x1234, 11));
  quoted.resize(28);
  auto unreachable = Ip(router, me, Icmp(3, 1, 0, 0, quoted));
  ASSERT_TRUE(detail::PacketSequence(unreachable.data(), unreachable.size(), true, &sequence));
  EXPECT_EQ(sequence, 11);
  quoted.resize(24);  // quote cut inside the echo header
  auto cut = Ip(router, me, Icmp(3, 1, 0, 0, quoted));
  EXPECT_FALSE(detail::PacketSequence(cut.data(), cut.size(), true, &sequence));
  auto request = Ip(me, target, Icmp(8, 0, 0x1234, 7));
  EXPECT_FALSE(detail::PacketSequence(request.data(), request.size(), true, &sequence));
  EXPECT_FALSE(detail::PacketSequence(reply.data(), 27, true, &sequence));
  EXPECT_FALSE(detail::PacketSequence(nullptr, 0, true, &sequence));
}

TEST(Icmp, PingSocketRepliesAreMatchedBySequence) {
  // The kernel rewrote the identifier; only the sequence and the sender tell our reply apart.
  auto reply = Icmp(0, 0, 0x4321, 7);
  EXPECT_EQ(ClassifyPacket(reply.data(), reply.size(), false, 0x1234, 7, kLoopback, kLoopback).match,
            PacketMatch::Reply);
  EXPECT_EQ(ClassifyPacket(reply.data(), reply.size(), false, 0x1234, 8, kLoopback, kLoopback).match,
            PacketMatch::Ignore);
  EXPECT_EQ(ClassifyPacket(reply.data(), 7, false, 0x1234, 7, kLoopback, kLoopback).match, PacketMatch::Ignore);
}

}  // namespace
