#include "engine/access/time_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "engine/config/util.h"
#include "tests/support/registry_fixture.h"

namespace {

// 2024-01-01 was a Monday.
CDateTime At(int y, int mo, int d, int h, int mi = 0, int s = 0) { return CDateTime(y, mo, d, h, mi, s); }
CDateTime TimeOfDay(int h, int mi = 0, int s = 0) { return CDateTime(1899, 12, 30, h, mi, s); }

std::shared_ptr<CTimeSlice> Recurring(uint32_t mask, int fromH = -1, int toH = 0, int toM = 0) {
  auto s = std::make_shared<CTimeSlice>();
  s->Every = 1;
  s->EveryWhat = mask;
  if (fromH >= 0) {
    s->CheckTime = 1;
    s->StartTime = TimeOfDay(fromH);
    s->EndTime = TimeOfDay(toH, toM);
  }
  return s;
}

std::shared_ptr<CTimeSlice> OneOff(const CDateTime& from, const CDateTime& to) {
  auto s = std::make_shared<CTimeSlice>();
  s->Every = 0;
  s->CheckTime = 1;
  s->StartTime = from;
  s->EndTime = to;
  return s;
}

CString Text(const CDateTime& t) { return t.Format("%Y-%m-%d %H:%M:%S"); }

CString NextChange(const CTimeFilter& f, const CDateTime& now) {
  CDateTime out;
  if (!f.GetNextChange(now, out)) return "none";
  EXPECT_GT(out.GetTotalSeconds(), now.GetTotalSeconds());
  EXPECT_NE(f.Match(out), f.Match(now)) << Text(out);
  return Text(out);
}

class TimeFilterRegistry : public trellis::test::PrivateRegistryTest {};

TEST(TimeSlice, WeekdayOfficeHoursBoundaries) {
  auto s = Recurring(62, 9, 17);
  EXPECT_TRUE(s->IsInSlice(At(2024, 1, 1, 12)));          // Monday
  EXPECT_FALSE(s->IsInSlice(At(2024, 1, 6, 12)));         // Saturday
  EXPECT_TRUE(s->IsInSlice(At(2024, 1, 1, 17)));          // both ends belong
  EXPECT_FALSE(s->IsInSlice(At(2024, 1, 1, 17, 0, 1)));
  EXPECT_TRUE(s->IsInSlice(At(2024, 1, 1, 9)));
  EXPECT_FALSE(s->IsInSlice(At(2024, 1, 1, 8, 59, 59)));
  // 17:00 as a day fraction computed differently, and a date part on the stored times, change
  // nothing: only the time of day counts, to the second.
  s->EndTime = CDateTime(40000.0 + 17.0 / 24.0);
  s->StartTime = At(2031, 7, 4, 9);
  EXPECT_TRUE(s->IsInSlice(At(2024, 1, 1, 17)));
  EXPECT_FALSE(s->IsInSlice(At(2024, 1, 1, 17, 0, 1)));
  EXPECT_TRUE(s->IsInSlice(At(2024, 1, 1, 9)));
  // Weekend and odd masks.
  EXPECT_TRUE(Recurring(65)->IsInSlice(At(2024, 1, 7, 3)));   // Sunday
  EXPECT_FALSE(Recurring(65)->IsInSlice(At(2024, 1, 5, 3)));  // Friday
  EXPECT_TRUE(Recurring(42)->IsInSlice(At(2024, 1, 3, 0)));   // Wednesday
  EXPECT_FALSE(Recurring(42)->IsInSlice(At(2024, 1, 2, 23, 59, 59)));
  // Invalid times contain nothing.
  s->EndTime = CDateTime(std::nan(""));
  EXPECT_FALSE(s->IsInSlice(At(2024, 1, 1, 12)));
}

TEST(TimeSlice, DescriptionsAndNextStartEnd) {
  EXPECT_EQ(Recurring(42)->GetDescription(), "Every MWF");
  EXPECT_EQ(Recurring(127)->GetDescription(), "Every day");
  EXPECT_EQ(Recurring(62)->GetDescription(), "Every weekday");
  EXPECT_EQ(Recurring(65, 9, 17, 30)->GetDescription(), "Every weekend from 09:00:00 to 17:30:00");
  EXPECT_EQ(Recurring(1 | 16 | 64)->GetDescription(), "Every ThSSu");
  EXPECT_EQ(OneOff(At(2024, 5, 1, 12), At(2024, 5, 1, 14))->GetDescription(),
            "From 05/01/24 12:00:00 to 05/01/24 14:00:00");

  CDateTime out;
  // Only Monday set, Monday's start passed: next Monday (a search of six days ahead misses it).
  ASSERT_TRUE(Recurring(2, 9, 17)->GetNextStart(At(2024, 1, 1, 10), out));
  EXPECT_EQ(Text(out), "2024-01-08 09:00:00");
  ASSERT_TRUE(Recurring(2, 9, 17)->GetNextStart(At(2024, 1, 1, 8), out));
  EXPECT_EQ(Text(out), "2024-01-01 09:00:00");
  // A one-off start in the past is no next start.
  EXPECT_FALSE(OneOff(At(2024, 1, 1, 0), At(2024, 1, 2, 0))->GetNextStart(At(2024, 3, 1, 0), out));
  EXPECT_FALSE(Recurring(0)->GetNextStart(At(2024, 3, 1, 0), out));
  // Ends: a weekend without times ends at Monday's midnight; all days without times never end.
  ASSERT_TRUE(Recurring(65)->GetNextEnd(At(2024, 1, 6, 10), out));
  EXPECT_EQ(Text(out), "2024-01-08 00:00:00");
  EXPECT_FALSE(Recurring(127)->GetNextEnd(At(2024, 1, 6, 10), out));
  auto always = std::make_shared<CTimeSlice>();
  always->Every = 0;
  EXPECT_TRUE(always->IsInSlice(At(2024, 1, 6, 10)));
  EXPECT_FALSE(always->GetNextEnd(At(2024, 1, 6, 10), out));
}

TEST(TimeFilter, NextChangeAcrossMidnightWeekEndAndOneOffs) {
  {
    // Late evening and early morning slices chain across midnight; adjacent 09-17 and 17-20 chain too.
    CTimeFilter f;
    f.AddInclusion(Recurring(127, 22, 23, 59));
    f.AddInclusion(Recurring(127, 0, 2));
    f.AddInclusion(Recurring(62, 9, 17));
    f.AddInclusion(Recurring(62, 17, 20));
    EXPECT_EQ(NextChange(f, At(2024, 1, 1, 23, 0)), "2024-01-01 23:59:01");  // 23:59:00 is the end
    auto late = Recurring(127, 22, 23, 59);
    late->EndTime = TimeOfDay(23, 59, 59);
    CTimeFilter g;
    g.AddInclusion(late);
    g.AddInclusion(Recurring(127, 0, 2));
    EXPECT_EQ(NextChange(g, At(2024, 1, 1, 23, 0)), "2024-01-02 02:00:01");
    EXPECT_EQ(NextChange(f, At(2024, 1, 1, 10)), "2024-01-01 20:00:01");
  }
  {
    // Week end: refused on Friday evening until Monday morning; allowed Friday until 17:00:00.
    CTimeFilter f;
    f.AddInclusion(Recurring(62, 9, 17));
    EXPECT_FALSE(f.Match(At(2024, 1, 5, 18)));
    EXPECT_EQ(NextChange(f, At(2024, 1, 5, 18)), "2024-01-08 09:00:00");
    EXPECT_EQ(NextChange(f, At(2024, 1, 5, 16)), "2024-01-05 17:00:01");
    // A weekend slice without times runs out at Monday's midnight.
    CTimeFilter w;
    w.AddInclusion(Recurring(65));
    EXPECT_EQ(NextChange(w, At(2024, 1, 6, 10)), "2024-01-08 00:00:00");
  }
  {
    // One-off exclusions: one in the past changes nothing; a future one cuts in and lets go.
    CTimeFilter f;
    f.AddInclusion(Recurring(127));
    f.AddExclusion(OneOff(At(2023, 1, 1, 0), At(2023, 1, 2, 0)));
    EXPECT_EQ(NextChange(f, At(2024, 5, 1, 10)), "none");
    f.AddExclusion(OneOff(At(2024, 5, 1, 12), At(2024, 5, 1, 14)));
    EXPECT_EQ(NextChange(f, At(2024, 5, 1, 10)), "2024-05-01 12:00:00");
    EXPECT_EQ(NextChange(f, At(2024, 5, 1, 12, 30)), "2024-05-01 14:00:01");
    // Far beyond the weekly pattern's horizon.
    f.AddExclusion(OneOff(At(2030, 1, 1, 0), At(2030, 1, 1, 1)));
    EXPECT_EQ(NextChange(f, At(2024, 5, 2, 0)), "2030-01-01 00:00:00");
  }
  {
    // Nothing ever changes: all days without times, a one-off inclusion without times, only
    // exclusions (which allow nothing), and an empty filter.
    CTimeFilter all, only, none;
    all.AddInclusion(Recurring(127));
    auto always = std::make_shared<CTimeSlice>();
    always->Every = 0;
    only.AddExclusion(Recurring(127, 9, 17));
    EXPECT_EQ(NextChange(all, At(2024, 1, 1, 10)), "none");
    EXPECT_FALSE(only.Match(At(2024, 1, 1, 8)));
    EXPECT_EQ(NextChange(only, At(2024, 1, 1, 8)), "none");
    EXPECT_FALSE(none.Match(At(2024, 1, 1, 8)));
    none.AddInclusion(always);
    EXPECT_FALSE(none.AddInclusion(always));  // not added twice
    EXPECT_EQ(none.Inclusions.GetCount(), 1u);
    EXPECT_EQ(NextChange(none, At(2024, 1, 1, 8)), "none");
  }
}

double g_utcNow = 0;
double FixedClock() { return TimeToLocalDateTime(static_cast<time_t>(g_utcNow)); }

time_t Utc(int y, int mo, int d, int h, int mi) {
  struct tm tm {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  return timegm(&tm);
}

TEST(TimeFilter, DaylightSavingChangeFollowsTheWallClock) {
  const char* old = getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  SetDateTimeClock(&FixedClock);

  // Sundays 01:00-04:00 local time.
  CTimeFilter f;
  f.AddInclusion(Recurring(1, 1, 4));
  CDateTime out;

  // Spring: at 02:00 CET the clocks go to 03:00 CEST. From 01:30 CET the slice lasts 1 h 30 min.
  g_utcNow = static_cast<double>(Utc(2024, 3, 31, 0, 30));
  EXPECT_EQ(Text(CDateTime::GetCurrentTime()), "2024-03-31 01:30:00");
  EXPECT_TRUE(f.MatchNow());
  ASSERT_TRUE(f.GetNextChange(out));
  EXPECT_EQ(Text(out), "2024-03-31 04:00:01");
  EXPECT_EQ(LocalDateTimeToTime(out.GetValue()) - Utc(2024, 3, 31, 0, 30), 90 * 60 + 1);
  g_utcNow = static_cast<double>(Utc(2024, 3, 31, 1, 59));  // 03:59 CEST
  EXPECT_TRUE(f.MatchNow());
  g_utcNow = static_cast<double>(Utc(2024, 3, 31, 2, 1));  // 04:01 CEST
  EXPECT_FALSE(f.MatchNow());

  // Autumn: at 03:00 CEST the clocks go back to 02:00 CET. From 02:30 CEST it lasts 2 h 30 min.
  g_utcNow = static_cast<double>(Utc(2024, 10, 27, 0, 30));
  EXPECT_EQ(Text(CDateTime::GetCurrentTime()), "2024-10-27 02:30:00");
  ASSERT_TRUE(f.GetNextChange(out));
  EXPECT_EQ(Text(out), "2024-10-27 04:00:01");
  EXPECT_EQ(LocalDateTimeToTime(out.GetValue()) - Utc(2024, 10, 27, 0, 30), 150 * 60 + 1);

  SetDateTimeClock(nullptr);
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST_F(TimeFilterRegistry, RegistryAndArchiveKeepSlicesInOrder) {
  CTimeFilter f;
  f.Name = "Office";
  f.Description = "Working hours";
  for (int i = 0; i < 12; ++i) f.AddInclusion(Recurring(1u << (i % 7), i, i + 1, i));
  f.AddExclusion(OneOff(At(2024, 5, 1, 12), At(2024, 5, 1, 14)));
  auto describe = [](const CTimeFilter& x) {
    CString d = x.Name + "|" + x.Description;
    for (const auto* list : {&x.Inclusions, &x.Exclusions}) {
      d += "#";
      for (const auto& o : list->Snapshot()) d += static_cast<CTimeSlice*>(o.get())->GetDescription() + ";";
    }
    return d;
  };
  // A stale slice under the key goes with the next save.
  ASSERT_TRUE(RegWriteDWORD("Filters\\Office\\Inclusion12", "Every", 1));
  ASSERT_TRUE(f.SaveToRegistry("Filters\\Office"));
  CTimeFilter r;
  r.LoadFromRegistry("Filters\\Office");
  EXPECT_EQ(describe(r), describe(f));  // Inclusion10 after Inclusion2
  EXPECT_EQ(r.Inclusions.GetCount(), 12u);

  CArchive out;
  f.Serialize(out);
  CArchive in(out.Bytes().data(), out.Bytes().size());
  CTimeFilter a;
  a.Serialize(in);
  EXPECT_EQ(describe(a), describe(f));
  EXPECT_EQ(in.BytesLeft(), 0u);

  // Truncated: refused.
  for (size_t cut : {size_t{3}, out.Bytes().size() / 2, out.Bytes().size() - 1}) {
    CArchive part(out.Bytes().data(), cut);
    CTimeFilter b;
    EXPECT_THROW(b.Serialize(part), CArchiveException) << cut;
  }
}

}  // namespace

// The console's operations: a copy is equal and independent, a copy onto itself keeps the slices,
// and a removed slice leaves only its own list.
TEST(TimeFilter, CopyIsDeepSelfCopyKeepsTheSlicesAndRemovalTakesOneSlice) {
  CTimeFilter f;
  f.Name = "office";
  f.Description = "office hours";
  auto in = Recurring(CTimeSlice::kWeekdays, 9, 17);
  auto out = OneOff(CDateTime(2026, 12, 24, 0, 0, 0), CDateTime(2026, 12, 27, 0, 0, 0));
  ASSERT_TRUE(f.AddInclusion(in));
  ASSERT_TRUE(f.AddExclusion(out));

  CTimeFilter copy;
  copy.CopyFrom(f);
  CArchive a(CArchive::store), b(CArchive::store);
  f.Serialize(a);
  copy.Serialize(b);
  EXPECT_EQ(a.Bytes(), b.Bytes());
  ASSERT_EQ(copy.Inclusions.GetCount(), 1u);
  EXPECT_NE(copy.Inclusions.GetHead().get(), in.get());
  std::dynamic_pointer_cast<CTimeSlice>(copy.Inclusions.GetHead())->Every = 2;
  EXPECT_EQ(in->Every, 1u);

  f.CopyFrom(f);
  EXPECT_EQ(f.Inclusions.GetCount(), 1u);
  EXPECT_EQ(f.Exclusions.GetCount(), 1u);
  EXPECT_EQ(f.Name, "office");

  EXPECT_FALSE(f.RemoveInclusion(out.get()));
  EXPECT_TRUE(f.RemoveExclusion(out.get()));
  EXPECT_FALSE(f.RemoveExclusion(out.get()));
  EXPECT_TRUE(f.RemoveInclusion(in.get()));
  EXPECT_TRUE(f.Inclusions.IsEmpty());
  EXPECT_FALSE(f.RemoveInclusion(nullptr));
}
