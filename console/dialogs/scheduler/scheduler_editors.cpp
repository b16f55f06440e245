#include "console/dialogs/scheduler/scheduler_editors.h"

#include <algorithm>

#include "console/model/lookout_client.h"
#include "engine/config/util.h"
#include "engine/remote/rc_codes.h"

namespace {

// The bits the Logging page's checks stand for, in the page's order.
constexpr uint32_t kLogBits[] = {SCHED_LOG_EVENT, SCHED_LOG_DEBUG, SCHED_LOG_CONFIG, SCHED_LOG_ERROR, SCHED_LOG_THREAD};
constexpr int kLogChecks[] = {SCHED_LOG_DETAILS, SCHED_LOG_DEBUG_BIT, SCHED_LOG_CONFIG_BIT, SCHED_LOG_ERRORS,
                              SCHED_LOG_START_STOP};
constexpr uint32_t kLogMask = SCHED_LOG_EVENT | SCHED_LOG_DEBUG | SCHED_LOG_CONFIG | SCHED_LOG_ERROR | SCHED_LOG_THREAD;

bool IsListKind(ActionArgument a) { return a == ARG_SERVICE || a == ARG_PROFILE || a == ARG_USER; }

// The event's actions as independent copies: the dialog never shares an action with the sheet.
std::vector<std::shared_ptr<CScheduleEventAction>> CopyActions(const CScheduleEvent& e) {
  std::vector<std::shared_ptr<CScheduleEventAction>> out;
  for (const auto& a : e.GetActions()) out.push_back(Clone(*a));
  return out;
}

}  // namespace

CString ChooseArgumentText(const CString& what) {
  return FormatString("You must choose a %s for this action", what.c_str());
}

CString ShortMonthText(uint32_t day) {
  return FormatString("This event will not run in months with fewer than %u days.\nKeep this day?", day);
}

const std::vector<ActionInfo>& ActionTable() {
  static const std::vector<ActionInfo> kTable = {
      {TL_ACTION_NOTHING, "Do Nothing", ARG_NONE, "", ""},
      {TL_ACTION_SERVICE_STOP, "Stop Service", ARG_SERVICE, "Service", ""},
      {TL_ACTION_SERVICE_START, "Start Service", ARG_SERVICE, "Service", ""},
      {TL_ACTION_SERVICE_STOPALL, "Stop all services", ARG_NONE, "", ""},
      {TL_ACTION_SERVICE_STARTALL, "Start all services", ARG_NONE, "", ""},
      {TL_ACTION_DIALER_DIALPROFILE, "Dial profile", ARG_PROFILE, "Profile", ""},
      {TL_ACTION_DIALER_HANGUPPROFILE, "Hang up profile", ARG_PROFILE, "Profile", ""},
      {TL_ACTION_LOGFILE_ROLLOVER, "Roll over logfiles", ARG_NONE, "", ""},
      {TL_ACTION_AUDITFILES_ROLLOVER, "Roll over Audit files", ARG_NONE, "", ""},
      {TL_ACTION_ACCOUNTS_EXPORT, "Export user accounts", ARG_TEXT, "To file", "Append to existing file"},
      {TL_ACTION_ACCOUNTS_RESET, "Reset user account", ARG_USER, "User", ""},
      {TL_ACTION_ACCOUNTS_RESETALL, "Reset all user accounts", ARG_NONE, "", ""},
      {TL_ACTION_CACHE_PURGE, "Purge Cache", ARG_NONE, "", ""},
      {TL_ACTION_MACHINES_CLEAR, "Terminate all sessions", ARG_NONE, "", ""},
      {TL_ACTION_RUN_PROGRAM, "Execute commandline", ARG_TEXT, "Commandline", "Run Hidden"},
  };
  return kTable;
}

const ActionInfo* FindAction(uint32_t code) {
  const auto& t = ActionTable();
  return code < t.size() ? &t[code] : nullptr;
}

SchedulerLists SchedulerListsOf(const CLookoutClient& client) {
  SchedulerLists lists;
  const ConsoleMirrors& m = client.Mirrors();
  if (m.services) lists.services = m.services->Keys();
  if (m.dialer) lists.profiles = m.dialer->Profiles.Keys();
  if (m.users) {
    // Accounts are reset per user; groups have none of their own.
    for (const auto& [name, obj] : m.users->Snapshot())
      if (std::dynamic_pointer_cast<CUser>(obj)) lists.users.push_back(name);
  }
  return lists;
}

