// The scheduler editors' logic without a display: the Action dialog's argument kinds, its refusal of
// an empty choice and its keeping of a stored name the lists lost; the event dialog's enable
// matrix, the times it stores (time of day only for a regular event, whole minutes for a one-off
// one, due in the engine's own minute), the day-of-month check and the action order; the sheet's
// copies, Do Now's rule and OK (the mirror replaced by a new object, nothing sent off-line, the
// bytes kept when nothing changed); the console's scheduler mirror and its notification; then an
// event made on the editors against the real engine: sent (151), run at once (152) stopping the
// web proxy, exporting the accounts and running a program, and read back after a restart.
#include "console/dialogs/scheduler/scheduler_editors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "console/model/lookout_client.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

namespace trellis::test {
namespace {

SchedulerLists Lists() {
  return {{"WWW Proxy server", "Remote Control Service"}, {"Provider"}, {"Administrator", "bob"}};
}

std::shared_ptr<CScheduleEvent> Event(const CString& description, uint32_t every, uint32_t what, CDateTime at) {
  auto e = std::make_shared<CScheduleEvent>();
  e->Description = description;
  e->Every = every;
  e->EveryWhat = what;
  e->AtTime = at;
  return e;
}

TEST(ActionDialog, ArgumentKindsChoicesAndRefusals) {
  ASSERT_EQ(ActionTable().size(), 15u);
  for (uint32_t code = 0; code < 15; ++code) EXPECT_EQ(FindAction(code)->code, code);
  EXPECT_EQ(FindAction(15), nullptr);

  // Which argument controls show, by kind: none, free text, list.
  struct Row {
    uint32_t code;
    bool label, combo, edit, check;
    const char* labelText;
    const char* checkText;
  } rows[] = {{0, false, false, false, false, "", ""},
              {1, true, true, false, false, "Service", ""},
              {5, true, true, false, false, "Profile", ""},
              {9, true, false, true, true, "To file", "Append to existing file"},
              {10, true, true, false, false, "User", ""},
              {12, false, false, false, false, "", ""},
              {14, true, false, true, true, "Commandline", "Run Hidden"}};
  ActionDialogLogic d(CScheduleEventAction(), Lists());
  for (const auto& r : rows) {
    d.code = r.code;
    const ControlStates s = d.States();
    EXPECT_EQ(s.at(SCHED_ACT_LABEL).visible, r.label) << r.code;
    EXPECT_EQ(s.at(SCHED_ACT_COMBO).visible, r.combo) << r.code;
    EXPECT_EQ(s.at(SCHED_ACT_EDIT).visible, r.edit) << r.code;
    EXPECT_EQ(s.at(SCHED_ACT_CHECK).visible, r.check) << r.code;
    EXPECT_EQ(d.LabelText(), r.labelText);
    EXPECT_EQ(d.CheckText(), r.checkText);
  }
  d.code = TL_ACTION_ACCOUNTS_RESET;
  EXPECT_EQ(d.Choices(), (std::vector<CString>{"Administrator", "bob"}));

  // A list kind with nothing chosen is refused: the action would do nothing each time it runs.
  RecordingPrompter prompter;
  d.code = TL_ACTION_SERVICE_STOP;
  d.choice.clear();
  EXPECT_FALSE(d.Validate(prompter));
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0], "Action|You must choose a service for this action");

  // Kind none clears the text entered for another action before.
  d.code = TL_ACTION_RUN_PROGRAM;
  d.text = "touch /tmp/x";
  d.code = TL_ACTION_CACHE_PURGE;
  ASSERT_TRUE(d.Validate(prompter));
  auto none = d.Result();
  EXPECT_EQ(none->EventAction, TL_ACTION_CACHE_PURGE);
  EXPECT_EQ(none->EventData, "");

  // A stored service the lists no longer hold stays choosable and is kept by OK as it was.
  CScheduleEventAction gone(TL_ACTION_SERVICE_START, "Old proxy");
  ActionDialogLogic keep(gone, Lists());
  EXPECT_EQ(keep.Choices(), (std::vector<CString>{"Old proxy", "WWW Proxy server", "Remote Control Service"}));
  ASSERT_TRUE(keep.Validate(prompter));
  EXPECT_EQ(ArchiveBytes(*keep.Result()), ArchiveBytes(gone));
  // ... but is not offered for another kind of list.
  keep.code = TL_ACTION_DIALER_DIALPROFILE;
  EXPECT_EQ(keep.Choices(), std::vector<CString>{"Provider"});

