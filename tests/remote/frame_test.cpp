#include "engine/remote/frame.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "engine/remote/rc_message.h"
#include "engine/access/user_db.h"
#include "engine/net/x1_socket.h"
#include "tests/support/test_env.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> LengthOf(uint32_t n) {
  return Bytes({static_cast<int>(n & 0xFF), static_cast<int>((n >> 8) & 0xFF), static_cast<int>((n >> 16) & 0xFF),
                static_cast<int>(n >> 24)});
}

const std::vector<uint8_t> kMessageBody = Bytes({5, 0, 2, 'a', 'b', 0, 1, 'z'});

// The socket under test and a raw peer that writes whatever bytes a test needs.
class FramePeer : public ::testing::Test {
 protected:
  void SetUp() override {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    sock_.Attach(pair[0]);
    peer_ = pair[1];
  }
  void TearDown() override {
    ClosePeer();
    sock_.Close();
  }
  void Write(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  void ClosePeer() {
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }
  X1Socket sock_;
  int peer_ = -1;
};

TEST(Frame, BuildsBareAndClassTaggedFrames) {
  CTLRCPMessage msg(5, "ab", "", "z");
  EXPECT_EQ(BuildFrame(msg), Cat(LengthOf(8), kMessageBody));

  std::vector<uint8_t> tagged = BuildTaggedFrame(msg);
  std::vector<uint8_t> header = Bytes({0xFF, 0xFF, 1, 0, 13, 0});
  for (char c : CString("CTLRCPMessage")) header.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(tagged, Cat(LengthOf(static_cast<uint32_t>(header.size() + 8)), Cat(header, kMessageBody)));

  auto slice = SplitFrame(tagged);
  ASSERT_TRUE(slice);
  EXPECT_EQ(slice->consumed, tagged.size());
  auto obj = LoadTaggedFrame(slice->payload, TL_RUNTIME_CLASS(CTLRCPMessage));
  auto back = std::dynamic_pointer_cast<CTLRCPMessage>(obj);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->m_code, 5);
  EXPECT_EQ(back->m_text3, "z");
}

TEST(Frame, SplitWaitsForWholeFrameAndRefusesOverCapLength) {
  const std::vector<uint8_t> frame = Cat(LengthOf(8), kMessageBody);
  EXPECT_FALSE(SplitFrame(std::span(frame).first(3)));
  EXPECT_FALSE(SplitFrame(std::span(frame).first(frame.size() - 1)));
  // A second frame behind the first is left for the next call.
  const std::vector<uint8_t> two = Cat(frame, LengthOf(0));
  auto slice = SplitFrame(two);
  ASSERT_TRUE(slice);
  EXPECT_EQ(slice->consumed, frame.size());
  EXPECT_EQ(slice->payload.size(), 8u);

  // Refused from the length alone, without waiting for the payload.
  try {
    SplitFrame(LengthOf(kMaxFrameLength + 1));
    FAIL() << "over-cap length accepted";
  } catch (const CFrameException& e) {
    EXPECT_EQ(e.GetCause(), CFrameException::tooLarge);
    EXPECT_FALSE(e.StreamInStep());
  }
  EXPECT_FALSE(SplitFrame(LengthOf(kMaxFrameLength)));  // at the cap: allowed, needs its bytes
}

