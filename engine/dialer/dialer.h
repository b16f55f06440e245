#pragma once
// The running dialer: the dial-up side of the engine's outside connection. It holds the profiles
// (dialer_profile.h), binds the Remote Access library (ras_api.h), runs its own thread with a
// one-second timer that hangs up idle links, carries out dial and reset commands on worker
// threads, decides before each outgoing connection whether a link must be dialled first
// (CheckDialFirst, dial_on_demand.cpp) and writes the dated dialer log ("Logs/Dialer.<date>.log").
//
// Threads: the dialer thread (timer, commands), one worker per dial or reset command, every
// session thread that connects out (CheckDialFirst), the engine thread (start, stop, restart,
// save, load), remote-control threads (archive, commands) and the Remote Access layer's threads
// (the notifier).
//
// Lifetime: the dialer and its profiles outlive every thread that uses them (profiles are held by
// shared_ptr; a command names its profile, the worker looks it up). Stop wakes every waiting dial,
// joins the workers and the thread, and keeps the profiles, so a restart loses none. The library,
// once loaded, is never unloaded.
//
// Locks (none is held across a Remote Access call that can block, nor across a dial): the profile
// map, then the dialer object's lock, then one profile's lock; m_requestsMutex (busy flags),
// m_connMapMutex (handle -> profile, held from before a dial's RasDialA until its handle is
// entered, and by the notifier), m_connectionsMutex (the connection table) and m_logMutex are
// leaves.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/config/log_file.h"
#include "engine/dialer/dialer_profile.h"
#include "engine/dialer/dialer_settings.h"
#include "engine/dialer/ras_api.h"

class CSession;

// Dialer log line types (bits of LogOptions).
enum : uint32_t { DIALER_LOG_NORMAL = 1, DIALER_LOG_DEBUG = 2 };

// The texts a session gets when it may not connect out.
inline constexpr const char* kDialerRefusedText =
    "You do not have any access to any active dialers. Contact your system administrator";
inline constexpr const char* kDialerFailedText = "Trellis Dialer failed connection";

class CDialer : public CDialerSettings, public std::enable_shared_from_this<CDialer> {
 public:
  static constexpr uintptr_t kTimerId = 1;
  static constexpr uint32_t kTimerMs = 1000;
  // More failed messages than this within one timer second restart the thread.
  static constexpr uint32_t kMaxExceptionsPerSecond = 20;
  // A restart pauses this long between stop and start.
  static constexpr uint32_t kRestartPauseMs = 3000;
  // A timer pass slower than this writes a debug line.
  static constexpr uint64_t kSlowPassMs = 500;

  CDialer();
  ~CDialer() override;

  // ---- Life -----------------------------------------------------------------------------------

  // Loads the library (RasLibraryPath) unless a table was given, opens the log and starts the
  // thread. Without a complete library the dialer stays inactive: the reason goes to the dialer
  // log and the event log, and every session may connect as if there were no dialer.
  void Start();
  // Wakes every waiting dial, hangs up the links this dialer dialled, ends the thread and the
  // workers. Profiles stay. Never call it from a dialer worker or the dialer thread.
  void Stop();
  // Stop, a pause, the "Dialer" key read again, Start; runs on a thread of its own, so the caller
  // (the engine thread) is never held up.
  void Restart(const CString& key);
  // Waits for a restart under way (tests, shutdown).
  void WaitForRestart();
  bool IsActive() const { return m_active.load(); }
  bool IsStopping() const { return m_stopping.load(); }
  // Uses this table instead of loading the library (tests: a table filled in-process).
  void SetRasApi(std::shared_ptr<const RasApi> api);
  const RasApi& Ras() const { return *m_ras; }

  // Hooks the engine fills: notification 63 (profile name, state, status text) to the consoles,
  // and the dialer restart (WM_USER+11 to the engine thread). Set before Start.
  std::function<void(const CString&, uint32_t, const CString&)> NotifyProfile;
  std::function<void()> RequestRestart;
  // The monotonic millisecond clock of the idle rule and the timer pass (tests).
  void SetTickSource(std::function<uint64_t()> source);
  uint64_t Now() const;

  // ---- Commands ---------------------------------------------------------------------------------

  // Asks the dialer thread to dial (true) or reset (false) the profile of that name on a worker
  // thread (WM_USER+63). False when there is no such profile or no running thread.
  bool PostCommand(const CString& name, bool dial);
  // What the dialer thread does with WM_USER+63: starts the worker (also for tests).
  void OnCommand(bool dial, const CString& name);
  // The timer pass (WM_TIMER of the dialer thread; public for tests).
  void OnTimer();

  // ---- Profiles ---------------------------------------------------------------------------------

