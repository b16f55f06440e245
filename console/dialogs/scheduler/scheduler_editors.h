#pragma once
// The scheduler editors without a toolkit: the Scheduler Properties sheet (Events and Logging
// pages), the Scheduled Event Properties dialog and the Action dialog.
//
// Everything works on copies. The sheet clones the console's scheduler when it opens and lets go
// of the mirror; events are edited on clones of the sheet's copy and actions on clones of the
// event's. Only the sheet's OK replaces the mirror's scheduler (a new object, never the one a
// notification may be replacing) and, on-line, sends it (151).
//
// A one-off event's time is cut to its minute with the scheduler's own CutToMinute, so the value
// the engine compares with its own cut "now" is made by the same arithmetic. Do Now runs the
// engine's stored event: it is offered only for an event this sheet has neither added nor changed.
//
// No control ids are given for these windows; the ids below are this console's own (each widget's
// object name is "c" + id).
//
// Threads: the user-interface thread, which owns the mirrors.
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "engine/scheduler/scheduler_settings.h"

class CLookoutClient;

enum : int {
  // Events page.
  SCHED_EVENT_LIST = 2400,
  SCHED_EVENT_ADD = 2401,
  SCHED_EVENT_REMOVE = 2402,
  SCHED_EVENT_DO_NOW = 2403,
  // Logging page: the radio pair and the five checks (bits 2, 4, 8, 16, 32).
  SCHED_LOG_OFF = 2410,
  SCHED_LOG_ON = 2411,
  SCHED_LOG_DETAILS = 2412,
  SCHED_LOG_DEBUG_BIT = 2413,
  SCHED_LOG_CONFIG_BIT = 2414,
  SCHED_LOG_ERRORS = 2415,
  SCHED_LOG_START_STOP = 2416,
  // Scheduled Event Properties.
  SCHED_EV_REGULAR = 2420,
  SCHED_EV_SINGLE = 2421,
  SCHED_EV_RECURRENCE = 2422,
  SCHED_EV_DAY_OF_MONTH = 2423,
  SCHED_EV_DAY_OF_WEEK = 2424,
  SCHED_EV_HOUR = 2425,
  SCHED_EV_MINUTE = 2426,
  SCHED_EV_DATE_TIME = 2427,
  SCHED_EV_DESCRIPTION = 2428,
  SCHED_EV_ENABLED = 2429,
  SCHED_EV_ACTIONS = 2430,
  SCHED_EV_ACTION_ADD = 2431,
  SCHED_EV_ACTION_REMOVE = 2432,
  SCHED_EV_ACTION_UP = 2433,
  SCHED_EV_ACTION_DOWN = 2434,
  // Action.
  SCHED_ACT_DO_WHAT = 2440,
  SCHED_ACT_LABEL = 2441,
  SCHED_ACT_COMBO = 2442,
  SCHED_ACT_EDIT = 2443,
  SCHED_ACT_CHECK = 2444,
};

inline constexpr const char* kSchedulerSheetTitle = "Scheduler Properties";
inline constexpr const char* kEventDialogTitle = "Scheduled Event Properties";
inline constexpr const char* kActionDialogTitle = "Action";
inline constexpr const char* kLogOffText = "Do not log events for the Trellis scheduler";
// Shown when a list-kind action has nothing chosen: "You must choose a %s for this action".
CString ChooseArgumentText(const CString& what);
// Day of month 29-31: "This event will not run in months with fewer than %u days.\nKeep this day?"
CString ShortMonthText(uint32_t day);

// What an action's argument is.
enum ActionArgument { ARG_NONE, ARG_TEXT, ARG_SERVICE, ARG_PROFILE, ARG_USER };

struct ActionInfo {
  uint32_t code;
  const char* name;
  ActionArgument argument;
  const char* label;  // the argument's label ("" for none)
  const char* check;  // the check box's text (free text only)
};
// The fifteen actions in code order.
const std::vector<ActionInfo>& ActionTable();
// Null for a code outside the table.
const ActionInfo* FindAction(uint32_t code);

// The names the list-kind actions offer, taken from the mirrors when a dialog opens (by value:
// the session thread's replacements of the mirrors cannot reach a dialog that is open).
struct SchedulerLists {
  std::vector<CString> services, profiles, users;
};
SchedulerLists SchedulerListsOf(const CLookoutClient& client);

// ---- Action dialog ----------------------------------------------------------------------------

class ActionDialogLogic {
 public:
  ActionDialogLogic(const CScheduleEventAction& action, SchedulerLists lists);

  ActionArgument Argument() const;
  // Label 2441, combo 2442, edit 2443 and check 2444 by the chosen code's argument.
  ControlStates States() const;
  CString LabelText() const;
  CString CheckText() const;
  // The combo's entries for the chosen code: the names of its list, and the stored argument when
  // the list does not hold it (a since-deleted service stays as it was unless replaced).
  std::vector<CString> Choices() const;
  // A list-kind action needs a choice.
  bool Validate(Prompter& prompter);
  // A new action from the values (call after Validate).
  std::shared_ptr<CScheduleEventAction> Result() const;