TEST(Frame, MalformedPayloadsAreRefusedWithoutTouchingTheTarget) {
  CTLRCPMessage target(9, "keep");
  auto expectMalformed = [&](const std::vector<uint8_t>& payload) {
    CTLRCPMessage scratch(target);
    try {
      LoadBareFrame(payload, scratch);
      ADD_FAILURE() << "accepted " << payload.size() << " bytes";
    } catch (const CFrameException& e) {
      EXPECT_EQ(e.GetCause(), CFrameException::malformed);
      EXPECT_TRUE(e.StreamInStep());
    }
  };
  expectMalformed(Cat(kMessageBody, Bytes({0})));                     // a byte left over
  expectMalformed(std::vector<uint8_t>(kMessageBody.begin(), kMessageBody.end() - 1));  // short
  expectMalformed(Bytes({1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));  // 2 GiB text in 9 bytes

  // A table that announces an entry it does not carry records its failure instead of throwing:
  // the frame must still be refused.
  CGroupMemberDatabase users;
  try {
    LoadBareFrame(Bytes({1, 0, 0, 0}), users);
    ADD_FAILURE() << "an incomplete user database passed";
  } catch (const CFrameException& e) {
    EXPECT_EQ(e.GetCause(), CFrameException::malformed);
  }

  auto expectTaggedRefused = [](const std::vector<uint8_t>& payload, const CRuntimeClass* base) {
    try {
      LoadTaggedFrame(payload, base);
      ADD_FAILURE() << "tagged payload accepted";
    } catch (const CFrameException& e) {
      EXPECT_EQ(e.GetCause(), CFrameException::malformed);
    }
  };
  std::vector<uint8_t> unknown = Bytes({0xFF, 0xFF, 1, 0, 12, 0});
  for (char c : CString("CNoSuchClass")) unknown.push_back(static_cast<uint8_t>(c));
  expectTaggedRefused(Cat(unknown, kMessageBody), TL_RUNTIME_CLASS(CObject));
  // A real class, but not the one the receiver expects.
  CTLDataObject value;
  std::vector<uint8_t> valueFrame = BuildTaggedFrame(value);
  expectTaggedRefused(std::vector<uint8_t>(valueFrame.begin() + 4, valueFrame.end()), TL_RUNTIME_CLASS(CTLRCPMessage));
  expectTaggedRefused(Bytes({0, 0}), TL_RUNTIME_CLASS(CObject));  // null object
  std::vector<uint8_t> msgFrame = BuildTaggedFrame(target);
  expectTaggedRefused(Cat(std::vector<uint8_t>(msgFrame.begin() + 4, msgFrame.end()), Bytes({0})),
                      TL_RUNTIME_CLASS(CObject));  // trailing byte
}

TEST_F(FramePeer, ReceivesACompleteFrameAndSends) {
  Write(Cat(LengthOf(8), kMessageBody));
  CTLRCPMessage msg;
  ReceiveObject(sock_, msg);
  EXPECT_EQ(msg.m_code, 5);
  EXPECT_EQ(msg.m_text1, "ab");

  SendRCPMessage(sock_, 5, "ab", "", "z");
  std::vector<uint8_t> got(64);
  ssize_t n = recv(peer_, got.data(), got.size(), 0);
  ASSERT_GT(n, 0);
  got.resize(static_cast<size_t>(n));
  EXPECT_EQ(got, Cat(LengthOf(8), kMessageBody));
}

TEST_F(FramePeer, ShortFrameFailsAndLeavesTheTargetAsItWas) {
  // Announces 8 bytes, delivers a complete-looking message prefix of 6, then ends.
  Write(Cat(LengthOf(8), std::vector<uint8_t>(kMessageBody.begin(), kMessageBody.begin() + 6)));
  ClosePeer();
  CTLRCPMessage msg(77, "old");
  try {
    ReceiveObject(sock_, msg);
    FAIL() << "short frame accepted";
  } catch (const CFrameException& e) {
    EXPECT_EQ(e.GetCause(), CFrameException::shortPayload);
    EXPECT_STREQ(e.what(), "Communications Failure - pad payload length");
    EXPECT_FALSE(e.StreamInStep());
  }
  EXPECT_EQ(msg.m_code, 77);
  EXPECT_EQ(msg.m_text1, "old");
}

TEST_F(FramePeer, ShortHeaderFails) {
  Write(Bytes({8, 0}));
  ClosePeer();
  try {
    ReceiveUnknownObject(sock_, TL_RUNTIME_CLASS(CObject));
    FAIL();
  } catch (const CFrameException& e) {
    EXPECT_EQ(e.GetCause(), CFrameException::shortHeader);
    EXPECT_STREQ(e.what(), "Communications Failure");
  }
}

TEST_F(FramePeer, ShortTaggedPayloadUsesThePlainText) {
  Write(Cat(LengthOf(100), Bytes({0xFF, 0xFF})));
  ClosePeer();
  try {
    ReceiveUnknownObject(sock_, TL_RUNTIME_CLASS(CObject));
    FAIL();
  } catch (const CFrameException& e) {
    EXPECT_EQ(e.GetCause(), CFrameException::shortPayload);
    EXPECT_STREQ(e.what(), "Communications Failure");
  }
}

TEST_F(FramePeer, OverCapLengthIsRefusedBeforeReadingThePayload) {
  // 4 GiB - 1 announced; the bytes behind the length must stay unread.
  Write(Cat(LengthOf(0xFFFFFFFFu), kMessageBody));
  CTLRCPMessage msg(1, "old");
  try {
    ReceiveObject(sock_, msg);
    FAIL();
  } catch (const CFrameException& e) {
    EXPECT_EQ(e.GetCause(), CFrameException::tooLarge);
    EXPECT_STREQ(e.what(), "Memory Allocation Error");
  }
  EXPECT_EQ(sock_.BytesAvailable(), kMessageBody.size());
  EXPECT_EQ(msg.m_text1, "old");

  // A smaller cap given by the caller is honoured too.
  Write(Cat(LengthOf(8), kMessageBody));
  std::vector<uint8_t> drain(kMessageBody.size());
  ASSERT_EQ(sock_.ReceiveBlocking(drain.data(), drain.size()), drain.size());
  EXPECT_THROW(ReceiveObject(sock_, msg, 7), CFrameException);
}

TEST_F(FramePeer, UnknownClassInACompleteFrameIsRefused) {
  std::vector<uint8_t> body = Bytes({0xFF, 0xFF, 1, 0, 7, 0, 'C', 'E', 'v', 'i', 'l', 'X', 'X', 1, 2, 3});
  Write(Cat(LengthOf(static_cast<uint32_t>(body.size())), body));
  try {
    ReceiveUnknownObject(sock_, TL_RUNTIME_CLASS(CObject));
    FAIL();
  } catch (const CFrameException& e) {
    EXPECT_EQ(e.GetCause(), CFrameException::malformed);
  }
  EXPECT_EQ(sock_.BytesAvailable(), 0u);  // the frame was consumed whole: still in step
}

}  // namespace
