// The FTP forms the web proxy reads: replies with their multi-line form and bounds, the 227 port,
// LIST lines of Unix and DOS servers (folders, links, "total", names with spaces), the URL path as
// a command argument, and Basic credentials.
#include "engine/proxy/www/ftp_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FtpReplyTest, SingleAndMultiLineReplies) {
  CFtpReplyReader r;
  EXPECT_EQ(r.Feed("220 ready"), CFtpReplyReader::kComplete);
  EXPECT_EQ(r.Code(), 220u);
  EXPECT_EQ(r.Text(), "ready");
  EXPECT_EQ(r.Feed("230-Welcome"), CFtpReplyReader::kMore);
  EXPECT_EQ(r.Feed("   second line"), CFtpReplyReader::kMore);
  EXPECT_EQ(r.Feed("231 a code inside the text"), CFtpReplyReader::kMore);
  EXPECT_EQ(r.Feed("230 done"), CFtpReplyReader::kComplete);
  EXPECT_EQ(r.Code(), 230u);
  EXPECT_EQ(r.MultiLineText(), "Welcome\n   second line\n231 a code inside the text");
  EXPECT_EQ(r.Feed("550"), CFtpReplyReader::kComplete);
  EXPECT_EQ(r.Code(), 550u);
  EXPECT_EQ(r.Feed("hello"), CFtpReplyReader::kBad);
  EXPECT_EQ(r.Feed("099 low"), CFtpReplyReader::kBad);
  EXPECT_EQ(r.Feed("220x"), CFtpReplyReader::kBad);
  // A multi-line reply that never ends is cut off.
  CFtpReplyReader endless;
  CFtpReplyReader::Result res = endless.Feed("220-start");
  for (size_t i = 0; i < kMaxFtpReplyLines + 1 && res == CFtpReplyReader::kMore; ++i)
    res = endless.Feed(std::string(100, 'x'));
  EXPECT_EQ(res, CFtpReplyReader::kBad);
  EXPECT_LE(endless.MultiLineText().size(), kMaxFtpReplyText);
}

TEST(FtpReplyTest, PassivePortOnly) {
  uint16_t port = 0;
  ASSERT_TRUE(ParsePasvPort("Entering Passive Mode (10,0,0,9,156,64).", &port));
  EXPECT_EQ(port, 156 * 256 + 64);
  ASSERT_TRUE(ParsePasvPort("=( 127, 0, 0, 1, 0, 21 )", &port));
  EXPECT_EQ(port, 21);
  EXPECT_FALSE(ParsePasvPort("(1,2,3,4,5)", &port));
  EXPECT_FALSE(ParsePasvPort("(1,2,3,4,5,256)", &port));
  EXPECT_FALSE(ParsePasvPort("(1,2,3,4,0,0)", &port));
  EXPECT_FALSE(ParsePasvPort("(1,2,3,4,5,6,7)", &port));
  EXPECT_FALSE(ParsePasvPort("(1,2,3,4,5,6", &port));
  EXPECT_FALSE(ParsePasvPort("no numbers", &port));
}

TEST(FtpReplyTest, ListingLines) {
  CFtpListEntry e;
  ASSERT_TRUE(ParseFtpListLine("-rw-r--r--   1 ftp ftp      5242880 Dec 09 17:00 big file.bin\r", &e));
  EXPECT_EQ(e.name, "big file.bin");
  EXPECT_FALSE(e.folder);
  EXPECT_EQ(e.details, "-rw-r--r--   1 ftp ftp      5242880 Dec 09 17:00");
  ASSERT_TRUE(ParseFtpListLine("drwxr-xr-x 2 ftp ftp 4096 Jan 01  2024 pub", &e));
  EXPECT_TRUE(e.folder);
  ASSERT_TRUE(ParseFtpListLine("lrwxrwxrwx 1 u g 5 Jan 01 2024 latest -> releases/1.0", &e));
  EXPECT_EQ(e.name, "latest");
  EXPECT_TRUE(e.folder);
  ASSERT_TRUE(ParseFtpListLine("01-01-24  10:00AM       <DIR>          Old Folder", &e));
  EXPECT_EQ(e.name, "Old Folder");
  EXPECT_TRUE(e.folder);
  ASSERT_TRUE(ParseFtpListLine("01-01-24  10:00AM       <dir>          x", &e));
  EXPECT_TRUE(e.folder);
  ASSERT_TRUE(ParseFtpListLine("01-01-24  10:00AM            1234 <a>.txt", &e));
  EXPECT_FALSE(e.folder);
  EXPECT_EQ(e.name, "<a>.txt");
  ASSERT_TRUE(ParseFtpListLine("-rw-r--r-- 1 u g 6 Jan 01 2024 totals.csv", &e));
  EXPECT_EQ(e.name, "totals.csv");
  ASSERT_TRUE(ParseFtpListLine("-rw-r--r-- 1 <u> g 6 Jan 01 2024 f", &e));
  EXPECT_EQ(e.details, "-rw-r--r-- 1 \"u\" g 6 Jan 01 2024");
  EXPECT_FALSE(ParseFtpListLine("total 12", &e));
  EXPECT_FALSE(ParseFtpListLine("   ", &e));
  EXPECT_FALSE(ParseFtpListLine("drwxr-xr-x 2 ftp ftp 4096 Jan 01 2024 ..", &e));
  EXPECT_FALSE(ParseFtpListLine("-rw-r--r-- 1 u g 6 Jan 01 2024 a/b", &e));
}

TEST(FtpReplyTest, PathsAndCredentials) {
  CString p;
  ASSERT_TRUE(DecodeFtpPath("/pub/sub%20dir/a+b", &p));
  EXPECT_EQ(p, "/pub/sub dir/a+b");
  EXPECT_FALSE(DecodeFtpPath("/x%0d%0aDELE%20y", &p));
  EXPECT_FALSE(DecodeFtpPath("/x%00", &p));
  EXPECT_FALSE(DecodeFtpPath("/x%0", &p));
  EXPECT_FALSE(DecodeFtpPath("/x%zz", &p));
  CString user, password;
  ASSERT_TRUE(ParseBasicCredentials("Basic YWxpY2U6czNjcmV0", &user, &password));
  EXPECT_EQ(user, "alice");
  EXPECT_EQ(password, "s3cret");
  ASSERT_TRUE(ParseBasicCredentials("basic YTpi", &user, &password));
  EXPECT_EQ(password, "b");
  ASSERT_TRUE(ParseBasicCredentials("Basic YTo=", &user, &password));
  EXPECT_EQ(password, "");
  EXPECT_FALSE(ParseBasicCredentials("Bearer YTpi", &user, &password));
  EXPECT_FALSE(ParseBasicCredentials("Basic YWJj", &user, &password));      // "abc": no colon
  EXPECT_FALSE(ParseBasicCredentials("Basic YTpi=YQ", &user, &password));   // data after padding
  EXPECT_FALSE(ParseBasicCredentials("Basic YToNCg==", &user, &password));  // "a:\r\n"
  EXPECT_FALSE(ParseBasicCredentials("Basic Y!pi", &user, &password));
}

}  // namespace
