#include "engine/config/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/util.h"
#include "tests/support/test_env.h"

namespace {

TEST(DateTime, SecondsAndCalendarAgreeWithPython) {
  std::mt19937_64 rng(7);
  // Years 100..9999, including the days before 30 December 1899 whose fraction counts forward.
  std::uniform_int_distribution<int64_t> dist(-657434LL * 86400, 2958465LL * 86400 - 1);
  std::vector<int64_t> seconds;
  for (int i = 0; i < 2000; ++i) seconds.push_back(dist(rng));
  seconds.insert(seconds.end(), {-86400 - 21600, -1, 0, 43200, 86399});
  std::ostringstream script;
  script << "python3 -c 'import datetime\nb=datetime.datetime(1899,12,30)\nfor s in [";
  for (auto s : seconds) script << s << ",";
  script << "]:\n d=b+datetime.timedelta(seconds=s); print(d.strftime(\"%Y-%m-%d %H:%M:%S\").rjust(19,\"0\"), d.isoweekday()%7+1)'";
  std::string out;
  ASSERT_EQ(trellis::test::RunCommand(script.str(), &out), 0);
  std::istringstream lines(out);
  for (auto s : seconds) {
    std::string date, time;
    int weekday = 0;
    ASSERT_TRUE(lines >> date >> time >> weekday);
    CDateTime t = CDateTime::FromSeconds(s);
    ASSERT_TRUE(t.IsValid()) << s;
    EXPECT_EQ(t.GetTotalSeconds(), s);
    EXPECT_EQ(FormatString("%04d-%02d-%02d %02d:%02d:%02d", t.GetYear(), t.GetMonth(), t.GetDay(), t.GetHour(),
                           t.GetMinute(), t.GetSecond()),
              date + " " + time)
        << s;
    EXPECT_EQ(t.GetDayOfWeek(), weekday) << s;
  }
  // -1.25 is 29 December 1899 06:00.
  EXPECT_EQ(CDateTime(-1.25).GetTotalSeconds(), -86400 + 21600);
}

TEST(DateTime, ValuesOutsideTheCalendarAreInvalidAndNeverFormatted) {
  for (double bad : {std::nan(""), double(INFINITY), double(-INFINITY), 1e300, -700000.0}) {
    CDateTime t(bad);
    EXPECT_FALSE(t.IsValid());
    EXPECT_EQ(t.Format("%c"), "");
    EXPECT_EQ(t.GetDayOfWeek(), -1);
  }
  // A valid status over an impossible count from a stream becomes invalid.
  CArchive out;
  out << uint32_t{0} << std::nan("");
  out << uint32_t{7} << 1.5;
  CArchive in(out.Bytes().data(), out.Bytes().size());
  CDateTime a, b;
  a.Serialize(in);
  b.Serialize(in);
  EXPECT_EQ(a.GetStatus(), CDateTime::invalid);
  EXPECT_EQ(b.GetStatus(), CDateTime::invalid);
}

}  // namespace
