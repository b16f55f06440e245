#include "engine/config/util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/support/test_env.h"

namespace {

// ---- Scrambling and hex -----------------------------------------------------------------------

TEST(Scramble, SingleLetterAndInverse) {
  CString s = "a";
  ScrambleString(s);
  EXPECT_EQ(s, std::string("\x63"));
  ScrambleString(s);
  EXPECT_EQ(s, "a");
}

TEST(Scramble, KeyStreamHasPeriod128AndZeroAt127) {
  CString zeros(300, '\0');
  ScrambleString(zeros);
  ASSERT_EQ(zeros.size(), 300u);
  // The scrambled zero bytes are the key itself.
  EXPECT_EQ(static_cast<uint8_t>(zeros[0]), 2);
  EXPECT_EQ(static_cast<uint8_t>(zeros[126]), 254);
  EXPECT_EQ(static_cast<uint8_t>(zeros[127]), 0);
  EXPECT_EQ(static_cast<uint8_t>(zeros[128]), 2);
  for (size_t i = 0; i + 128 < zeros.size(); ++i) EXPECT_EQ(zeros[i], zeros[i + 128]) << i;

  CString text(200, 'x');
  ScrambleString(text);
  EXPECT_EQ(text[127], 'x');
  EXPECT_NE(text[126], 'x');
}

TEST(Scramble, ByteEqualToKeyBecomesZeroAndKeepsLength) {
  CString pw(32, 'p');
  pw[20] = '*';  // 2*20+2 = 42
  pw[31] = '@';  // 2*31+2 = 64
  CString s = pw;
  ScrambleString(s);
  ASSERT_EQ(s.size(), 32u);
  EXPECT_EQ(s[20], '\0');
  EXPECT_EQ(s[31], '\0');
  ScrambleString(s);
  EXPECT_EQ(s, pw);
}

TEST(Hex, UnpaddedAndPaddedForms) {
  const uint8_t bytes[] = {0x0A, 0xFF, 0x00, 0x10, 0x9c};
  CString out = "junk";
  BytesToHexUnpadded(out, bytes, sizeof bytes);
  EXPECT_EQ(out, "aff0109c");
  out = "junk";
  BytesToHex(out, bytes, sizeof bytes);
  EXPECT_EQ(out, "0AFF00109C");
  BytesToHex(out, bytes, 0);
  EXPECT_EQ(out, "");
}

// ---- URL text ---------------------------------------------------------------------------------

CString Decode(std::string_view s) {
  CString out = "junk";
  URLDecode(s, out);
  return out;
}

TEST(URLDecode, PlusAndEscapes) {
  EXPECT_EQ(Decode("a+b%41"), "a bA");
  EXPECT_EQ(Decode("%2f%2F"), "//");
  EXPECT_EQ(Decode(""), "");
}

TEST(URLDecode, IncompleteOrInvalidEscapesAreKeptLiterally) {
  EXPECT_EQ(Decode("%"), "%");
  EXPECT_EQ(Decode("abc%"), "abc%");
  EXPECT_EQ(Decode("%4"), "%4");
  EXPECT_EQ(Decode("x%4"), "x%4");
  EXPECT_EQ(Decode("%zz"), "%zz");
  EXPECT_EQ(Decode("%4g1"), "%4g1");
  EXPECT_EQ(Decode("%%41"), "%A");
  EXPECT_EQ(Decode("%+1"), "% 1");
}

TEST(URLDecode, ReadsOnlyTheGivenBytes) {
  // The view ends after "%4"; the "1" beyond it must not complete the escape.
  const char text[] = "a%41";
  EXPECT_EQ(Decode(std::string_view(text, 3)), "a%4");
}

TEST(URLDecode, ZeroByteEscapeYieldsZero) {
  CString out = Decode("a%00b");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1], '\0');
}