  std::shared_ptr<CDialerProfile> FindProfile(const CString& name) const;
  std::vector<std::shared_ptr<CDialerProfile>> GetProfiles() const;
  // The connection test of the profile named so (by Name first, then by phonebook entry, without
  // regard to case); false when none.
  bool IsProfileConnected(const CString& name);

  // ---- The Remote Access side ------------------------------------------------------------------

  void RefreshPhonebookEntries();
  std::vector<CString> GetPhonebookEntries() const;
  // Copies of the live connections (the table is refilled on every call).
  std::vector<RASCONNA> EnumConnections();
  std::optional<RASCONNA> FindConnection(const CString& entry);
  // The PPP address of a connection; false (and a debug line) when the layer has none.
  bool GetProjectedIPAddress(HRASCONN handle, CString& address);
  // The address of the dial-up connection of a phonebook entry: its profile's while connected,
  // else the live connection's of that name; false when none is up.
  bool GetConnectionIPAddress(const CString& entry, CString& address);
  std::vector<CString> GetActiveAddresses();
  // The layer's text for a code ("RAS error %u" when it has none).
  CString ErrorText(DWORD code, size_t bufferSize);

  // ---- Dial on demand (dial_on_demand.cpp) -------------------------------------------------------

  // Returns when the session may connect out; throws X1SocketException(0, text) when it may not.
  void CheckDialFirst(CSession* session);
  // The first profile that passes the session's interface filter, may dial on demand and whose
  // right grants the session; null when none.
  std::shared_ptr<CDialerProfile> FindAcceptableProfile(CSession* session);
  // Whether a name may be looked up now: no dialer, a link up, or no profile that dials on demand.
  bool AllowsLookups();

  // ---- Log -------------------------------------------------------------------------------------

  void OpenLogFile();
  void CloseLogFile();
  std::shared_ptr<CLogFile> GetLogFile() const;
  void Log(uint32_t type, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // ---- For the profiles ------------------------------------------------------------------------

  // Test-and-set of a profile's busy flag; false when it was set.
  bool TryBeginDial(CDialerProfile& profile);
  void EndDial(CDialerProfile& profile);
  // Waits while the profile is busy (or until the dialer stops).
  void WaitWhileBusy(CDialerProfile& profile);
  // Sleeps ms unless the dialer stops first; false when stopping.
  bool Pause(uint32_t ms);
  std::mutex& ConnectionMapMutex() { return m_connMapMutex; }
  // Enters (under ConnectionMapMutex) / removes a dial's handle; never handle 0.
  void EnterHandleLocked(HRASCONN handle, const std::shared_ptr<CDialerProfile>& profile);
  void RemoveHandle(HRASCONN handle);
  size_t GetHandleMapSize();
  // The notifier of asynchronous dials.
  static void Notifier(HRASCONN handle, UINT msg, RASCONNSTATE state, DWORD error, DWORD extError);
  void Notify(const CString& name, uint32_t state, const CString& text);
  void PostRestart();

 protected:
  std::shared_ptr<CDialerProfileSettings> NewProfile() override;
  void OnProfileDropped(const std::shared_ptr<CDialerProfileSettings>& profile) override;

 private:
  class Thread;
  friend class Thread;

  bool LoadLibraryOnce();
  void RunWorker(bool dial, const CString& name);
  void JoinFinishedWorkers(bool all);
  void NoteException();

  std::shared_ptr<const RasApi> m_ras;
  std::atomic<bool> m_active{false};
  std::atomic<bool> m_stopping{false};
  std::mutex m_lifeMutex;  // Start, Stop and the thread pointer
  std::shared_ptr<Thread> m_thread;

  std::mutex m_pauseMutex;
  std::condition_variable m_pauseCv;

  std::mutex m_requestsMutex;  // leaf: profiles' busy flags
  std::condition_variable m_busyCv;

  std::mutex m_connMapMutex;  // leaf
  std::map<HRASCONN, std::weak_ptr<CDialerProfile>> m_connMap;

  std::mutex m_connectionsMutex;  // leaf
  std::vector<RASCONNA> m_connections;

  mutable std::mutex m_logMutex;  // leaf
  std::shared_ptr<CLogFile> m_logFile;

  std::mutex m_workersMutex;
  std::vector<std::pair<std::shared_ptr<std::atomic<bool>>, std::thread>> m_workers;

  std::mutex m_restartMutex;
  std::thread m_restartThread;

  std::function<uint64_t()> m_tickSource;
  // Timer state (dialer thread).
  uint64_t m_ticks = 0;
  bool m_havePass = false;
  uint64_t m_lastPassEnd = 0;
  std::atomic<uint32_t> m_exceptionsThisSecond{0};
};

// The process's dialer for the notifier (the one started last).
void SetNotifierDialer(const std::shared_ptr<CDialer>& dialer);
