#include "engine/net/socket_exception.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/config/reg_helpers.h"

namespace {

constexpr const char* kKey = "ErrorStrings\\SocketErrors";

TEST(SocketException, OperatorTextsReplaceBuiltInOnesUnlessEmpty) {
  EXPECT_EQ(X1SocketException(10061).GetText(), "Connection refused by Remote Host");
  ASSERT_TRUE(RegWriteString(kKey, "10061", "Nobody listens there"));
  X1SocketException reworded(10061);
  EXPECT_EQ(reworded.GetCode(), 10061u);
  EXPECT_EQ(reworded.GetText(), "Nobody listens there");
  EXPECT_STREQ(reworded.what(), "Nobody listens there");

  ASSERT_TRUE(RegWriteString(kKey, "10061", ""));
  EXPECT_EQ(X1SocketException(10061).GetText(), "Connection refused by Remote Host");

  // Unknown codes get the numbered text; an operator text is shown as written, never as a format.
  EXPECT_EQ(X1SocketException(108).GetText(), "Socket Error 108");
  ASSERT_TRUE(RegWriteString(kKey, "108", "Odd %s%n%d failure"));
  EXPECT_EQ(X1SocketException(108).GetText(), "Odd %s%n%d failure");
  // A given text wins over both.
  EXPECT_EQ(X1SocketException(108, "given").GetText(), "given");
  RegDeleteKeyTree("ErrorStrings");

  EXPECT_EQ(X1SocketException(0).GetText(), "You should never get this error");
  EXPECT_EQ(X1SocketException(10053).GetText(), "Timed Out");
  EXPECT_EQ(X1SocketException(10022).GetText(), "Could not connect to remote host");
}

TEST(SocketException, HostLookupTextIsFilledSafely) {
  EXPECT_EQ(HostnameLookupFailedText("a%s%nb"), "Host name lookup for 'a%s%nb' failed");
  ASSERT_TRUE(RegWriteString(kKey, "HostnameLookupFailed", "%s%s%n not found (%u)"));
  EXPECT_EQ(HostnameLookupFailedText("www.example.test"), "www.example.test%s%n not found (%u)");
  RegDeleteKeyTree("ErrorStrings");
}

TEST(SocketException, ErrnoOfRealFailuresMapsToTheCodesTheTextsUse) {
  // A port that is bound but not listening refuses connections, and stays ours meanwhile.
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_NE(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  uint32_t code = SocketErrorFromErrno(errno);
  EXPECT_EQ(code, WSAECONNREFUSED);
  EXPECT_EQ(X1SocketException(code).GetText(), "Connection refused by Remote Host");
  close(s);
  close(holder);

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  char c;
  ASSERT_LT(recv(pair[0], &c, 1, MSG_DONTWAIT), 0);
  EXPECT_EQ(SocketErrorFromErrno(errno), WSAEWOULDBLOCK);
  shutdown(pair[0], SHUT_WR);
  ASSERT_LT(send(pair[0], "x", 1, MSG_NOSIGNAL), 0);
  EXPECT_EQ(SocketErrorFromErrno(errno), WSAESHUTDOWN);
  close(pair[0]);
  close(pair[1]);

  EXPECT_EQ(SocketErrorFromErrno(ETIMEDOUT), WSAETIMEDOUT);
  EXPECT_EQ(SocketErrorFromErrno(EHOSTUNREACH), WSAEHOSTUNREACH);
  EXPECT_EQ(SocketErrorFromErrno(ENOMEM), WSAENOBUFS);
  EXPECT_EQ(SocketErrorFromErrno(0), 0u);
  // Without a code of its own the errno stays readable and clear of the real codes.
  EXPECT_EQ(SocketErrorFromErrno(ENOENT), kSocketErrorErrnoBase + ENOENT);
  EXPECT_EQ(X1SocketException(SocketErrorFromErrno(ENOENT)).GetText(),
            "Socket Error " + std::to_string(kSocketErrorErrnoBase + ENOENT));
}

}  // namespace