// ---- Action dialog --------------------------------------------------------------------------------

ActionDialogLogic::ActionDialogLogic(const CScheduleEventAction& action, SchedulerLists lists)
    : code(action.EventAction),
      flag(action.BOOLData != 0),
      m_lists(std::move(lists)),
      m_storedCode(action.EventAction),
      m_stored(action.EventData) {
  const ActionInfo* info = FindAction(code);
  if (info && info->argument == ARG_TEXT) text = action.EventData;
  if (info && IsListKind(info->argument)) choice = action.EventData;
}

ActionArgument ActionDialogLogic::Argument() const {
  const ActionInfo* info = FindAction(code);
  return info ? info->argument : ARG_NONE;
}

ControlStates ActionDialogLogic::States() const {
  const ActionArgument a = Argument();
  ControlStates s;
  s[SCHED_ACT_LABEL].visible = a != ARG_NONE;
  s[SCHED_ACT_COMBO].visible = IsListKind(a);
  s[SCHED_ACT_EDIT].visible = a == ARG_TEXT;
  s[SCHED_ACT_CHECK].visible = a == ARG_TEXT;
  return s;
}

CString ActionDialogLogic::LabelText() const {
  const ActionInfo* info = FindAction(code);
  return info ? info->label : "";
}

CString ActionDialogLogic::CheckText() const {
  const ActionInfo* info = FindAction(code);
  return info ? info->check : "";
}

std::vector<CString> ActionDialogLogic::Choices() const {
  std::vector<CString> out;
  switch (Argument()) {
    case ARG_SERVICE: out = m_lists.services; break;
    case ARG_PROFILE: out = m_lists.profiles; break;
    case ARG_USER: out = m_lists.users; break;
    default: return out;
  }
  // The stored argument of this kind stays choosable even when the list no longer names it.
  const ActionInfo* stored = FindAction(m_storedCode);
  if (stored && stored->argument == Argument() && !m_stored.empty() &&
      std::find(out.begin(), out.end(), m_stored) == out.end())
    out.insert(out.begin(), m_stored);
  return out;
}

bool ActionDialogLogic::Validate(Prompter& prompter) {
  if (!IsListKind(Argument()) || !choice.empty()) return true;
  // An empty argument would make the action do nothing each time it runs.
  CString what = LabelText();
  std::transform(what.begin(), what.end(), what.begin(), [](unsigned char c) { return std::tolower(c); });
  prompter.Message(kActionDialogTitle, ChooseArgumentText(what), EDITOR_MB_EXCLAMATION);
  return false;
}

std::shared_ptr<CScheduleEventAction> ActionDialogLogic::Result() const {
  auto a = std::make_shared<CScheduleEventAction>();
  a->EventAction = code;
  const ActionArgument arg = Argument();
  a->EventData = arg == ARG_TEXT ? text : IsListKind(arg) ? choice : CString();
  // A code this console does not know (a newer engine's) keeps its argument untouched.
  if (!FindAction(code) && code == m_storedCode) a->EventData = m_stored;
  a->BOOLData = flag ? 1 : 0;
  return a;
}

// ---- Scheduled Event Properties -----------------------------------------------------------------------

EventDialogLogic::EventDialogLogic(const CScheduleEvent& event, const CDateTime& now) {
  {
    CLockGuard guard(event);
    regular = event.Every == 1;
    everyWhat = event.EveryWhat;
    dayOfMonth = event.DayOfMonth;
    dayOfWeek = event.DayOfWeek;
    description = event.Description;
    enabled = event.Enabled != 0;
    const CDateTime at = event.AtTime;
    if (at.IsValid()) {
      hour = static_cast<uint32_t>(at.GetHour());
      minute = static_cast<uint32_t>(at.GetMinute());
    }
    when = regular || !at.IsValid() ? now : at;
  }
  actions = CopyActions(event);
}

ControlStates EventDialogLogic::States() const {
  ControlStates s;
  s[SCHED_EV_DATE_TIME].enabled = !regular;
  s[SCHED_EV_RECURRENCE].enabled = regular;
  s[SCHED_EV_MINUTE].enabled = regular;
  s[SCHED_EV_DAY_OF_MONTH].enabled = regular && everyWhat == TL_EVERY_MONTH;
  s[SCHED_EV_DAY_OF_WEEK].enabled = regular && everyWhat == TL_EVERY_WEEK;
  s[SCHED_EV_HOUR].enabled =
      regular && (everyWhat == TL_EVERY_MONTH || everyWhat == TL_EVERY_WEEK || everyWhat == TL_EVERY_DAY);
  return s;
}

