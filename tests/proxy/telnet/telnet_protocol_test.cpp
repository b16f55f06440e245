// The Telnet gateway's option stream: sequences split anywhere, sub-negotiations skipped, IAC IAC
// as data, each option answered once as RFC 854 asks; and the host line's three forms. The
// exchanges with a scripted client are in tests/e2e/test_telnet.sh.
#include "engine/proxy/telnet/telnet_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace telnet;

namespace {

// Data bytes and answers of a whole input fed one byte at a time.
void Feed(CParser& p, const std::vector<int>& in, std::string* data, std::string* answers, uint64_t answered[4]) {
  for (int b : in) {
    const CParser::Item item = p.Feed(static_cast<uint8_t>(b));
    if (item.kind == CParser::Kind::Data) data->push_back(static_cast<char>(item.byte));
    if (item.kind == CParser::Kind::Option) *answers += AnswerOption(item.verb, item.option, answered);
  }
}

}  // namespace

TEST(TelnetProtocol, OptionStream) {
  CParser p;
  uint64_t answered[4] = {};
  std::string data, answers;
  Feed(p, {'a',        TELNET_IAC,  TELNET_IAC,
           'b',                                       // IAC IAC is 255
           TELNET_IAC, TELNET_DO,   TELNET_OPT_ECHO,  // WILL ECHO
           TELNET_IAC, TELNET_WILL, TELNET_OPT_SGA,   // answers the gateway's DO: nothing
           TELNET_IAC, TELNET_WILL, 24,               // DONT 24
           TELNET_IAC, TELNET_DO,   31,               // WONT 31
           TELNET_IAC, TELNET_WONT, 32,               // WONT 32
           TELNET_IAC, TELNET_DONT, 33,               // WONT 33
           TELNET_IAC, TELNET_DONT, 33,               // answered already
           TELNET_IAC, TELNET_SB,   24,
           1,          TELNET_IAC,  TELNET_IAC,
           'z',        TELNET_IAC,  TELNET_SE,        // skipped
           TELNET_IAC, 241,                           // NOP
           TELNET_IAC, TELNET_DO,   TELNET_OPT_ECHO,  // answered already
           TELNET_IAC, TELNET_DONT, TELNET_OPT_SGA,
           'c'},
       &data, &answers, answered);
  EXPECT_EQ(data, std::string("a\xFF") + "bc");
  EXPECT_EQ(answers, std::string("\xFF\xFB\x01\xFF\xFE\x18\xFF\xFC\x1F\xFF\xFC\x20\xFF\xFC\x21\xFF\xFB\x03"));

  // A sequence split between reads: the state is kept.
  CParser q;
  uint64_t fresh[4] = {};
  std::string d2, a2;
  Feed(q, {TELNET_IAC}, &d2, &a2, fresh);
  Feed(q, {TELNET_DO}, &d2, &a2, fresh);
  EXPECT_TRUE(a2.empty());
  Feed(q, {5, 'x'}, &d2, &a2, fresh);
  EXPECT_EQ(a2, std::string("\xFF\xFC\x05"));
  EXPECT_EQ(d2, "x");
  EXPECT_EQ(sizeof kGreeting - 1, 9u);
}

TEST(TelnetProtocol, HostLine) {
  std::string host;
  uint16_t port = 0;
  ASSERT_TRUE(ParseHostLine("example.org", &host, &port));
  EXPECT_EQ(host, "example.org");
  EXPECT_EQ(port, 23);
  ASSERT_TRUE(ParseHostLine("h:2323", &host, &port));
  EXPECT_EQ(host, "h");
  EXPECT_EQ(port, 2323);
  ASSERT_TRUE(ParseHostLine("h 2323", &host, &port));
  EXPECT_EQ(port, 2323);
  ASSERT_TRUE(ParseHostLine("h  2323", &host, &port));
  EXPECT_EQ(host, "h");
  for (const char* bad : {"", ":23", "h:", "h:0", "h:65536", "h:2x", "a b c", "h\x7f", "h:23:24"})
    EXPECT_FALSE(ParseHostLine(bad, &host, &port)) << bad;
}
