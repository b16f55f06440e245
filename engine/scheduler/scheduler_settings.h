#pragma once
// The scheduler's settings as the console edits them and the registry keeps them: events, each
// with a recurrence, a time and an ordered list of actions. The engine's running scheduler
// (scheduler.h) is this object with its thread, its clock and its log added.
//
// Archive forms (schema 1):
//   CScheduleEventAction  EventAction (u32), EventData (string), BOOLData (u32).
//   CScheduleEvent        ID, Enabled (u32), Description (string), Every, EveryWhat, DayOfMonth,
//                         DayOfWeek (u32 each), AtTime (CDateTime form), then the actions in the list
//                         form (count, class-tagged CScheduleEventAction); a load replaces the
//                         actions only once the whole form has been read.
//   CScheduler            LoggingEnabled, LogOptions (u32), then the event map in the map form
//                         (key "%010u" of the ID, class name, the event); the keys must equal the
//                         events' own keys.
// Registry (key "Scheduler"): "LoggingEnabled", "LogOptions" DWORDs; each event under
// "Events\\<key>" with "ID", "Enabled", "Every", "EveryWhat", "DayOfMonth", "DayOfWeek" DWORDs,
// "Description" string, "AtTime" (8-byte date-time); its actions under "Action<n>" with
// "EventAction", "BOOLData" DWORDs and "EventData" string. Action indices at or above
// kMaxScheduleActions are ignored and gaps close up, so a stored "Action4000000000" can neither
// grow an array without bound nor leave holes.
//
// Lock order: the event map, then an event's lock, then its action list.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/config/datetime.h"
#include "engine/config/lockable.h"

// Action codes.
enum : uint32_t {
  TL_ACTION_NOTHING = 0,
  TL_ACTION_SERVICE_STOP = 1,
  TL_ACTION_SERVICE_START = 2,
  TL_ACTION_SERVICE_STOPALL = 3,
  TL_ACTION_SERVICE_STARTALL = 4,
  TL_ACTION_DIALER_DIALPROFILE = 5,
  TL_ACTION_DIALER_HANGUPPROFILE = 6,
  TL_ACTION_LOGFILE_ROLLOVER = 7,
  TL_ACTION_AUDITFILES_ROLLOVER = 8,
  TL_ACTION_ACCOUNTS_EXPORT = 9,
  TL_ACTION_ACCOUNTS_RESET = 10,
  TL_ACTION_ACCOUNTS_RESETALL = 11,
  TL_ACTION_CACHE_PURGE = 12,
  TL_ACTION_MACHINES_CLEAR = 13,
  TL_ACTION_RUN_PROGRAM = 14,
};

// Recurrences (EveryWhat).
enum : uint32_t { TL_EVERY_MONTH = 0, TL_EVERY_WEEK = 1, TL_EVERY_DAY = 2, TL_EVERY_HOUR = 3 };

inline constexpr uint32_t kMaxScheduleActions = 1000;
// Scheduler log line types.
enum : uint32_t {
  SCHED_LOG_ERROR_TEXT = 1,
  SCHED_LOG_EVENT = 2,
  SCHED_LOG_DEBUG = 4,
  SCHED_LOG_CONFIG = 8,
  SCHED_LOG_ERROR = 16,
  SCHED_LOG_THREAD = 32,
};

// Whole minutes since day 0 of a date-time (rounded to the nearest second first).
int64_t ScheduleMinuteOf(const CDateTime& t);
// The start of that minute, and of t's minute. The scheduler's minute passes and the console's
// one-off event times are both made here: the values compare as floating-point day counts, so a
// time built any other way could miss its minute by a rounding bit.
CDateTime ScheduleMinuteStart(int64_t minute);
CDateTime CutToMinute(const CDateTime& t);

class CScheduleEventAction : public CObject {
  TL_DECLARE_SERIAL(CScheduleEventAction)

 public:
  CScheduleEventAction() = default;
  CScheduleEventAction(uint32_t action, CString data, uint32_t flag = 0)
      : EventAction(action), EventData(std::move(data)), BOOLData(flag) {}

  // "Stop service: %s" ... as the console shows the action.
  CString GetDescription() const;
  bool Save(const CString& key) const;
  void Load(const CString& key);
  void Serialize(CArchive& ar) override;

  uint32_t EventAction = TL_ACTION_NOTHING;
  CString EventData;
  uint32_t BOOLData = 0;
};

class CScheduleEvent : public CLockableObject {
  TL_DECLARE_SERIAL(CScheduleEvent)

 public:
  CScheduleEvent();
  CScheduleEvent(const CScheduleEvent&) = delete;
  CScheduleEvent& operator=(const CScheduleEvent&) = delete;

  // Whether the event is due in the minute of now. Times are compared in whole minutes (year,
  // month, day, hour, minute): seconds stored with AtTime, or left by floating arithmetic, never
  // make an event miss its minute.
  bool IsDue(const CDateTime& now) const;
  // The map key: the ID as ten decimal digits.
  CString GetKey() const;
  const std::string* GetKeyName() const override;
  std::vector<std::shared_ptr<CScheduleEventAction>> GetActions() const;
  void AddAction(std::shared_ptr<CScheduleEventAction> action);

  // Deletes the key's tree, then writes the values and the actions.
  bool Save(const CString& key) const;
  void Load(const CString& key);
  void Serialize(CArchive& ar) override;

  uint32_t ID = 0;
  uint32_t Enabled = 1;
  CString Description;
  uint32_t Every = 1;
  uint32_t EveryWhat = TL_EVERY_MONTH;
  uint32_t DayOfMonth = 1;
  uint32_t DayOfWeek = 1;
  CDateTime AtTime;
  CLockableList Actions;  // elements CScheduleEventAction, run in list order

 private:
  mutable std::string m_keyName;
};

class CSchedulerSettings : public CObject {
  TL_DECLARE_SERIAL(CSchedulerSettings)

 public:
  CSchedulerSettings();
  CSchedulerSettings(const CSchedulerSettings&) = delete;
  CSchedulerSettings& operator=(const CSchedulerSettings&) = delete;

  // Gives an event with ID 0 the next free ID (the largest plus 1) and enters it under its key,
  // replacing an event of that key. Returns the ID.
  uint32_t AddEvent(std::shared_ptr<CScheduleEvent> event);
  std::shared_ptr<CScheduleEvent> FindEvent(uint32_t id) const;
  std::vector<std::shared_ptr<CScheduleEvent>> GetEvents() const;  // in key (ID) order
  void DeleteAllEvents();

  // Save deletes the key's tree first. Load replaces every event by those stored.
  bool Save(const CString& key) const;
  void Load(const CString& key);
  void Serialize(CArchive& ar) override;

  std::atomic<uint32_t> LoggingEnabled{1};
  std::atomic<uint32_t> LogOptions{47};
  CLockableMap Events;  // "%010u" of the ID -> CScheduleEvent
};
