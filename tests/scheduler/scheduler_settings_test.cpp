#include "engine/scheduler/scheduler_settings.h"

#include <gtest/gtest.h>

#include "engine/config/reg_helpers.h"
#include "tests/support/registry_fixture.h"

namespace {

using trellis::test::PrivateRegistryTest;

std::shared_ptr<CScheduleEvent> Event(uint32_t every, uint32_t what, const CDateTime& at) {
  auto e = std::make_shared<CScheduleEvent>();
  e->Every = every;
  e->EveryWhat = what;
  e->AtTime = at;
  return e;
}

const CDateTime kTime0930(1899, 12, 30, 9, 30, 0);  // a time of day, date part 0

TEST(ScheduleEvents, IsDueTable) {
  // 2024-04-30 was a Tuesday (day of week 3); April has 30 days.
  const CDateTime tue0930(2024, 4, 30, 9, 30, 0);
  struct Row {
    const char* what;
    std::shared_ptr<CScheduleEvent> event;
    CDateTime now;
    bool due;
  } rows[] = {
      {"once, same minute", Event(0, 0, CDateTime(2024, 4, 30, 9, 30, 0)), tue0930, true},
      {"once, stored with seconds", Event(0, 0, CDateTime(2024, 4, 30, 9, 30, 41)), tue0930, true},
      {"once, asked 59 s into the minute", Event(0, 0, CDateTime(2024, 4, 30, 9, 30, 0)),
       CDateTime(2024, 4, 30, 9, 30, 59), true},
      {"once, next minute", Event(0, 0, CDateTime(2024, 4, 30, 9, 31, 0)), tue0930, false},
      {"once, another day", Event(0, 0, CDateTime(2024, 4, 29, 9, 30, 0)), tue0930, false},
      {"daily", Event(1, TL_EVERY_DAY, kTime0930), tue0930, true},
      {"daily, other minute", Event(1, TL_EVERY_DAY, kTime0930), CDateTime(2024, 4, 30, 9, 31, 0), false},
      {"daily with a real date never", Event(1, TL_EVERY_DAY, CDateTime(2024, 4, 1, 9, 30, 0)), tue0930, false},
      {"hourly at minute 30, any hour", Event(1, TL_EVERY_HOUR, kTime0930), CDateTime(2024, 4, 30, 17, 30, 0),
       true},
      {"hourly, other minute", Event(1, TL_EVERY_HOUR, kTime0930), CDateTime(2024, 4, 30, 17, 31, 0), false},
      {"invalid recurrence", Event(1, 9, kTime0930), tue0930, false},
  };
  for (auto& r : rows) EXPECT_EQ(r.event->IsDue(r.now), r.due) << r.what;

  auto weekly = Event(1, TL_EVERY_WEEK, kTime0930);
  weekly->DayOfWeek = 3;
  EXPECT_TRUE(weekly->IsDue(tue0930));
  weekly->DayOfWeek = 1;  // Sunday
  EXPECT_FALSE(weekly->IsDue(tue0930));
  EXPECT_TRUE(weekly->IsDue(CDateTime(2024, 4, 28, 9, 30, 0)));

  auto monthly = Event(1, TL_EVERY_MONTH, kTime0930);
  monthly->DayOfMonth = 31;
  EXPECT_FALSE(monthly->IsDue(tue0930));  // April has no 31st
  EXPECT_TRUE(monthly->IsDue(CDateTime(2024, 5, 31, 9, 30, 0)));

  auto disabled = Event(1, TL_EVERY_DAY, kTime0930);
  disabled->Enabled = 0;
  EXPECT_FALSE(disabled->IsDue(tue0930));
}

TEST(ScheduleEvents, CutToMinuteIsTheSchedulersOwnMinute) {
  // Seconds go, whatever floating arithmetic left; the value is the scheduler's minute start, so a
  // one-off time made with it equals the minute the scheduler passes to IsDue.
  const CDateTime cut = CutToMinute(CDateTime(2026, 12, 9, 19, 31, 59));
  EXPECT_EQ(cut, CDateTime(2026, 12, 9, 19, 31, 0));
  EXPECT_EQ(cut.GetValue(), ScheduleMinuteStart(ScheduleMinuteOf(CDateTime(2026, 12, 9, 19, 31, 1))).GetValue());
  EXPECT_EQ(CutToMinute(cut).GetValue(), cut.GetValue());
  EXPECT_EQ(ScheduleMinuteStart(9 * 60 + 30).GetValue(), kTime0930.GetValue());
  // Before day 0 the minute still starts at its own first second.
  EXPECT_EQ(CutToMinute(CDateTime(1899, 12, 29, 23, 59, 30)), CDateTime(1899, 12, 29, 23, 59, 0));
  CDateTime invalid;
  invalid.SetStatus(CDateTime::invalid);
  EXPECT_FALSE(CutToMinute(invalid).IsValid());
}

TEST(ScheduleEvents, AddEventGivesTheNextIdAndKey) {
  CSchedulerSettings s;
  auto three = Event(1, 2, kTime0930);
  three->ID = 3;
  auto seven = Event(1, 2, kTime0930);
  seven->ID = 7;
  s.AddEvent(three);
  s.AddEvent(seven);
  auto fresh = Event(1, 2, kTime0930);
  EXPECT_EQ(s.AddEvent(fresh), 8u);
  EXPECT_EQ(fresh->GetKey(), "0000000008");
  EXPECT_EQ(s.FindEvent(8), fresh);
  auto replacement = Event(0, 0, kTime0930);
  replacement->ID = 7;
  s.AddEvent(replacement);
  EXPECT_EQ(s.GetEvents().size(), 3u);
  EXPECT_EQ(s.FindEvent(7), replacement);
  CSchedulerSettings empty;
  EXPECT_EQ(empty.AddEvent(Event(1, 2, kTime0930)), 1u);
}

std::vector<uint8_t> Bytes(CObject& o) {
  CArchive ar;
  o.Serialize(ar);
  return ar.Bytes();
}

class SchedulerStore : public PrivateRegistryTest {};

TEST_F(SchedulerStore, RegistryAndArchiveRoundTrips) {
  CSchedulerSettings s;
  s.LogOptions = 63;
  auto e = Event(1, TL_EVERY_WEEK, kTime0930);
  e->Description = "Nightly";
  e->DayOfWeek = 2;
  e->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_SERVICE_STOP, "WWW Proxy server"));
  e->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_ACCOUNTS_EXPORT, "/tmp/accounts.tsv", 1));
  s.AddEvent(e);
  auto once = Event(0, 0, CDateTime(2030, 1, 2, 3, 4, 0));
  once->Enabled = 0;
  s.AddEvent(once);
  const auto before = Bytes(s);

  ASSERT_TRUE(s.Save("Scheduler"));
  EXPECT_EQ(RegReadString("Scheduler\\Events\\0000000001\\Action1", "EventData", ""), "/tmp/accounts.tsv");
  CSchedulerSettings loaded;
  loaded.Load("Scheduler");
  EXPECT_EQ(Bytes(loaded), before);

  // Huge and sparse action indices: at most the bound is taken, in numeric order, without gaps.
  ASSERT_TRUE(RegWriteDWORD("Scheduler\\Events\\0000000001\\Action4000000000", "EventAction", TL_ACTION_CACHE_PURGE));
  ASSERT_TRUE(RegWriteDWORD("Scheduler\\Events\\0000000001\\Action7", "EventAction", TL_ACTION_MACHINES_CLEAR));
  CSchedulerSettings sparse;
  sparse.Load("Scheduler");
  const auto actions = sparse.FindEvent(1)->GetActions();
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions[2]->EventAction, TL_ACTION_MACHINES_CLEAR);
  EXPECT_EQ(actions[2]->GetDescription(), "Terminate all sessions");
  EXPECT_EQ(actions[0]->GetDescription(), "Stop service: WWW Proxy server");

  // A reload replaces the map: an event deleted since the last load does not come back.
  sparse.AddEvent(Event(1, 2, kTime0930));
  sparse.Load("Scheduler");
  EXPECT_EQ(sparse.GetEvents().size(), 2u);

  CArchive in(before.data(), before.size());
  CSchedulerSettings wire;
  wire.Serialize(in);
  EXPECT_EQ(in.BytesLeft(), 0u);
  EXPECT_EQ(Bytes(wire), before);
  for (size_t n = 0; n < before.size(); n += 3) {
    CArchive part(before.data(), n);
    CSchedulerSettings scratch;
    EXPECT_THROW(scratch.Serialize(part), CArchiveException) << n;
  }
}

}  // namespace