  // An action code this console does not know keeps its argument.
  CScheduleEventAction newer(40, "argument of a newer engine", 1);
  EXPECT_EQ(ArchiveBytes(*ActionDialogLogic(newer, Lists()).Result()), ArchiveBytes(newer));

  // Free text and its flag; OK without changes keeps the bytes.
  CScheduleEventAction exportTo(TL_ACTION_ACCOUNTS_EXPORT, "/var/tmp/accounts.txt", 1);
  ActionDialogLogic ex(exportTo, Lists());
  EXPECT_EQ(ex.text, "/var/tmp/accounts.txt");
  EXPECT_TRUE(ex.flag);
  EXPECT_EQ(ArchiveBytes(*ex.Result()), ArchiveBytes(exportTo));
}

TEST(EventDialog, EnableMatrixTimesDayChecksAndActionOrder) {
  const CDateTime now(2026, 12, 9, 19, 31, 42);
  auto regular = Event("Nightly", 1, TL_EVERY_DAY, ScheduleMinuteStart(23 * 60 + 15));
  EventDialogLogic d(*regular, now);
  EXPECT_TRUE(d.regular);
  EXPECT_EQ(d.hour, 23u);
  EXPECT_EQ(d.minute, 15u);
  EXPECT_EQ(d.when, now);  // a regular event's date-time edit starts at now

  // Enable matrix: date-time, recurrence, minute, day of month, day of week, hour.
  struct Row {
    bool regular;
    uint32_t what;
    bool dateTime, recurrence, minute, dayOfMonth, dayOfWeek, hour;
  } rows[] = {{false, TL_EVERY_MONTH, true, false, false, false, false, false},
              {true, TL_EVERY_MONTH, false, true, true, true, false, true},
              {true, TL_EVERY_WEEK, false, true, true, false, true, true},
              {true, TL_EVERY_DAY, false, true, true, false, false, true},
              {true, TL_EVERY_HOUR, false, true, true, false, false, false}};
  for (const auto& r : rows) {
    d.regular = r.regular;
    d.everyWhat = r.what;
    const ControlStates s = d.States();
    EXPECT_EQ(s.at(SCHED_EV_DATE_TIME).enabled, r.dateTime) << r.what;
    EXPECT_EQ(s.at(SCHED_EV_RECURRENCE).enabled, r.recurrence) << r.what;
    EXPECT_EQ(s.at(SCHED_EV_MINUTE).enabled, r.minute) << r.what;
    EXPECT_EQ(s.at(SCHED_EV_DAY_OF_MONTH).enabled, r.dayOfMonth) << r.what;
    EXPECT_EQ(s.at(SCHED_EV_DAY_OF_WEEK).enabled, r.dayOfWeek) << r.what;
    EXPECT_EQ(s.at(SCHED_EV_HOUR).enabled, r.hour) << r.what;
  }

  // OK without changes keeps the event's bytes.
  EventDialogLogic same(*regular, now);
  auto copy = Clone(*regular);
  same.Apply(*copy);
  EXPECT_EQ(ArchiveBytes(*copy), ArchiveBytes(*regular));

  // A one-off event: the entered seconds are cut, and the engine's own minute finds it due.
  auto once = Event("Once", 0, TL_EVERY_MONTH, now);
  EventDialogLogic single(*once, CDateTime(2020, 1, 1));
  EXPECT_FALSE(single.regular);
  EXPECT_EQ(single.when, now);
  single.Apply(*once);
  EXPECT_EQ(once->AtTime.GetSecond(), 0);
  EXPECT_EQ(once->AtTime, CDateTime(2026, 12, 9, 19, 31, 0));
  EXPECT_EQ(once->AtTime.GetValue(), CutToMinute(CDateTime(2026, 12, 9, 19, 31, 59)).GetValue());
  EXPECT_TRUE(once->IsDue(ScheduleMinuteStart(ScheduleMinuteOf(CDateTime(2026, 12, 9, 19, 31, 5)))));
  EXPECT_FALSE(once->IsDue(ScheduleMinuteStart(ScheduleMinuteOf(CDateTime(2026, 12, 9, 19, 32, 0)))));

  // Single -> regular keeps only the time of day (day 0), so daily matching fires it.
  EventDialogLogic switched(*once, now);
  switched.regular = true;
  switched.everyWhat = TL_EVERY_DAY;
  switched.Apply(*once);
  EXPECT_EQ(once->Every, 1u);
  EXPECT_EQ(once->AtTime.GetDayNumber(), 0);
  EXPECT_EQ(once->AtTime.GetHour(), 19);
  EXPECT_EQ(once->AtTime.GetMinute(), 31);
  EXPECT_TRUE(once->IsDue(CDateTime(2027, 3, 4, 19, 31, 0)));

  // Day of month: 1-31 for a monthly event, 29-31 asked about; other kinds are not checked.
  RecordingPrompter prompter;
  EventDialogLogic monthly(*Event("Monthly", 1, TL_EVERY_MONTH, ScheduleMinuteStart(60)), now);
  for (uint32_t bad : {0u, 32u}) {
    monthly.dayOfMonth = bad;
    EXPECT_FALSE(monthly.Validate(prompter)) << bad;
    EXPECT_EQ(prompter.boxes.back(), "Lookout|Please enter an integer between 1 and 31.");
  }
  monthly.dayOfMonth = 30;
  EXPECT_FALSE(monthly.Validate(prompter));
  EXPECT_EQ(prompter.boxes.back(),
            "Scheduled Event Properties|This event will not run in months with fewer than 30 days.\nKeep this day?");
  prompter.answer = true;
  EXPECT_TRUE(monthly.Validate(prompter));
  monthly.dayOfMonth = 0;
  monthly.everyWhat = TL_EVERY_WEEK;
  const size_t shown = prompter.boxes.size();
  EXPECT_TRUE(monthly.Validate(prompter));
  EXPECT_EQ(prompter.boxes.size(), shown);

  // Actions: copies in order; Up and Down stop at the ends; Remove; nothing reaches the event
  // before Apply.
  auto withActions = Event("Actions", 1, TL_EVERY_DAY, ScheduleMinuteStart(0));
  withActions->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_SERVICE_STOP, "WWW Proxy server"));
  EventDialogLogic acts(*withActions, now);
  acts.AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_CACHE_PURGE, ""));
  acts.AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_RUN_PROGRAM, "true"));
  EXPECT_EQ(withActions->GetActions().size(), 1u);
  EXPECT_FALSE(acts.PromoteAction(0));
  EXPECT_FALSE(acts.DemoteAction(2));
  EXPECT_TRUE(acts.DemoteAction(0));
  EXPECT_TRUE(acts.PromoteAction(2));
  EXPECT_EQ(acts.ActionTexts(),
            (std::vector<CString>{"Purge Trellis cache", "Execute command: true", "Stop service: WWW Proxy server"}));
  auto edited = acts.ActionCopy(1);
  edited->EventData = "false";
  EXPECT_EQ(acts.actions[1]->EventData, "true");  // the copy is the dialog's own
  EXPECT_TRUE(acts.ReplaceAction(1, edited));
  EXPECT_TRUE(acts.RemoveAction(0));
  EXPECT_FALSE(acts.RemoveAction(2));
  acts.Apply(*withActions);
  const auto stored = withActions->GetActions();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0]->EventData, "false");
  EXPECT_EQ(stored[1]->EventAction, TL_ACTION_SERVICE_STOP);
}

class SchedulerSheetOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = std::make_shared<CSchedulerSettings>();
    s->LogOptions = 47;
    auto nightly = Event("Nightly purge", 1, TL_EVERY_DAY, ScheduleMinuteStart(3 * 60));
    nightly->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_CACHE_PURGE, ""));
    s->AddEvent(nightly);
    s->AddEvent(Event("Weekly reset", 1, TL_EVERY_WEEK, ScheduleMinuteStart(0)));
    client.EditMirrors().scheduler = s;
  }
  RecordingUi ui;
  TestLoop loop;
  CLookoutClient client{ui, loop.Poster()};
  RecordingPrompter prompter;
};

TEST_F(SchedulerSheetOffline, OkWithoutChangesKeepsTheBytesAndNothingIsSent) {
  const auto before = client.Mirrors().scheduler;
  const auto bytes = ArchiveBytes(*before);
  SchedulerSheet sheet(client);
  ASSERT_EQ(sheet.events.Rows().size(), 2u);
  EXPECT_EQ(sheet.events.Rows()[0].event, "Nightly purge");
  EXPECT_EQ(sheet.events.Rows()[0].actions, "1");
  EXPECT_EQ(sheet.events.Rows()[1].actions, "0");
  ASSERT_TRUE(sheet.Ok(prompter));
  // A new object replaced the mirror's; the old one was not written.
  EXPECT_NE(client.Mirrors().scheduler, before);
  EXPECT_EQ(ArchiveBytes(*client.Mirrors().scheduler), bytes);
  EXPECT_EQ(ArchiveBytes(*before), bytes);
  EXPECT_EQ(sheet.SentRequest(), 0u);
  EXPECT_EQ(client.OutstandingRequests(), 0u);
  EXPECT_FALSE(client.ConfigurationChanged());
  EXPECT_TRUE(ui.HasView(VIEW_TREE_UPDATE, RC_NOTIFY_SCHEDULER_CHANGED));
  EXPECT_TRUE(prompter.boxes.empty());
}