// Python's unquote_plus (on bytes) as an outside reference for random inputs, valid or not.
TEST(URLDecode, MatchesPythonUnquotePlus) {
  if (trellis::test::RunCommand("python3 -c 'import urllib.parse' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 not available";
  }
  std::mt19937 rng(1234);
  const std::string alphabet = "ab%+09afAFgz~ /";
  std::vector<std::string> inputs;
  for (int i = 0; i < 300; ++i) {
    std::string s;
    int len = static_cast<int>(rng() % 12);
    for (int j = 0; j < len; ++j) s += alphabet[rng() % alphabet.size()];
    inputs.push_back(s);
  }
  const std::string dir = trellis::test::MakeTempDir("urldecode");
  {
    std::ofstream in(dir + "/in.txt");
    for (const auto& s : inputs) {
      CString hex;
      BytesToHex(hex, s.data(), s.size());
      in << hex << "\n";
    }
  }
  const std::string script =
      "import sys, urllib.parse\n"
      "for line in open(sys.argv[1]):\n"
      "    s = bytes.fromhex(line.strip()).decode('ascii')\n"
      "    print(urllib.parse.unquote_to_bytes(s.replace('+', ' ')).hex().upper())\n";
  ASSERT_TRUE(trellis::test::WriteFile(dir + "/ref.py", script));
  std::string out;
  ASSERT_EQ(trellis::test::RunCommand("python3 " + dir + "/ref.py " + dir + "/in.txt", &out), 0);
  std::istringstream lines(out);
  for (const auto& s : inputs) {
    std::string expected;
    std::getline(lines, expected);
    CString decoded, hex;
    URLDecode(s, decoded);
    BytesToHex(hex, decoded.data(), decoded.size());
    EXPECT_EQ(hex, expected) << "input: " << s;
  }
}

TEST(URLText, EncodeSpacesAndSlashes) {
  CString out;
  URLEncodeSpaces("a b  c+%", out);
  EXPECT_EQ(out, "a%20b%20%20c+%");
  CString path = "C:\\dir\\file.txt";
  BackslashesToSlashes(path);
  EXPECT_EQ(path, "C:/dir/file.txt");
  char buf[] = "\\a\\";
  BackslashesToSlashes(buf);
  EXPECT_STREQ(buf, "/a/");
}

// ---- Formatting -------------------------------------------------------------------------------

TEST(FormatString, WidthsAndLongArgumentsAreNotTruncated) {
  CString s = FormatString("%500s", "x");
  ASSERT_EQ(s.size(), 500u);
  EXPECT_EQ(s.back(), 'x');
  EXPECT_EQ(s.find_first_not_of(' '), 499u);

  s = FormatString("[%-300d]", 42);
  ASSERT_EQ(s.size(), 302u);
  EXPECT_EQ(s.substr(0, 3), "[42");
  EXPECT_EQ(s.back(), ']');

  std::string big(100000, 'q');
  s = FormatString("<%s|%s>", big.c_str(), big.c_str());
  EXPECT_EQ(s, "<" + big + "|" + big + ">");

  // A wide floating conversion, compared with the C library's own output.
  char ref[512];
  snprintf(ref, sizeof ref, "%.3f", 1e300);
  EXPECT_EQ(FormatString("%.3f", 1e300), ref);
  EXPECT_GT(strlen(ref), 300u);

  CString out = "old";
  FormatString(out, "%u-%s", 7u, "z");
  EXPECT_EQ(out, "7-z");
  FormatString(out, "%s", "");
  EXPECT_EQ(out, "");
}

// ---- Time -------------------------------------------------------------------------------------

class TimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    had_tz_ = tz != nullptr;
    if (tz) old_tz_ = tz;
  }
  void TearDown() override {
    if (had_tz_) {
      setenv("TZ", old_tz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void SetTZ(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  bool had_tz_ = false;
  std::string old_tz_;
};

TEST_F(TimeTest, KnownDayCounts) {
  EXPECT_DOUBLE_EQ(MakeDateTime(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(MakeDateTime(1900, 1, 1), 2.0);
  EXPECT_DOUBLE_EQ(MakeDateTime(2000, 1, 1), 36526.0);
  EXPECT_DOUBLE_EQ(MakeDateTime(2000, 1, 1, 18), 36526.75);
  EXPECT_DOUBLE_EQ(MakeDateTime(1970, 1, 1), 25569.0);
  // Before day 0 the fraction still adds time of day.
  EXPECT_DOUBLE_EQ(MakeDateTime(1899, 12, 29, 6), -1.25);
  // Fields out of range carry over.
  EXPECT_DOUBLE_EQ(MakeDateTime(1999, 13, 1), 36526.0);
  EXPECT_DOUBLE_EQ(MakeDateTime(2000, 1, 1, 0, 0, -86400), 36525.0);
}

TEST_F(TimeTest, DayCountToCalendarFields) {
  struct tm tm {};
  ASSERT_TRUE(DateTimeToTm(36526.75, &tm));
  EXPECT_EQ(tm.tm_year, 100);
  EXPECT_EQ(tm.tm_mon, 0);
  EXPECT_EQ(tm.tm_mday, 1);
  EXPECT_EQ(tm.tm_hour, 18);
  EXPECT_EQ(tm.tm_wday, 6);  // a Saturday
  EXPECT_EQ(tm.tm_yday, 0);

  ASSERT_TRUE(DateTimeToTm(-1.25, &tm));
  EXPECT_EQ(tm.tm_year, -1);
  EXPECT_EQ(tm.tm_mon, 11);
  EXPECT_EQ(tm.tm_mday, 29);
  EXPECT_EQ(tm.tm_hour, 6);

  // Just below midnight rounds up into the next day, not to 24:00.
  ASSERT_TRUE(DateTimeToTm(36526.0 - 1e-9, &tm));
  EXPECT_EQ(tm.tm_mday, 1);
  EXPECT_EQ(tm.tm_hour, 0);

  ASSERT_TRUE(DateTimeToTm(MakeDateTime(2024, 2, 29, 23, 59, 59), &tm));
  EXPECT_EQ(tm.tm_mon, 1);
  EXPECT_EQ(tm.tm_mday, 29);
  EXPECT_EQ(tm.tm_yday, 59);
  EXPECT_EQ(tm.tm_sec, 59);

  EXPECT_FALSE(DateTimeToTm(NAN, &tm));
  EXPECT_FALSE(DateTimeToTm(INFINITY, &tm));
  EXPECT_FALSE(DateTimeToTm(1e12, &tm));
  EXPECT_FALSE(DateTimeToTm(-1e12, &tm));
}

TEST_F(TimeTest, CalendarRoundTripOverManyDays) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    int64_t seconds = static_cast<int64_t>(rng() % (200LL * 365 * 86400)) - 50LL * 365 * 86400;
    double dt = seconds >= 0 ? seconds / 86400.0 : 0.0;
    if (seconds < 0) {
      // Build the count of a pre-epoch instant the way such counts are written.
      int64_t day = seconds / 86400 - (seconds % 86400 != 0);
      dt = static_cast<double>(day) - static_cast<double>(seconds - day * 86400) / 86400.0;
    }
    struct tm tm {};
    ASSERT_TRUE(DateTimeToTm(dt, &tm));
    EXPECT_NEAR(TmToDateTime(tm), dt, 1e-9) << dt;
  }
}

TEST_F(TimeTest, LocalTimeOfAnInstantUsesThatInstantsRules) {
  SetTZ("UTC0");
  EXPECT_DOUBLE_EQ(TimeToLocalDateTime(0), 25569.0);
  EXPECT_DOUBLE_EQ(TimeToLocalDateTime(946684800), 36526.0);
  EXPECT_EQ(GetTimeZoneBias(), 0);

  // Central European rules; DST starts 2021-03-28 at 01:00 UTC.
  SetTZ("CET-1CEST,M3.5.0,M10.5.0/3");
  const time_t before = 1616891400;  // 2021-03-28 00:30 UTC
  const time_t after = 1616895000;   // 2021-03-28 01:30 UTC
  EXPECT_NEAR(TimeToLocalDateTime(before), MakeDateTime(2021, 3, 28, 1, 30), 1e-9);
  EXPECT_NEAR(TimeToLocalDateTime(after), MakeDateTime(2021, 3, 28, 3, 30), 1e-9);
  EXPECT_NEAR(FileTimeToLocalDateTime(UnixTimeToFileTime(before)), MakeDateTime(2021, 3, 28, 1, 30), 1e-9);
  EXPECT_NEAR(FileTimeToLocalDateTime(UnixTimeToFileTime(after)), MakeDateTime(2021, 3, 28, 3, 30), 1e-9);
  // Sub-second ticks land in the fraction.
  EXPECT_NEAR(FileTimeToLocalDateTime(UnixTimeToFileTime(after) + kFileTimeTicksPerSecond / 2),
              MakeDateTime(2021, 3, 28, 3, 30) + 0.5 / 86400.0, 1e-9);
  // And back: local times map to their instants on both sides of the change.
  EXPECT_EQ(LocalDateTimeToTime(MakeDateTime(2021, 3, 28, 1, 30)), before);
  EXPECT_EQ(LocalDateTimeToTime(MakeDateTime(2021, 3, 28, 3, 30)), after);
  EXPECT_EQ(LocalDateTimeToTime(NAN), static_cast<time_t>(-1));

  SetTZ("EST5");
  EXPECT_EQ(GetTimeZoneBias(), 300);
  SetTZ("CET-1");
  EXPECT_EQ(GetTimeZoneBias(), -60);
}

TEST_F(TimeTest, CurrentDateTimeAgreesWithTheClock) {
  SetTZ("EST5");
  const time_t t0 = time(nullptr);
  const double now = GetCurrentDateTime();
  const time_t t1 = time(nullptr);
  EXPECT_GE(now, TimeToLocalDateTime(t0) - 1e-9);
  EXPECT_LE(now, TimeToLocalDateTime(t1 + 1));
  const uint64_t ft = GetCurrentFileTime();
  EXPECT_GE(FileTimeToUnixTime(ft), t0);
}

TEST_F(TimeTest, FileTimeConversions) {
  EXPECT_EQ(UnixTimeToFileTime(0), kFileTimeUnixEpoch);
  EXPECT_EQ(FileTimeToUnixTime(kFileTimeUnixEpoch), 0);
  EXPECT_EQ(FileTimeToUnixTime(UnixTimeToFileTime(1616895000, 999999999)), 1616895000);
  EXPECT_EQ(UnixTimeToFileTime(1, 500), kFileTimeUnixEpoch + kFileTimeTicksPerSecond + 5);
  // 1601-01-01 is the first file time; earlier instants clamp to it.
  EXPECT_EQ(UnixTimeToFileTime(-11644473600LL - 10), 0u);
}

TEST_F(TimeTest, FormatUsesFixedPatternsAndCMonthNames) {
  const double dt = MakeDateTime(2026, 12, 8, 14, 3, 0);
  EXPECT_EQ(FormatDateTime(dt, "%c"), "12/08/26 14:03:00");
  EXPECT_EQ(FormatDateTime(dt, "%d%b%y"), "08Dec26");
  EXPECT_EQ(FormatDateTime(dt, "%x|%X"), "12/08/26|14:03:00");
  EXPECT_EQ(FormatDateTime(dt, "100%% %c%"), "100% 12/08/26 14:03:00%");
  EXPECT_EQ(FormatDateTime(dt, "%%c"), "%c");
  EXPECT_EQ(FormatDateTime(dt, "%A %B"), "Tuesday December");
  EXPECT_EQ(FormatDateTime(dt, ""), "");
  EXPECT_EQ(FormatDateTime(NAN, "%c"), "");
  EXPECT_EQ(FormatDateTime(dt, nullptr), "");
}

// ---- IPv4 -------------------------------------------------------------------------------------

TEST(IPAddress, StrictDottedQuad) {
  uint32_t a = 0;
  EXPECT_TRUE(TryParseIPAddress("127.0.0.1", &a));
  EXPECT_EQ(a, 0x7F000001u);
  EXPECT_TRUE(TryParseIPAddress("255.255.255.255", &a));
  EXPECT_EQ(a, 0xFFFFFFFFu);
  EXPECT_TRUE(TryParseIPAddress("0.0.0.0", &a));
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(ParseIPAddress("10.1.2.3"), 0x0A010203u);
  EXPECT_EQ(ParseIPAddress(CString("192.168.0.254")), 0xC0A800FEu);

  for (const char* bad : {"127.1", "010.0.0.1", "1.2.3.4 ", " 1.2.3.4", "1.2.3.4.5", "256.0.0.1", "0x7f.0.0.1",
                          "1.2.3", "", "1..2.3", "1.2.3.-4", "1.2.3.4\n", "11111111111111111111.1.1.1"}) {
    EXPECT_FALSE(TryParseIPAddress(bad, &a)) << bad;
    EXPECT_EQ(ParseIPAddress(bad), 0xFFFFFFFFu) << bad;
  }
  EXPECT_FALSE(TryParseIPAddress(static_cast<const char*>(nullptr), &a));
  EXPECT_EQ(ParseIPAddress(static_cast<const char*>(nullptr)), 0xFFFFFFFFu);
  EXPECT_FALSE(TryParseIPAddress(CString("1.2.3.4\0x", 9), &a));
}

TEST(IPAddress, FormatRoundTrip) {
  EXPECT_EQ(FormatIPAddress(0x7F000001u), "127.0.0.1");
  EXPECT_EQ(FormatIPAddress(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(FormatIPAddress(0x0A006409u), "10.0.100.9");
  EXPECT_EQ(FormatIPAddress(0u), "0.0.0.0");
  CString out = "junk";
  FormatIPAddress(0, out);
  EXPECT_EQ(out, "0.0.0.0");
  std::mt19937 rng(99);
  for (int i = 0; i < 500; ++i) {
    uint32_t a = rng();
    uint32_t back = 0;
    ASSERT_TRUE(TryParseIPAddress(FormatIPAddress(a), &back));
    EXPECT_EQ(back, a);
  }
}

TEST(IPAddress, ClassfulMasks) {
  EXPECT_EQ(GetClassfulMask(ParseIPAddress("10.1.2.3")), 0xFF000000u);
  EXPECT_EQ(GetClassfulMask(ParseIPAddress("127.255.255.255")), 0xFF000000u);
  EXPECT_EQ(GetClassfulMask(ParseIPAddress("128.0.0.0")), 0xFFFF0000u);
  EXPECT_EQ(GetClassfulMask(ParseIPAddress("191.255.255.255")), 0xFFFF0000u);
  EXPECT_EQ(GetClassfulMask(ParseIPAddress("192.0.0.0")), 0xFFFFFF00u);
  EXPECT_EQ(GetClassfulMask(ParseIPAddress("223.255.255.255")), 0xFFFFFF00u);
  EXPECT_EQ(GetClassfulMask(ParseIPAddress("224.0.0.1")), 0xFFFFFFE0u);
  EXPECT_EQ(GetClassfulMask(0xFFFFFFFFu), 0xFFFFFFE0u);
}

TEST(IPAddress, SameNetworkUsesTheFirstAddressMask) {
  EXPECT_TRUE(IsSameNetwork(ParseIPAddress("10.0.0.1"), ParseIPAddress("10.200.3.4")));
  EXPECT_FALSE(IsSameNetwork(ParseIPAddress("10.0.0.1"), ParseIPAddress("11.0.0.1")));
  EXPECT_TRUE(IsSameNetwork(ParseIPAddress("172.16.1.1"), ParseIPAddress("172.16.200.1")));
  EXPECT_FALSE(IsSameNetwork(ParseIPAddress("172.16.1.1"), ParseIPAddress("172.17.1.1")));
  EXPECT_TRUE(IsSameNetwork(ParseIPAddress("192.168.1.1"), ParseIPAddress("192.168.1.200")));
  EXPECT_FALSE(IsSameNetwork(ParseIPAddress("192.168.1.1"), ParseIPAddress("192.168.2.1")));
  EXPECT_TRUE(IsSameNetwork(ParseIPAddress("224.0.0.1"), ParseIPAddress("224.0.0.31")));
  EXPECT_FALSE(IsSameNetwork(ParseIPAddress("224.0.0.1"), ParseIPAddress("224.0.0.32")));
  // Not symmetric: the mask comes from a.
  EXPECT_TRUE(IsSameNetwork(ParseIPAddress("10.1.1.1"), ParseIPAddress("10.9.9.9")));
  EXPECT_FALSE(IsSameNetwork(ParseIPAddress("192.168.1.1"), ParseIPAddress("192.169.1.1")));
}

TEST(IPAddress, PrivateRanges) {
  for (const char* yes : {"10.0.0.0", "10.255.255.255", "172.16.0.0", "172.31.255.255", "192.168.0.0",
                          "192.168.255.255", "127.0.0.1"}) {
    EXPECT_TRUE(IsPrivateAddress(ParseIPAddress(yes))) << yes;
  }
  for (const char* no : {"9.255.255.255", "11.0.0.0", "172.15.255.255", "172.32.0.0", "192.167.255.255",
                         "192.169.0.0", "127.0.0.2", "127.0.0.0", "8.8.8.8", "255.255.255.255"}) {
    EXPECT_FALSE(IsPrivateAddress(ParseIPAddress(no))) << no;
  }
}

}  // namespace

namespace {

TEST(FormatOperatorText, FillsOnlyTheExpectedConversionsInOrder) {
  EXPECT_EQ(FormatOperatorText("Host name lookup for '%s' failed", {"a.b"}), "Host name lookup for 'a.b' failed");
  EXPECT_EQ(FormatOperatorText("%s:%u", {"proxy", "1080"}), "proxy:1080");
  EXPECT_EQ(FormatOperatorText("%d then %i", {"1", "2"}), "1 then 2");
  // Reworded texts: extra, foreign or dangling conversions stay as text, and so do the args' own.
  EXPECT_EQ(FormatOperatorText("%s%s%n%x%.99s %", {"%n%s"}), "%n%s%s%n%x%.99s %");
  EXPECT_EQ(FormatOperatorText("100%% of %s", {"x"}), "100% of x");
  EXPECT_EQ(FormatOperatorText("no conversions", {"unused"}), "no conversions");
  EXPECT_EQ(FormatOperatorText(std::string_view("a\0%s", 4), {"b"}), std::string("a\0b", 3));
}

}  // namespace
