#include "engine/config/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "engine/config/reg_helpers.h"
#include "tests/support/test_env.h"

namespace {

using trellis::test::MakeTempDir;
using trellis::test::ReadFile;
using trellis::test::WriteFile;

std::string Today() { return CLogFile::FileNameFor("x", time(nullptr)).substr(2, 7); }

TEST(LogFile, UncreatableDirectoryTurnsLoggingOffQuietly) {
  const std::string dir = MakeTempDir("blocked");
  ASSERT_TRUE(WriteFile(dir + "/plain", "x"));
  ASSERT_TRUE(RegWriteString("Settings", kAuditDirectoryValue, dir + "/plain/Audit"));
  EXPECT_EQ(CLogFile::Open(kAuditDirectoryValue, kAuditDirectoryDefault, "joe"), nullptr);
  SubmitLogLine(nullptr, "nowhere\r\n");  // an owner without a file logs nothing
  RegRemoveValue("Settings", kAuditDirectoryValue);
}

TEST(LogFile, NamesUseTheCLocaleDateAndStayInsideTheFolder) {
  struct tm tm {};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  time_t day = mktime(&tm);
  EXPECT_EQ(CLogFile::FileNameFor("WWW Proxy", day), "WWW Proxy.08Dec26.log");
  std::string reference;
  ASSERT_EQ(trellis::test::RunCommand("LC_ALL=C date -d @" + std::to_string(day) + " +%d%b%y", &reference), 0);
  EXPECT_EQ(CLogFile::FileNameFor("s", day), "s." + reference.substr(0, reference.find('\n')) + ".log");
  EXPECT_EQ(CLogFile::FileNameFor("../up/x\\y\x01", day), ".._up_x_y_.08Dec26.log");

  // The default folder is taken from the current directory; a second open the same day appends.
  const std::string home = MakeTempDir("home");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(home.c_str()), 0);
  auto first = CLogFile::Open(kAuditDirectoryValue, kAuditDirectoryDefault, "Svc");
  auto second = CLogFile::Open(kAuditDirectoryValue, kAuditDirectoryDefault, "Svc");
  ASSERT_EQ(chdir(old), 0);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->GetPath(), "Audit/Svc." + Today() + ".log");
  EXPECT_TRUE(first->Write("one\r\n"));
  EXPECT_TRUE(second->Write("two\r\n"));
  EXPECT_TRUE(first->Write("three\r\n"));
  EXPECT_EQ(ReadFile(home + "/" + first->GetPath()), "one\r\ntwo\r\nthree\r\n");
}

}  // namespace