TEST_F(SchedulerSheetOffline, EventsWorkOnTheSheetsCopyAndDoNowOnlyForStoredEvents) {
  const auto before = client.Mirrors().scheduler;
  const auto bytes = ArchiveBytes(*before);
  SchedulerSheet sheet(client);
  auto& ev = sheet.events;
  // Remove follows the selection; Do Now also needs the console on-line.
  EXPECT_FALSE(ev.States().at(SCHED_EVENT_REMOVE).enabled);
  ev.selected = 0;
  EXPECT_TRUE(ev.States().at(SCHED_EVENT_REMOVE).enabled);
  EXPECT_FALSE(ev.States().at(SCHED_EVENT_DO_NOW).enabled);
  ev.online = true;
  EXPECT_TRUE(ev.States().at(SCHED_EVENT_DO_NOW).enabled);
  // ... yet nothing goes out while the client is off-line.
  EXPECT_EQ(sheet.DoNow(0), 0u);

  // Add: the next free ID; Do Now is not offered for it (the engine does not have it yet).
  auto fresh = std::make_shared<CScheduleEvent>();
  fresh->Description = "Added";
  fresh->ID = 77;  // whatever it held, the copy numbers it
  const size_t row = ev.Add(fresh);
  EXPECT_EQ(row, 2u);
  EXPECT_EQ(ev.Rows()[2].id, 3u);
  EXPECT_FALSE(ev.CanDoNow(2));
  // Changing an event also withdraws Do Now for it.
  auto copy = ev.EventCopy(1);
  copy->Description = "Weekly reset (changed)";
  EXPECT_EQ(ev.Rows()[1].event, "Weekly reset");  // the copy is the dialog's own
  EXPECT_TRUE(ev.Replace(1, copy));
  EXPECT_EQ(ev.Rows()[1].event, "Weekly reset (changed)");
  EXPECT_EQ(ev.Rows()[1].id, 2u);
  EXPECT_FALSE(ev.CanDoNow(1));
  EXPECT_TRUE(ev.CanDoNow(0));
  EXPECT_TRUE(ev.Remove(0));
  EXPECT_FALSE(ev.Remove(5));
  EXPECT_EQ(ev.Rows().size(), 2u);
  // Nothing reached the mirror before OK; a sheet let go without OK leaves it as it was.
  EXPECT_EQ(client.Mirrors().scheduler, before);
  EXPECT_EQ(ArchiveBytes(*before), bytes);

  // A notification replaced the mirror meanwhile: OK writes into a clone of the new one.
  auto newer = Clone(*before);
  newer->LoggingEnabled = 0;
  client.EditMirrors().scheduler = newer;
  sheet.logging.logging = false;
  ASSERT_TRUE(sheet.Ok(prompter));
  const auto after = client.Mirrors().scheduler;
  EXPECT_NE(after, newer);
  const auto events = after->GetEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->Description, "Weekly reset (changed)");
  EXPECT_EQ(events[1]->ID, 3u);
  EXPECT_EQ(events[1]->GetKey(), "0000000003");
  EXPECT_EQ(ArchiveBytes(*before), bytes);
}

