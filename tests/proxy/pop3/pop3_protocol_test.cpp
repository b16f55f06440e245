// The POP3 gateway's USER table (last delimiter, port, no delimiter under the non-proxy actions and
// through an upstream proxy, bad forms), the delimiter setting, and bounded lines. The exchanges
// with real clients are in tests/e2e/test_pop3.sh.
#include "engine/proxy/pop3/pop3_protocol.h"

#include <gtest/gtest.h>

#include <string>

using namespace pop3;

TEST(POP3Protocol, UserTable) {
  UserTarget t;
  ASSERT_EQ(ParseUser("bob#mail.example.org", '#', false, 0, "", 0, &t), UserResult::Done);
  EXPECT_EQ(t.user, "bob");
  EXPECT_EQ(t.host, "mail.example.org");
  EXPECT_EQ(t.port, 110);
  EXPECT_FALSE(t.hasPort);
  ASSERT_EQ(ParseUser("b#ob#127.0.0.2:995", '#', false, 0, "", 0, &t), UserResult::Done);
  EXPECT_EQ(t.user, "b#ob");  // the last delimiter splits
  EXPECT_EQ(t.host, "127.0.0.2");
  EXPECT_EQ(t.port, 995);
  EXPECT_TRUE(t.hasPort);
  ASSERT_EQ(ParseUser("bob%host", '%', false, 0, "", 0, &t), UserResult::Done);  // the service's delimiter
  EXPECT_EQ(t.host, "host");
  // No delimiter: rejected under action 0, the operator's server under 1, the proxy's business
  // through an upstream proxy.
  EXPECT_EQ(ParseUser("bob", '#', false, 0, "inside", 110, &t), UserResult::Rejected);
  ASSERT_EQ(ParseUser("bob", '#', false, 1, "inside", 1110, &t), UserResult::Done);
  EXPECT_TRUE(t.nonProxy);
  EXPECT_EQ(t.host, "inside");
  EXPECT_EQ(t.port, 1110);
  ASSERT_EQ(ParseUser("bob", '#', true, 0, "", 0, &t), UserResult::Done);
  EXPECT_TRUE(t.host.empty());
  EXPECT_EQ(t.user, "bob");
  for (const char* bad :
       {"#host", "bob#", "bob#host:", "bob#host:0", "bob#host:65536", "bob#host:1x", "bob#h st", "bob#host\x01", ""})
    EXPECT_EQ(ParseUser(bad, '#', false, 1, "inside", 110, &t), UserResult::Bad) << bad;

  EXPECT_EQ(DelimiterFrom(35), '#');
  EXPECT_EQ(DelimiterFrom('%'), '%');
  for (uint32_t odd : {0u, 32u, 58u, 127u, 300u}) EXPECT_EQ(DelimiterFrom(odd), '#') << odd;
}

TEST(POP3Protocol, LinesAreBounded) {
  std::string line;
  size_t length = 0;
  EXPECT_EQ(FirstLine("USER a#b", &line, &length), LineResult::NeedMore);
  ASSERT_EQ(FirstLine("USER a#b\r\nPASS x\r\n", &line, &length), LineResult::Done);
  EXPECT_EQ(line, "USER a#b\r\n");
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(Trim(line), "USER a#b");
  EXPECT_EQ(FirstLine(std::string(kMaxLine + 1, 'x'), &line, &length), LineResult::TooLong);
  EXPECT_EQ(FirstLine(std::string(kMaxLine + 1, 'x') + "\n", &line, &length), LineResult::TooLong);
  EXPECT_EQ(FirstLine(std::string(kMaxLine, 'x') + "\n", &line, &length), LineResult::Done);
}
