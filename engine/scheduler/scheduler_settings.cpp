#include "engine/scheduler/scheduler_settings.h"

#include <algorithm>
#include <map>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL(CScheduleEventAction, CObject, 1)
TL_IMPLEMENT_SERIAL(CScheduleEvent, CLockableObject, 1)
TL_IMPLEMENT_SERIAL_AS(CSchedulerSettings, "CScheduler", CObject, 1)

namespace {
int64_t MinuteOf(const CDateTime& t) { return ScheduleMinuteOf(t); }
}  // namespace

int64_t ScheduleMinuteOf(const CDateTime& t) {
  const int64_t s = t.GetTotalSeconds();
  return s >= 0 ? s / 60 : -((-s + 59) / 60);
}

CDateTime ScheduleMinuteStart(int64_t minute) { return CDateTime::FromSeconds(minute * 60); }

CDateTime CutToMinute(const CDateTime& t) {
  if (!t.IsValid()) return t;
  return ScheduleMinuteStart(ScheduleMinuteOf(t));
}

// ---- CScheduleEventAction ---------------------------------------------------------------------

CString CScheduleEventAction::GetDescription() const {
  const char* d = EventData.c_str();
  switch (EventAction) {
    case TL_ACTION_NOTHING: return "Do Nothing";
    case TL_ACTION_SERVICE_STOP: return FormatString("Stop service: %s", d);
    case TL_ACTION_SERVICE_START: return FormatString("Start service: %s", d);
    case TL_ACTION_SERVICE_STOPALL: return "Stop all services";
    case TL_ACTION_SERVICE_STARTALL: return "Start all services";
    case TL_ACTION_DIALER_DIALPROFILE: return FormatString("Dial profile: %s", d);
    case TL_ACTION_DIALER_HANGUPPROFILE: return FormatString("Hang up profile: %s", d);
    case TL_ACTION_LOGFILE_ROLLOVER: return "Roll over Trellis log files";
    case TL_ACTION_AUDITFILES_ROLLOVER: return "Roll over Trellis user audit files";
    case TL_ACTION_ACCOUNTS_EXPORT: return FormatString("Export Trellis accounting data to file %s", d);
    case TL_ACTION_ACCOUNTS_RESET: return FormatString("Reset Trellis accounting data for %s", d);
    case TL_ACTION_ACCOUNTS_RESETALL: return "Reset all Trellis accounting data";
    case TL_ACTION_CACHE_PURGE: return "Purge Trellis cache";
    case TL_ACTION_MACHINES_CLEAR: return "Terminate all sessions";
    case TL_ACTION_RUN_PROGRAM: return FormatString("Execute command: %s", d);
    default: return FormatString("Unknown action %u", EventAction);
  }
}

bool CScheduleEventAction::Save(const CString& key) const {
  bool ok = RegWriteDWORD(key, "EventAction", EventAction);
  ok &= RegWriteString(key, "EventData", EventData);
  ok &= RegWriteDWORD(key, "BOOLData", BOOLData);
  return ok;
}

void CScheduleEventAction::Load(const CString& key) {
  EventAction = RegReadDWORD(key, "EventAction", 0);
  EventData = RegReadString(key, "EventData", "");
  BOOLData = RegReadDWORD(key, "BOOLData", 0);
}

void CScheduleEventAction::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << EventAction << EventData << BOOLData;
    return;
  }
  uint32_t action = 0, flag = 0;
  CString data;
  ar >> action >> data >> flag;
  EventAction = action;
  EventData = std::move(data);
  BOOLData = flag;
}

// ---- CScheduleEvent ---------------------------------------------------------------------------

CScheduleEvent::CScheduleEvent() : AtTime(CDateTime::GetCurrentTime()) {
  Actions.SetElementClass(TL_RUNTIME_CLASS(CScheduleEventAction));
}