TEST_F(SchedulerSheetOffline, LoggingStoresExactlyTheTickedBits) {
  SchedulerSheet sheet(client);
  EXPECT_TRUE(sheet.logging.logging);
  EXPECT_EQ(sheet.logging.options, 46u);  // the five checks' bits of 47
  EXPECT_TRUE(sheet.logging.States().at(SCHED_LOG_ERRORS).enabled);
  sheet.logging.logging = false;
  for (int id : {SCHED_LOG_DETAILS, SCHED_LOG_DEBUG_BIT, SCHED_LOG_CONFIG_BIT, SCHED_LOG_ERRORS, SCHED_LOG_START_STOP})
    EXPECT_FALSE(sheet.logging.States().at(id).enabled) << id;
  sheet.logging.logging = true;
  sheet.logging.options = SCHED_LOG_CONFIG | SCHED_LOG_THREAD | SCHED_LOG_ERROR_TEXT | 0x100;
  ASSERT_TRUE(sheet.Ok(prompter));
  // Exactly the ticked checks; bit 1 (failed programs), which has no check box, stays as it was.
  EXPECT_EQ(client.Mirrors().scheduler->LogOptions.load(),
            uint32_t(SCHED_LOG_ERROR_TEXT | SCHED_LOG_CONFIG | SCHED_LOG_THREAD));
  SchedulerSheet none(client);
  none.logging.options = 0;
  ASSERT_TRUE(none.Ok(prompter));
  EXPECT_EQ(client.Mirrors().scheduler->LogOptions.load(), uint32_t(SCHED_LOG_ERROR_TEXT));
  client.EditMirrors().scheduler->LogOptions = 0;
  SchedulerSheet off(client);
  ASSERT_TRUE(off.Ok(prompter));
  EXPECT_EQ(client.Mirrors().scheduler->LogOptions.load(), 0u);
}

TEST_F(SchedulerSheetOffline, TheNotificationReplacesTheMirrorAndABrokenOneChangesNothing) {
  auto from = std::make_shared<CSchedulerSettings>();
  from->AddEvent(Event("From another console", 1, TL_EVERY_HOUR, ScheduleMinuteStart(5)));
  SessionEvent note;
  note.kind = SessionEvent::Message;
  note.message = CTLRCPMessage(RC_NOTIFY_SCHEDULER_CHANGED);
  note.frames.push_back(ArchiveBytes(*from));
  client.HandleEvent(note);
  ASSERT_EQ(client.Mirrors().scheduler->GetEvents().size(), 1u);
  EXPECT_EQ(client.Mirrors().scheduler->GetEvents()[0]->Description, "From another console");
  const auto held = client.Mirrors().scheduler;
  // Cut short, and with a map key that is not its event's: read, refused, the mirror kept.
  for (size_t cut : {size_t(3), note.frames[0].size() - 1}) {
    SessionEvent broken = note;
    broken.frames[0].resize(cut);
    client.HandleEvent(broken);
  }
  SessionEvent badKey = note;
  const CString key = "0000000001";
  auto& f = badKey.frames[0];
  auto at = std::search(f.begin(), f.end(), key.begin(), key.end());
  ASSERT_NE(at, f.end());
  at[9] = '9';
  client.HandleEvent(badKey);
  EXPECT_EQ(client.LoadFailures(), 3u);
  EXPECT_EQ(client.Mirrors().scheduler, held);
}

// ---- Against the real engine ------------------------------------------------------------------------

bool Accepts(uint16_t port) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string SchedulerLog() {
  std::string out;
  RunCommand(std::string("cat \"") + getenv("TRELLIS_HOME") + "\"/Logs/Scheduler.*.log 2>/dev/null", &out);
  return out;
}