  uint32_t code = TL_ACTION_NOTHING;
  CString text;    // the edit (free text)
  CString choice;  // the combo (list kinds)
  bool flag = false;

 private:
  SchedulerLists m_lists;
  uint32_t m_storedCode;
  CString m_stored;
};

// ---- Scheduled Event Properties ----------------------------------------------------------------

class EventDialogLogic {
 public:
  // now: what the date-time edit shows for a regular event (the current local time).
  EventDialogLogic(const CScheduleEvent& event, const CDateTime& now);

  ControlStates States() const;
  // Day of month 1-31 for a monthly event (29-31 asks whether to keep it).
  bool Validate(Prompter& prompter);
  // Values and actions into the event (its ID is left alone).
  void Apply(CScheduleEvent& event) const;
  // AtTime as OK stores it: the time of day on day 0 for a regular event, the entered date-time
  // cut to its minute for a one-off event.
  CDateTime AtTime() const;

  std::vector<CString> ActionTexts() const;
  void AddAction(std::shared_ptr<CScheduleEventAction> action);
  bool RemoveAction(size_t index);
  bool PromoteAction(size_t index);
  bool DemoteAction(size_t index);
  // A copy of the action at index for the Action dialog, and the dialog's result back in its place.
  std::shared_ptr<CScheduleEventAction> ActionCopy(size_t index) const;
  bool ReplaceAction(size_t index, std::shared_ptr<CScheduleEventAction> action);
  size_t ActionCount() const { return actions.size(); }

  bool regular = true;
  uint32_t everyWhat = TL_EVERY_MONTH;
  uint32_t dayOfMonth = 1;
  uint32_t dayOfWeek = 1;
  uint32_t hour = 0;    // 0-23
  uint32_t minute = 0;  // 0-59
  CDateTime when;       // the one-off date-time as entered (seconds and all)
  CString description;
  bool enabled = true;
  // The dialog's own copies, in running order.
  std::vector<std::shared_ptr<CScheduleEventAction>> actions;
};

// ---- Scheduler Properties ----------------------------------------------------------------------

class SchedulerEventsPage : public PageLogic<CSchedulerSettings> {
 public:
  struct Row {
    uint32_t id;
    CString event;    // the description
    CString actions;  // "%u" action count
  };

  void Load(const CSchedulerSettings& s) override;
  // Remove needs a row; Do Now needs a row, the console on-line and an event this sheet has not
  // added or changed.
  ControlStates States() const override;
  // The events of the page's copy replace s's (as clones).
  void Apply(CSchedulerSettings& s) const override;

  std::vector<Row> Rows() const;  // in key (ID) order
  // A new event joins the copy with the next free ID; the row index it got.
  size_t Add(std::shared_ptr<CScheduleEvent> event);
  bool Remove(size_t row);
  // A clone of the row's event for the event dialog; null for no such row.
  std::shared_ptr<CScheduleEvent> EventCopy(size_t row) const;
  // The dialog's result takes the row's place (its ID kept).
  bool Replace(size_t row, std::shared_ptr<CScheduleEvent> edited);
  bool CanDoNow(size_t row) const;
  // Request 152 with the row's ID as "%010u"; 0 when not sent.
  uint64_t DoNow(CLookoutClient& client, size_t row) const;

  int selected = -1;
  bool online = false;

 private:
  std::shared_ptr<CScheduleEvent> At(size_t row) const;
  std::shared_ptr<CSchedulerSettings> m_copy = std::make_shared<CSchedulerSettings>();
  std::set<uint32_t> m_touched;  // IDs added or changed in this sheet
};

class SchedulerLoggingPage : public PageLogic<CSchedulerSettings> {
 public:
  void Load(const CSchedulerSettings& s) override;
  // The checks follow "Log these events".
  ControlStates States() const override;
  void Apply(CSchedulerSettings& s) const override;

  bool logging = true;
  // The bits of the five checks (2, 4, 8, 16, 32); Apply sets exactly these of them and leaves
  // the others (bit 1, failures of programs) as the scheduler has them.
  uint32_t options = 0;
};

class SchedulerSheet {
 public:
  // Clones the console's scheduler (empty settings when it has not been fetched).
  explicit SchedulerSheet(CLookoutClient& client);

  // OK: Events, then Logging validate, then write into a clone of the scheduler the mirror holds
  // now, which replaces it; on-line it goes to the engine (151). False when a page refused.
  bool Ok(Prompter& prompter, int* refused = nullptr);
  // Do Now for the row (on-line only).
  uint64_t DoNow(size_t row);
  // The request id of the last OK's 151 (0 off-line).
  uint64_t SentRequest() const { return m_sent; }
  CLookoutClient& Client() { return m_client; }

  SchedulerEventsPage events;
  SchedulerLoggingPage logging;

 private:
  CLookoutClient& m_client;
  uint64_t m_sent = 0;
};
