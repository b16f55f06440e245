#pragma once
// The engine's scheduler: the settings of scheduler_settings.h with a thread that wakes at each
// full minute of its clock and runs the events due, the actions themselves, and the scheduler's
// log ("Scheduler.<date>.log" in the services' log folder).
//
// Minutes are processed exactly once: the scheduler remembers the last minute it processed and on
// each wake runs every minute after it up to now, so a late or doubled wake-up, a long pass or a
// clock step neither skips nor repeats a minute (a step backwards, such as the autumn's hour, runs
// nothing twice). More than kMaxCatchUpMinutes behind, the older minutes are logged and skipped.
// A step back of more than kMaxWaitBackMinutes is a corrected clock, not a season's change: it is
// logged and scheduling goes on from the new time.
//
// Running a program (action 14): the command line is split into an argument vector (double quotes
// group words; no shell is involved), the program runs in its own process group with no descriptor
// of the engine but its standard ones (input from /dev/null, output and errors into a pipe whose
// lines go to the scheduler's log), and is ended with its whole group when it outlives the time
// limit. It runs on a worker thread of its own, so the scheduler never waits for it; the worker
// always reaps it. A program that cannot be started, or outlives its limit, a failed accounts
// export and a corrected clock are logged as type-1 lines, which the default log options (47)
// keep, unlike the type-16 error lines.
//
// Programs and the accounts export run as the engine's own user (root for an installed engine):
// the right to change the scheduler (system right 12) is as strong as that user, and is granted
// accordingly.
//
// Threads: the scheduler thread (minute passes), remote-control sessions (ForceEvent, archive),
// the engine thread (Load, Save, Start, Stop) and program workers. Lock order: the pass lock
// (m_passMutex, one pass or forced event at a time), then the event map, then an event, then the
// containers the actions walk (service manager, user database, machine table, dialer profiles).
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "engine/config/log_file.h"
#include "engine/scheduler/scheduler_settings.h"

// What the actions ask of the engine.
class ISchedulerHost {
 public:
  virtual ~ISchedulerHost() = default;
  // False when no service has that name.
  virtual bool StopService(const CString& name) = 0;
  virtual bool StartService(const CString& name) = 0;
  virtual void StopAllServices() = 0;  // every service but the remote-control services
  virtual void StartAllServices() = 0;
  // Posts a dial (or the hang-up, as the profile's reset) to the dialer; false without a profile.
  virtual bool PostDial(const CString& profile, bool dial) = 0;
  virtual void ReopenServiceAndDialerLogs() = 0;
  virtual void ReopenAuditFiles() = 0;
  // Accounts export to a file (appended to with append, else emptied first); false on failure.
  virtual bool ExportAccounts(const CString& path, bool append, const CString& timeStamp) = 0;
  virtual bool ResetAccount(const CString& user) = 0;  // false when there is no such user
  virtual void ResetAllAccounts() = 0;
  virtual bool StartCachePurge() = 0;
  virtual void ClearMachines() = 0;
};

class CScheduler : public CSchedulerSettings {
 public:
  using Clock = std::function<CDateTime()>;
  static constexpr int64_t kMaxCatchUpMinutes = 60;
  static constexpr int64_t kMaxWaitBackMinutes = 120;

  explicit CScheduler(ISchedulerHost* host);
  ~CScheduler() override;

  // Local time by default; tests give their own.
  void SetClock(Clock clock);
  // Limit of a program's run (action 14); 60 s by default.
  void SetProgramTimeLimit(std::chrono::milliseconds limit);

  // Opens the log and starts the minute thread ("Scheduler thread started"); the minute the
  // scheduler starts in counts as processed.
  void Start();
  // Ends the thread ("Scheduler thread stopping") and waits for it; programs still running are
  // ended with their groups.
  void Stop();

  // Processes every minute after the last one processed up to now's minute.
  void RunDue(const CDateTime& now);
  // Runs that event's actions now ("Event forced: %s"); false when there is no such event.
  bool ForceEvent(uint32_t id);
  void DoEvent(const CScheduleEvent& event);
  void DoAction(const CScheduleEventAction& action);
  // Starts the program of a command line on a worker (see above); false when the line is empty or
  // cannot be split.
  bool RunProgram(const CString& commandLine);
  // Waits until no program worker is left (tests and shutdown); false at the time-out.
  bool WaitForPrograms(std::chrono::milliseconds timeout);

  void OpenLogFile();
  void Log(uint32_t type, const char* format, ...) __attribute__((format(printf, 3, 4)));
  std::shared_ptr<CLogFile> GetLogFile() const;

  // The argument vector of a command line: words split at blanks, double quotes group (a quote
  // inside quotes is written \"). Empty for an empty line or an unclosed quote.
  static std::vector<std::string> SplitCommandLine(const CString& line);

 private:
  void ThreadMain();
  void RunMinute(const CDateTime& minute);

  ISchedulerHost* m_host;
  Clock m_clock;
  std::chrono::milliseconds m_programLimit{60000};
  std::mutex m_passMutex;
  int64_t m_lastMinute = 0;
  bool m_haveLast = false;

  std::mutex m_threadMutex;
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::thread m_thread;

  mutable std::mutex m_logMutex;
  std::shared_ptr<CLogFile> m_logFile;

  std::mutex m_workersMutex;
  std::condition_variable m_workersDone;
  int m_workers = 0;
  // Process groups of running programs. A program's pid leaves this set only once it has ended
  // and before it is reaped, so a group killed from here is never a reused number.
  std::set<pid_t> m_programs;
};