bool CScheduleEvent::IsDue(const CDateTime& now) const {
  CLockGuard guard(*this);
  if (!Enabled || !now.IsValid() || !AtTime.IsValid()) return false;
  if (!Every) return MinuteOf(AtTime) == MinuteOf(now);
  // The time of day, in whole minutes, of a recurring event; its date must be day 0.
  const int64_t at = MinuteOf(AtTime);
  const bool timeOnly = at >= 0 && at < 24 * 60;
  const int64_t nowOfDay = MinuteOf(now) - MinuteOf(CDateTime(now.GetYear(), now.GetMonth(), now.GetDay()));
  switch (EveryWhat) {
    case TL_EVERY_MONTH:
      if (static_cast<uint32_t>(now.GetDay()) != DayOfMonth) return false;
      return timeOnly && at == nowOfDay;
    case TL_EVERY_WEEK:
      if (static_cast<uint32_t>(now.GetDayOfWeek()) != DayOfWeek) return false;
      return timeOnly && at == nowOfDay;
    case TL_EVERY_DAY: return timeOnly && at == nowOfDay;
    case TL_EVERY_HOUR: return ((at % 60) + 60) % 60 == nowOfDay % 60;
    default: return AtTime.GetValue() == 0;
  }
}

CString CScheduleEvent::GetKey() const {
  CLockGuard guard(*this);
  return FormatString("%010u", ID);
}

const std::string* CScheduleEvent::GetKeyName() const {
  m_keyName = GetKey();
  return &m_keyName;
}

std::vector<std::shared_ptr<CScheduleEventAction>> CScheduleEvent::GetActions() const {
  std::vector<std::shared_ptr<CScheduleEventAction>> out;
  for (const auto& obj : Actions.Snapshot())
    if (auto a = std::dynamic_pointer_cast<CScheduleEventAction>(obj)) out.push_back(std::move(a));
  return out;
}

void CScheduleEvent::AddAction(std::shared_ptr<CScheduleEventAction> action) {
  if (action) Actions.AddTail(std::move(action));
}

bool CScheduleEvent::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  {
    CLockGuard guard(*this);
    ok &= RegWriteDWORD(key, "ID", ID);
    ok &= RegWriteString(key, "Description", Description);
    ok &= RegWriteDWORD(key, "Enabled", Enabled);
    ok &= RegWriteDWORD(key, "Every", Every);
    ok &= RegWriteDWORD(key, "EveryWhat", EveryWhat);
    ok &= RegWriteDWORD(key, "DayOfMonth", DayOfMonth);
    ok &= RegWriteDWORD(key, "DayOfWeek", DayOfWeek);
    ok &= AtTime.WriteToRegistry(key, "AtTime");
  }
  const auto actions = GetActions();
  for (size_t i = 0; i < actions.size(); ++i) ok &= actions[i]->Save(key + "\\Action" + std::to_string(i));
  return ok;
}

void CScheduleEvent::Load(const CString& key) {
  std::vector<std::shared_ptr<CObject>> actions;
  for (uint32_t n : RegEnumNumberedSubKeys(key, "Action")) {
    if (n >= kMaxScheduleActions) continue;  // no stored name may size the list
    auto a = std::make_shared<CScheduleEventAction>();
    a->Load(key + "\\Action" + std::to_string(n));
    actions.push_back(std::move(a));
  }
  {
    CLockGuard guard(*this);
    ID = RegReadDWORD(key, "ID", 0);
    Description = RegReadString(key, "Description", "");
    Enabled = RegReadDWORD(key, "Enabled", 1);
    Every = RegReadDWORD(key, "Every", 0);
    EveryWhat = RegReadDWORD(key, "EveryWhat", 0);
    DayOfMonth = RegReadDWORD(key, "DayOfMonth", 0);
    DayOfWeek = RegReadDWORD(key, "DayOfWeek", 0);
    AtTime.ReadFromRegistry(key, "AtTime");
  }
  std::vector<std::shared_ptr<CObject>> old;
  CLockGuard guard(Actions);
  while (auto o = Actions.RemoveHead()) old.push_back(std::move(o));
  for (auto& a : actions) Actions.AddTail(std::move(a));
}