bool EventDialogLogic::Validate(Prompter& prompter) {
  if (hour > 23 || minute > 59) {
    prompter.Message("Lookout", hour > 23 ? IntegerRangeText(0, 23) : IntegerRangeText(0, 59), EDITOR_MB_EXCLAMATION);
    return false;
  }
  if (!regular && !when.IsValid()) {
    prompter.Message(kEventDialogTitle, "Please enter a valid date and time.", EDITOR_MB_EXCLAMATION);
    return false;
  }
  if (!regular || everyWhat != TL_EVERY_MONTH) return true;
  // A day the calendar never reaches would never fire.
  if (dayOfMonth < 1 || dayOfMonth > 31) {
    prompter.Message("Lookout", IntegerRangeText(1, 31), EDITOR_MB_EXCLAMATION);
    return false;
  }
  if (dayOfMonth >= 29) return prompter.AskYesNo(kEventDialogTitle, ShortMonthText(dayOfMonth), EDITOR_MB_QUESTION);
  return true;
}

CDateTime EventDialogLogic::AtTime() const {
  // Day 0 with the time of day: what the engine's daily, weekly and monthly matching expects.
  if (regular) return ScheduleMinuteStart(static_cast<int64_t>(hour) * 60 + minute);
  return CutToMinute(when);
}

void EventDialogLogic::Apply(CScheduleEvent& event) const {
  {
    CLockGuard guard(event);
    event.Description = description;
    event.Enabled = enabled ? 1 : 0;
    event.Every = regular ? 1 : 0;
    event.EveryWhat = everyWhat;
    event.DayOfWeek = dayOfWeek;
    event.DayOfMonth = dayOfMonth;
    event.AtTime = AtTime();
  }
  std::vector<std::shared_ptr<CObject>> old;
  CLockGuard guard(event.Actions);
  while (auto o = event.Actions.RemoveHead()) old.push_back(std::move(o));
  for (const auto& a : actions) event.Actions.AddTail(Clone(*a));
}

std::vector<CString> EventDialogLogic::ActionTexts() const {
  std::vector<CString> out;
  for (const auto& a : actions) out.push_back(a->GetDescription());
  return out;
}

void EventDialogLogic::AddAction(std::shared_ptr<CScheduleEventAction> action) {
  if (action && actions.size() < kMaxScheduleActions) actions.push_back(std::move(action));
}

bool EventDialogLogic::RemoveAction(size_t index) {
  if (index >= actions.size()) return false;
  actions.erase(actions.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

bool EventDialogLogic::PromoteAction(size_t index) {
  if (index == 0 || index >= actions.size()) return false;
  std::swap(actions[index - 1], actions[index]);
  return true;
}

bool EventDialogLogic::DemoteAction(size_t index) {
  if (index + 1 >= actions.size()) return false;
  std::swap(actions[index], actions[index + 1]);
  return true;
}

std::shared_ptr<CScheduleEventAction> EventDialogLogic::ActionCopy(size_t index) const {
  return index < actions.size() ? Clone(*actions[index]) : nullptr;
}

bool EventDialogLogic::ReplaceAction(size_t index, std::shared_ptr<CScheduleEventAction> action) {
  if (index >= actions.size() || !action) return false;
  actions[index] = std::move(action);
  return true;
}

// ---- Events page ---------------------------------------------------------------------------------------

void SchedulerEventsPage::Load(const CSchedulerSettings& s) {
  m_copy = Clone(s);
  m_touched.clear();
  selected = -1;
}

std::shared_ptr<CScheduleEvent> SchedulerEventsPage::At(size_t row) const {
  const auto events = m_copy->GetEvents();
  return row < events.size() ? events[row] : nullptr;
}

ControlStates SchedulerEventsPage::States() const {
  ControlStates s;
  s[SCHED_EVENT_REMOVE].enabled = At(static_cast<size_t>(selected)) != nullptr;
  s[SCHED_EVENT_DO_NOW].enabled = selected >= 0 && CanDoNow(static_cast<size_t>(selected));
  return s;
}

void SchedulerEventsPage::Apply(CSchedulerSettings& s) const {
  std::vector<std::shared_ptr<CScheduleEvent>> events;
  for (const auto& e : m_copy->GetEvents()) events.push_back(Clone(*e));
  CLockGuard guard(s.Events);
  s.DeleteAllEvents();
  for (auto& e : events) s.AddEvent(std::move(e));
}

std::vector<SchedulerEventsPage::Row> SchedulerEventsPage::Rows() const {
  std::vector<Row> rows;
  for (const auto& e : m_copy->GetEvents()) {
    CLockGuard guard(*e);
    rows.push_back({e->ID, e->Description, FormatString("%u", static_cast<unsigned>(e->Actions.GetCount()))});
  }
  return rows;
}

size_t SchedulerEventsPage::Add(std::shared_ptr<CScheduleEvent> event) {
  {
    CLockGuard guard(*event);
    event->ID = 0;
  }
  const uint32_t id = m_copy->AddEvent(event);
  m_touched.insert(id);
  const auto rows = Rows();
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].id == id) return i;
  return rows.size() - 1;
}

