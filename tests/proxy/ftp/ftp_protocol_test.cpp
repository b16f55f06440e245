// The FTP gateway's text forms: lines out of a byte stream in any split and with a cap, the
// USER table (last "@", port, no "@" under the non-proxy actions, bad forms), PORT and 227 numbers
// with their ranges, and reply codes. The exchanges with real clients are in tests/e2e/test_ftp.sh.
#include "engine/proxy/ftp/ftp_protocol.h"

#include <gtest/gtest.h>

#include <string>

using namespace ftp;

TEST(FTPProtocol, LinesComeWholeInOrderAndBounded) {
  CLineBuffer b;
  std::string line;
  ASSERT_TRUE(b.Append("USER a@h\r\nPASS x\r\nLI", 20));
  ASSERT_TRUE(b.Next(&line));
  EXPECT_EQ(line, "USER a@h\r\n");
  ASSERT_TRUE(b.Next(&line));
  EXPECT_EQ(line, "PASS x\r\n");
  EXPECT_FALSE(b.Next(&line));
  ASSERT_TRUE(b.Append("ST\n", 3));
  ASSERT_TRUE(b.Next(&line));
  EXPECT_EQ(line, "LIST\n");
  EXPECT_EQ(b.Pending(), 0u);
  // Many whole lines in one read are fine; one unfinished line past the cap is not.
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "NOOP\r\n";
  CLineBuffer m;
  EXPECT_TRUE(m.Append(many.data(), many.size()));
  int n = 0;
  while (m.Next(&line)) ++n;
  EXPECT_EQ(n, 1000);
  const std::string longLine(kMaxLine + 1, 'x');
  CLineBuffer l;
  EXPECT_FALSE(l.Append(longLine.data(), longLine.size()));
  EXPECT_TRUE(l.Overflowed());
  EXPECT_FALSE(l.Next(&line));
}

TEST(FTPProtocol, UserTable) {
  UserTarget t;
  ASSERT_TRUE(ParseUser("anonymous@ftp.example.org", 0, "", 0, &t));
  EXPECT_EQ(t.user, "anonymous");
  EXPECT_EQ(t.host, "ftp.example.org");
  EXPECT_EQ(t.port, 21);
  EXPECT_FALSE(t.nonProxy);
  ASSERT_TRUE(ParseUser("me@mail.example@127.0.0.2:2121", 0, "", 0, &t));
  EXPECT_EQ(t.user, "me@mail.example");  // the last "@" splits
  EXPECT_EQ(t.host, "127.0.0.2");
  EXPECT_EQ(t.port, 2121);
  // No "@": the operator's server under action 1, a bad form otherwise.
  EXPECT_FALSE(ParseUser("bob", 0, "inside", 21, &t));
  ASSERT_TRUE(ParseUser("bob", 1, "inside", 2100, &t));
  EXPECT_TRUE(t.nonProxy);
  EXPECT_EQ(t.user, "bob");
  EXPECT_EQ(t.host, "inside");
  EXPECT_EQ(t.port, 2100);
  EXPECT_FALSE(ParseUser("bob", 1, "", 21, &t));
  for (const char* bad : {"@host", "user@", "user@host:", "user@host:0", "user@host:65536", "user@host:12x",
                          "user@ho st", "user@host\x01", ""}) {
    EXPECT_FALSE(ParseUser(bad, 0, "", 0, &t)) << bad;
  }
  EXPECT_EQ(Argument("USER  a@b \r\n"), "a@b");
  EXPECT_EQ(Argument("USER\r\n"), "");
}

TEST(FTPProtocol, CommandsHostPortAndReplies) {
  EXPECT_EQ(Classify("user x\r\n"), Command::User);
  EXPECT_EQ(Classify("PORT 1,2,3,4,5,6\r\n"), Command::Port);
  EXPECT_EQ(Classify("pasv\r\n"), Command::Pasv);
  EXPECT_EQ(Classify("EPSV ALL\r\n"), Command::Extended);
  EXPECT_EQ(Classify("LPRT 4,4,1,2,3,4,2,0,20\r\n"), Command::Extended);
  EXPECT_EQ(Classify("\r\n"), Command::Empty);
  // The whole first word, as the server reads it; never its first four letters.
  for (const char* other : {"USERX\r\n", "USERNAME a@b\r\n", "PORTX 1,2,3,4,5,6\r\n", "PASVX\r\n", "USE\r\n"})
    EXPECT_EQ(Classify(other), Command::Other) << other;

  uint32_t a = 0;
  uint16_t p = 0;
  ASSERT_TRUE(ParseHostPort("127,0,0,1,7,208", &a, &p));
  EXPECT_EQ(a, 0x7F000001u);
  EXPECT_EQ(p, 2000);
  EXPECT_EQ(FormatHostPort(a, p), "127,0,0,1,7,208");
  for (const char* bad :
       {"127,0,0,1,7", "127,0,0,256,1,1", "1,2,3,4,5,6,7", "1,2,3,4,5,", "a,2,3,4,5,6", "1,2,3,4,5,999999"})
    EXPECT_FALSE(ParseHostPort(bad, &a, &p)) << bad;
  ASSERT_TRUE(ParsePassiveReply("227 Entering Passive Mode (10,1,2,3,4,5).\r\n", &a, &p));
  EXPECT_EQ(a, 0x0A010203u);
  EXPECT_EQ(p, 4 * 256 + 5);
  ASSERT_TRUE(ParsePassiveReply("227 =10,1,2,3,4,6\r\n", &a, &p));  // no parentheses
  EXPECT_EQ(p, 4 * 256 + 6);
  EXPECT_FALSE(ParsePassiveReply("227 Entering Passive Mode (10,1,2,3,4,300)\r\n", &a, &p));
  EXPECT_FALSE(ParsePassiveReply("227\r\n", &a, &p));

  bool last = false;
  EXPECT_EQ(ReplyCode("220-Welcome\r\n", &last), 220);
  EXPECT_FALSE(last);
  EXPECT_EQ(ReplyCode("220 ready\r\n", &last), 220);
  EXPECT_TRUE(last);
  EXPECT_EQ(ReplyCode("   continuation\r\n", &last), 0);
  EXPECT_EQ(ReplyCode("2200 x\r\n", &last), 0);
  EXPECT_EQ(ReplyCode("099 x\r\n", &last), 0);
}
