// The SOCKS byte forms against vectors built from RFC 1928 and RFC 1929: every message parses only
// when whole, in any split, and a message that breaks its form or a bound is refused instead of
// read past. The exchanges with real clients are in tests/e2e/test_socks.sh.
#include "engine/proxy/socks/socks_protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/net/socket_exception.h"

using namespace socks;

namespace {

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}
const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Every proper prefix of a whole message needs more; the whole message parses.
template <class F>
void ExpectWholeOnly(const std::string& msg, F parse) {
  for (size_t n = 0; n < msg.size(); ++n) EXPECT_EQ(parse(msg.substr(0, n)), Parse::NeedMore) << "prefix " << n;
  EXPECT_EQ(parse(msg), Parse::Done);
}

}  // namespace

TEST(SOCKSProtocol, SOCKS4AndSOCKS4aRequests) {
  // curl's request with an empty user id: 04 01 port ip 00.
  const std::string curl = Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 2, 0});
  Request r;
  const char* why = "";
  ExpectWholeOnly(curl, [&](const std::string& s) { return ParseSOCKS4Request(U(s), s.size(), &r, &why); });
  EXPECT_EQ(r.command, SOCKS_CONNECT);
  EXPECT_EQ(r.port, 8080);
  EXPECT_EQ(r.address, 0x7F000002u);
  EXPECT_TRUE(r.userId.empty());
  EXPECT_EQ(r.length, 9u);

  // 4a: 0.0.0.1, user id, host name; bytes after it belong to the next phase.
  const std::string a = Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "joe" + '\0' + "example.org" + '\0' + "GET";
  ASSERT_EQ(ParseSOCKS4Request(U(a), a.size(), &r, &why), Parse::Done);
  EXPECT_EQ(r.userId, "joe");
  EXPECT_EQ(r.host, "example.org");
  EXPECT_EQ(r.addressType, SOCKS_ATYP_DOMAIN);
  EXPECT_EQ(r.length, a.size() - 3);
  // 0.0.0.0 is a plain address, not 4a.
  const std::string zero = Bytes({4, 2, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(ParseSOCKS4Request(U(zero), zero.size(), &r, &why), Parse::Done);
  EXPECT_TRUE(r.host.empty());

  // Bounds: a user id or host of 255 bytes passes, one byte more without its end is refused.
  const std::string head = Bytes({4, 1, 0, 80, 1, 2, 3, 4});
  const std::string ok = head + std::string(kMaxSOCKS4Text, 'u') + '\0';
  EXPECT_EQ(ParseSOCKS4Request(U(ok), ok.size(), &r, &why), Parse::Done);
  const std::string longId = head + std::string(kMaxSOCKS4Text + 1, 'u');
  EXPECT_EQ(ParseSOCKS4Request(U(longId), longId.size(), &r, &why), Parse::Bad);
  const std::string longHost = Bytes({4, 1, 0, 80, 0, 0, 0, 9, 0}) + std::string(kMaxSOCKS4Text + 1, 'h');
  EXPECT_EQ(ParseSOCKS4Request(U(longHost), longHost.size(), &r, &why), Parse::Bad);
  const std::string emptyHost = Bytes({4, 1, 0, 80, 0, 0, 0, 9, 0, 0});
  EXPECT_EQ(ParseSOCKS4Request(U(emptyHost), emptyHost.size(), &r, &why), Parse::Bad);
  // The longest valid message fits the session's cap.
  EXPECT_LE(8 + 2 * (kMaxSOCKS4Text + 1), kMaxMessage);
}

TEST(SOCKSProtocol, MethodsAndLogin) {
  Methods m;
  const char* why = "";
  // curl without credentials offers 00 01; with them 00 01 02.
  const std::string curl = Bytes({5, 3, 0, 1, 2});
  ExpectWholeOnly(curl, [&](const std::string& s) { return ParseMethods(U(s), s.size(), &m, &why); });
  EXPECT_TRUE(m.none);
  EXPECT_TRUE(m.userPass);
  EXPECT_EQ(m.length, 5u);
  const std::string onlyGssapi = Bytes({5, 1, 1});
  ASSERT_EQ(ParseMethods(U(onlyGssapi), onlyGssapi.size(), &m, &why), Parse::Done);
  EXPECT_FALSE(m.none || m.userPass);
  const std::string none = Bytes({5, 0});
  EXPECT_EQ(ParseMethods(U(none), none.size(), &m, &why), Parse::Bad);

  Login l;
  const std::string login = Bytes({1, 3}) + "bob" + Bytes({6}) + "secret";
  ExpectWholeOnly(login, [&](const std::string& s) { return ParseLogin(U(s), s.size(), &l, &why); });
  EXPECT_EQ(l.user, "bob");
  EXPECT_EQ(l.password, "secret");
  EXPECT_EQ(l.length, login.size());
  // Lengths past the bytes received are waited for, never read past.
  const std::string shortLogin = Bytes({1, 255}) + "bob";
  EXPECT_EQ(ParseLogin(U(shortLogin), shortLogin.size(), &l, &why), Parse::NeedMore);
  const std::string empty = Bytes({1, 0, 0});
  ASSERT_EQ(ParseLogin(U(empty), empty.size(), &l, &why), Parse::Done);
  EXPECT_TRUE(l.user.empty() && l.password.empty());
  const std::string badVersion = Bytes({5, 0, 0});
  EXPECT_EQ(ParseLogin(U(badVersion), badVersion.size(), &l, &why), Parse::Bad);
}

TEST(SOCKSProtocol, SOCKS5RequestsAndUDPHeaders) {
  Request r;
  const char* why = "";
  bool badType = false;
  const std::string v4 = Bytes({5, 1, 0, 1, 10, 0, 0, 7, 0, 80});
  ExpectWholeOnly(v4, [&](const std::string& s) { return ParseSOCKS5Request(U(s), s.size(), &r, &why, &badType); });
  EXPECT_EQ(r.address, 0x0A000007u);
  EXPECT_EQ(r.port, 80);
  const std::string name = Bytes({5, 3, 0, 3, 9}) + "localhost" + Bytes({0x04, 0x38});
  ExpectWholeOnly(name, [&](const std::string& s) { return ParseSOCKS5Request(U(s), s.size(), &r, &why, &badType); });
  EXPECT_EQ(r.command, SOCKS_UDP_ASSOCIATE);
  EXPECT_EQ(r.host, "localhost");
  EXPECT_EQ(r.port, 1080);
  const std::string v6 = Bytes({5, 1, 0, 4}) + std::string(16, '\0') + Bytes({0, 80});
  ASSERT_EQ(ParseSOCKS5Request(U(v6), v6.size(), &r, &why, &badType), Parse::Done);
  EXPECT_EQ(r.addressType, SOCKS_ATYP_IPV6);
  EXPECT_EQ(r.length, v6.size());
  const std::string unknown = Bytes({5, 1, 0, 7, 1, 2, 3, 4, 0, 80});
  EXPECT_EQ(ParseSOCKS5Request(U(unknown), unknown.size(), &r, &why, &badType), Parse::Bad);
  EXPECT_TRUE(badType);
  const std::string nulName = Bytes({5, 1, 0, 3, 3, 'a', 0, 'b', 0, 80});
  EXPECT_EQ(ParseSOCKS5Request(U(nulName), nulName.size(), &r, &why, &badType), Parse::Bad);
  EXPECT_FALSE(badType);

  const std::string udp = Bytes({0, 0, 0, 1, 127, 0, 0, 2, 0x30, 0x39}) + "data";
  ASSERT_EQ(ParseUDPHeader(U(udp), udp.size(), &r, &why), Parse::Done);
  EXPECT_EQ(r.length, 10u);
  EXPECT_EQ(r.port, 12345);
  const std::string frag = Bytes({0, 0, 1, 1, 127, 0, 0, 2, 0x30, 0x39});
  EXPECT_EQ(ParseUDPHeader(U(frag), frag.size(), &r, &why), Parse::Bad);
  const std::string cut = Bytes({0, 0, 0, 3, 20, 'a'});
  EXPECT_EQ(ParseUDPHeader(U(cut), cut.size(), &r, &why), Parse::Bad);
}

TEST(SOCKSProtocol, RepliesAndErrorCodes) {
  EXPECT_EQ(SOCKS4Reply(kSOCKS4Granted, 0x7F000001u, 0x1234), Bytes({0, 90, 0x12, 0x34, 127, 0, 0, 1}));
  EXPECT_EQ(SOCKS4Reply(kSOCKS4Failed), Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(SOCKS5Reply(SOCKS5_CONNECTION_REFUSED), Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(UDPHeader(0x0A000001u, 53), Bytes({0, 0, 0, 1, 10, 0, 0, 1, 0, 53}));
  EXPECT_EQ(ReplyForSocketError(WSAECONNREFUSED), SOCKS5_CONNECTION_REFUSED);
  EXPECT_EQ(ReplyForSocketError(WSAEHOSTUNREACH), SOCKS5_HOST_UNREACHABLE);
  EXPECT_EQ(ReplyForSocketError(WSAENETUNREACH), SOCKS5_NETWORK_UNREACHABLE);
  EXPECT_EQ(ReplyForSocketError(WSAEACCES), SOCKS5_NOT_ALLOWED);
  EXPECT_EQ(ReplyForSocketError(WSAECONNRESET), SOCKS5_GENERAL_FAILURE);
}