bool SchedulerEventsPage::Remove(size_t row) {
  auto e = At(row);
  if (!e) return false;
  m_copy->Events.RemoveKey(e->GetKey());
  selected = -1;
  return true;
}

std::shared_ptr<CScheduleEvent> SchedulerEventsPage::EventCopy(size_t row) const {
  auto e = At(row);
  return e ? Clone(*e) : nullptr;
}

bool SchedulerEventsPage::Replace(size_t row, std::shared_ptr<CScheduleEvent> edited) {
  auto e = At(row);
  if (!e || !edited) return false;
  const uint32_t id = e->ID;
  {
    CLockGuard guard(*edited);
    edited->ID = id;
  }
  m_copy->Events.SetAt(edited->GetKey(), edited);
  m_touched.insert(id);
  return true;
}

bool SchedulerEventsPage::CanDoNow(size_t row) const {
  auto e = At(row);
  return online && e && m_touched.count(e->ID) == 0;
}

uint64_t SchedulerEventsPage::DoNow(CLookoutClient& client, size_t row) const {
  if (!client.IsOnline()) return 0;
  auto e = At(row);
  // The engine runs what it has stored: an event added or changed here would run as it was, or
  // not at all.
  if (!e || m_touched.count(e->ID)) return 0;
  return client.Request(RC_REQ_RUN_SCHEDULE_EVENT, e->GetKey());
}

// ---- Logging page ---------------------------------------------------------------------------------------

void SchedulerLoggingPage::Load(const CSchedulerSettings& s) {
  logging = s.LoggingEnabled.load() != 0;
  options = s.LogOptions.load() & kLogMask;
}

ControlStates SchedulerLoggingPage::States() const {
  ControlStates s;
  for (int id : kLogChecks) s[id].enabled = logging;
  return s;
}

void SchedulerLoggingPage::Apply(CSchedulerSettings& s) const {
  s.LoggingEnabled = logging ? 1 : 0;
  uint32_t bits = 0;
  for (uint32_t b : kLogBits) bits |= options & b;
  // Bits without a check box stay as they were: bit 1 carries the lines of programs that could not
  // start or outlived their limit, which no OK of this page may silently switch off.
  s.LogOptions = (s.LogOptions.load() & ~kLogMask) | bits;
}

// ---- Sheet ------------------------------------------------------------------------------------------------

SchedulerSheet::SchedulerSheet(CLookoutClient& client) : m_client(client) {
  const auto& mirror = client.Mirrors().scheduler;
  const CSchedulerSettings empty;
  events.Load(mirror ? *mirror : empty);
  logging.Load(mirror ? *mirror : empty);
  events.online = client.IsOnline();
}

bool SchedulerSheet::Ok(Prompter& prompter, int* refused) {
  const std::vector<PageLogic<CSchedulerSettings>*> order = {&events, &logging};
  // The scheduler the mirror holds now: a notification may have replaced it while the sheet was
  // open. Every page writes into a clone of it, never into the mirror's own object.
  std::shared_ptr<CSchedulerSettings> result;
  if (const auto base = m_client.Mirrors().scheduler)
    result = ValidateAndApply(order, *base, prompter, refused);
  else
    result = ValidateAndApplyNew(order, std::make_shared<CSchedulerSettings>(), prompter, refused);
  if (!result) return false;
  m_client.CommitScheduler(result);
  m_sent = m_client.QueueObject(RC_REQ_UPDATE_SCHEDULER, CString(), *result);
  return true;
}

uint64_t SchedulerSheet::DoNow(size_t row) { return events.DoNow(m_client, row); }