TEST(SchedulerSheetAgainstEngine, AnEventFromTheEditorsRunsAtOnceAndSurvivesARestart) {
  EngineProcess engine;
  std::string log;
  ASSERT_TRUE(engine.Start(&log)) << log;
  TestLoop loop;
  RecordingUi ui;
  auto client = std::make_unique<CLookoutClient>(ui, loop.Poster());
  ASSERT_EQ(FirstAdminLogIn(*client, ui, loop, engine.rcPort, RC_REQ_GET_SCHEDULER), "");
  ASSERT_TRUE(client->Mirrors().scheduler);
  ASSERT_TRUE(Accepts(engine.wwwPort));
  const size_t boxes = ui.boxes.size();
  const std::string dir = MakeTempDir("scheduled");
  const std::string exported = dir + "/accounts.txt", touched = dir + "/touched";

  // The event through the dialogs' logic: export the accounts, run a program, stop the proxy.
  RecordingPrompter prompter;
  SchedulerSheet sheet(*client);
  EventDialogLogic dlg(CScheduleEvent(), CDateTime::GetCurrentTime());
  dlg.description = "Stop Service WWW";
  dlg.everyWhat = TL_EVERY_DAY;
  dlg.hour = 4;
  dlg.minute = 30;
  const SchedulerLists lists = SchedulerListsOf(*client);
  ActionDialogLogic exp(CScheduleEventAction(), lists);
  exp.code = TL_ACTION_ACCOUNTS_EXPORT;
  exp.text = exported;
  ASSERT_TRUE(exp.Validate(prompter));
  dlg.AddAction(exp.Result());
  ActionDialogLogic run(CScheduleEventAction(), lists);
  run.code = TL_ACTION_RUN_PROGRAM;
  run.text = "touch " + touched;
  dlg.AddAction(run.Result());
  ActionDialogLogic stop(CScheduleEventAction(), lists);
  stop.code = TL_ACTION_SERVICE_STOP;
  ASSERT_EQ(std::count(lists.services.begin(), lists.services.end(), "WWW Proxy server"), 1);
  stop.choice = "WWW Proxy server";
  ASSERT_TRUE(stop.Validate(prompter));
  dlg.AddAction(stop.Result());
  ASSERT_TRUE(dlg.Validate(prompter));
  auto event = std::make_shared<CScheduleEvent>();
  dlg.Apply(*event);
  const size_t row = sheet.events.Add(event);
  EXPECT_FALSE(sheet.events.CanDoNow(row));
  EXPECT_EQ(sheet.DoNow(row), 0u);
  ASSERT_TRUE(sheet.Ok(prompter));
  EXPECT_NE(sheet.SentRequest(), 0u);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  EXPECT_EQ(ui.boxes.size(), boxes);
  EXPECT_TRUE(client->ConfigurationChanged());
  // The engine took it (its configuration line) and nothing ran yet.
  EXPECT_TRUE(WaitFor([] { return SchedulerLog().find("Config") != std::string::npos; }));
  EXPECT_TRUE(Accepts(engine.wwwPort));

  // A sheet opened afterwards offers Do Now for the stored event: 152 runs it.
  SchedulerSheet again(*client);
  ASSERT_EQ(again.events.Rows().size(), 1u);
  EXPECT_EQ(again.events.Rows()[0].actions, "3");
  ASSERT_TRUE(again.events.CanDoNow(0));
  ASSERT_NE(again.DoNow(0), 0u);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  EXPECT_TRUE(WaitFor([&] { return !Accepts(engine.wwwPort); }, 10000));
  EXPECT_TRUE(WaitFor([&] { return access(touched.c_str(), F_OK) == 0; }, 10000));
  EXPECT_NE(ReadFile(exported).find("Administrator"), std::string::npos);
  EXPECT_NE(SchedulerLog().find("Event forced: Stop Service WWW"), std::string::npos) << SchedulerLog();
  EXPECT_EQ(ui.boxes.size(), boxes);

  client->Request(RC_REQ_SAVE_CONFIGURATION);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  ASSERT_TRUE(client->Stop(5000));
  client.reset();
  engine.Stop();
  ASSERT_TRUE(engine.Restart(&log)) << log;
  FreshConsole after;
  ASSERT_TRUE(after.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_SCHEDULER));
  const auto events = after.client.Mirrors().scheduler->GetEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->Description, "Stop Service WWW");
  EXPECT_EQ(events[0]->AtTime.GetValue(), ScheduleMinuteStart(4 * 60 + 30).GetValue());
  ASSERT_EQ(events[0]->GetActions().size(), 3u);
  EXPECT_EQ(events[0]->GetActions()[2]->EventData, "WWW Proxy server");
}

}  // namespace
}  // namespace trellis::test