void CScheduleEvent::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    {
      CLockGuard guard(*this);
      ar << ID << Enabled << Description << Every << EveryWhat << DayOfMonth << DayOfWeek;
      CDateTime at = AtTime;
      at.Serialize(ar);
    }
    Actions.SerializeChecked(ar);
    return;
  }
  uint32_t id = 0, enabled = 0, every = 0, everyWhat = 0, day = 0, weekday = 0;
  CString description;
  CDateTime at;
  ar >> id >> enabled >> description >> every >> everyWhat >> day >> weekday;
  at.Serialize(ar);
  CLockableList actions;
  actions.SetElementClass(TL_RUNTIME_CLASS(CScheduleEventAction));
  actions.SerializeChecked(ar);
  {
    CLockGuard guard(*this);
    ID = id;
    Enabled = enabled;
    Description = std::move(description);
    Every = every;
    EveryWhat = everyWhat;
    DayOfMonth = day;
    DayOfWeek = weekday;
    AtTime = at;
  }
  std::vector<std::shared_ptr<CObject>> old;
  CLockGuard guard(Actions);
  while (auto o = Actions.RemoveHead()) old.push_back(std::move(o));
  for (auto& a : actions.Snapshot()) Actions.AddTail(std::move(a));
}

// ---- CSchedulerSettings -----------------------------------------------------------------------

CSchedulerSettings::CSchedulerSettings() { Events.SetElementClass(TL_RUNTIME_CLASS(CScheduleEvent)); }

uint32_t CSchedulerSettings::AddEvent(std::shared_ptr<CScheduleEvent> event) {
  if (!event) return 0;
  CLockGuard guard(Events);
  uint32_t id;
  {
    CLockGuard eg(*event);
    if (event->ID == 0) {
      uint32_t highest = 0;
      for (const auto& e : GetEvents()) highest = std::max(highest, e->ID);
      event->ID = highest + 1;
    }
    id = event->ID;
  }
  Events.SetAt(event->GetKey(), event);
  return id;
}

std::shared_ptr<CScheduleEvent> CSchedulerSettings::FindEvent(uint32_t id) const {
  return Events.LookupAs<CScheduleEvent>(FormatString("%010u", id));
}

std::vector<std::shared_ptr<CScheduleEvent>> CSchedulerSettings::GetEvents() const {
  std::vector<std::shared_ptr<CScheduleEvent>> out;
  for (const auto& [key, obj] : Events.Snapshot())
    if (auto e = std::dynamic_pointer_cast<CScheduleEvent>(obj)) out.push_back(std::move(e));
  return out;
}

void CSchedulerSettings::DeleteAllEvents() { Events.RemoveAll(); }

bool CSchedulerSettings::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  ok &= RegWriteDWORD(key, "LoggingEnabled", LoggingEnabled.load());
  ok &= RegWriteDWORD(key, "LogOptions", LogOptions.load());
  for (const auto& e : GetEvents()) ok &= e->Save(key + "\\Events\\" + e->GetKey());
  return ok;
}

void CSchedulerSettings::Load(const CString& key) {
  LoggingEnabled = RegReadDWORD(key, "LoggingEnabled", 1);
  LogOptions = RegReadDWORD(key, "LogOptions", 47);
  std::vector<std::shared_ptr<CScheduleEvent>> loaded;
  for (const auto& sub : RegEnumSubKeys(key + "\\Events")) {
    auto e = std::make_shared<CScheduleEvent>();
    e->Load(key + "\\Events\\" + sub);
    loaded.push_back(std::move(e));
  }
  // A reload replaces the map: events deleted since stay deleted.
  CLockGuard guard(Events);
  Events.RemoveAll();
  for (auto& e : loaded) AddEvent(std::move(e));
}

void CSchedulerSettings::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << LoggingEnabled.load() << LogOptions.load();
    Events.SerializeChecked(ar);
    return;
  }
  uint32_t logging = 0, options = 0;
  ar >> logging >> options;
  Events.SerializeChecked(ar);
  LoggingEnabled = logging;
  LogOptions = options;
}
