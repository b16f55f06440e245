#pragma once
// The one engine object: a thread with a message loop that owns every table of the engine, loads
// and saves the whole configuration, runs the two-second housekeeping timer, tells the connected
// consoles what changes and stops everything in a fixed order.
//
// The engine thread is also the socket library's notification thread: listeners' accept
// callbacks run on it.
//
// Ownership: machines, services, sessions and leases are held by std::shared_ptr in the tables
// below; anything that must outlive a walk is copied out of its table under the lock and used
// after the lock is given up.
//
// Lock order: machine table, then one machine, then the user database. The three lease tables
// are always taken in the order address, computer name, hardware address. The engine's save lock
// is taken before any table.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/access/location.h"
#include "engine/access/right.h"
#include "engine/access/user_db.h"
#include "engine/config/interface.h"
#include "engine/config/lockable.h"
#include "engine/core/interfaces.h"
#include "engine/core/machine.h"
#include "platform/msg_thread.h"

class CDHCPLease;
class CDialer;
class CScheduler;
class ISchedulerHost;
class CFilterComponent;
class CLogManager;
class CMachine;
class CMachineMap;
class CService;
class CServiceManager;
class CSession;
class CTLRCPMessage;
class CWWWCache;

// Notification codes the engine sends itself (machine and session codes: machine.h).
enum : uint32_t {
  kNotifyDialerProfile = 63,
  kNotifyError = 90,
  kNotifyCacheChanged = 131,
};

// A console that receives notifications (the remote-control session implements it). The engine
// never sends on its own thread: QueueNotification hands the message to the monitor's thread.
class CEngineMonitor {
 public:
  virtual ~CEngineMonitor() = default;
  // Queues one notification; false when it could not be queued (the console has gone).
  virtual bool QueueNotification(uint32_t code, const CString& text1, const CString& text2,
                                 const CString& text3) = 0;
  // The client address of the console's own machine.
  virtual CString GetMonitorAddress() const = 0;
};

class CTrellisEngine : public platform::MsgThread, public CSessionHost {
 public:
  static constexpr uintptr_t kTimerId = 1;
  static constexpr uint32_t kTimerIntervalMs = 2000;
  // A tick that comes sooner than this after the end of the last processed pass is skipped.
  static constexpr uint64_t kMinTickSpacingMs = 1000;
  // A pass slower than this writes a debug line.
  static constexpr uint64_t kSlowPassMs = 2000;
  // Every this many processed passes the lease pass runs (the first pass included).
  static constexpr uint64_t kLeasePassEvery = 30;
  // Every this many processed passes the users' accounting values are saved.
  static constexpr uint64_t kAccountsSaveEvery = 60;
  // Shutdown waits at most this long for the sessions' threads to end before it deletes the
  // services they use.
  static constexpr int kSessionDrainMs = 8000;
  // One ICMP echo waits this long.
  static constexpr uint32_t kPingTimeoutMs = 2000;
  static constexpr uint32_t kDefaultSOCKSConnectTimeoutMs = 30000;
  static constexpr uint32_t kConfigurationVersion = 513;

  CTrellisEngine();
  ~CTrellisEngine() override;

  // ---- Configuration ------------------------------------------------------------------------

  // Reads everything from the registry, with the first-run ("Setup" Mode 1) and upgrade (Mode 2)
  // defaults. Run by the engine thread's start; public for tests.
  void LoadConfiguration();
  // Writes everything. A save that meets another one waits for it and then writes again, so no
  // change is lost; once Shutdown has begun nothing is written (the tables are being emptied).
  // False when skipped for shutdown or when a part could not be written.
  bool SaveConfiguration();
  // Reads the stored configuration again and applies it to the running engine as a difference, the
  // way a console's uploads are applied (engine_reload.cpp): users and groups (accounting stays the
  // engine's; the built-in accounts are never removed), locations and machine names, the rights,
  // the services (an unchanged one keeps running untouched, a changed one is a new object swapped
  // in and started in its place, one no longer stored is stopped and removed, a new one is added
  // and started; the consoles' own service is never removed), leases the engine does not hold yet,
  // the SOCKS time-out and the cache settings. Each part is read whole before it is applied, so no
  // object is changed half-read or freed under a session that uses it. The "Setup" first-run values
  // act at start-up only. Runs exclusive with saving and shutting down. False when skipped for
  // shutdown or when a part could not be applied (the parts before it stay applied).
  bool ReloadConfiguration();

  // How a user or group read elsewhere (a console's frame, the registry) joins the live database.
  // Add refuses an existing name; Modify of an unknown name drops the object (true: nothing is
  // wrong); Replace adds or changes.
  enum class StoreMode { Add, Modify, Replace };
  // The engine's accounting of the user (traffic, time on line, closing balance) and its audit
  // file stay; keepPassword keeps the live password (a new user then gets an empty one). The user
  // is saved under its key.
  bool StoreUser(const CString& name, const CUser& in, StoreMode mode, bool keepPassword);
  bool StoreGroup(const CString& name, const CGroup& in, StoreMode mode);
  // Puts fresh in the place of live: live's listeners close, fresh enters the service manager under
  // its lock, and listens when start is set. Sessions of live finish under the settings they
  // started with. `why` is the service log's line.
  void ReplaceService(const std::shared_ptr<CService>& live, const std::shared_ptr<CService>& fresh, bool start,
                      const char* why);

  // ---- Shutdown -----------------------------------------------------------------------------

  // Stops the engine: timer, listeners, sessions (waited for), services, machines, users,
  // locations, monitors, log writer, leases; then lets the engine thread end. One-shot: a second
  // call, from any thread, waits until the first has finished and returns. With exitProcess set
  // (a console's shutdown request) the process is asked to stop through its normal stop path
  // instead of being ended under its running threads.
  void Shutdown(int exitProcess);
  bool IsShuttingDown() const { return m_shuttingDown.load(); }

  // ---- Timer --------------------------------------------------------------------------------

  // The housekeeping pass (WM_TIMER with kTimerId). Ids other than the engine's timer are
  // ignored. Public for tests, which also replace the clock.
  void OnTimer(uintptr_t timerId);
  void SetTickSource(std::function<uint64_t()> source);
  // Runs in the lease pass between marking the expired leases and dropping their registry keys
  // (tests: a renewal that comes in between).
  void SetLeasePassHook(std::function<void()> hook) { m_leasePassHook = std::move(hook); }
  uint64_t GetPassCount() const { return m_passCount.load(); }
  uintptr_t GetTimerId() const { return m_timerId.load(); }

  // ---- Notifications ------------------------------------------------------------------------

  void NotifyControllers(uint32_t code, const CString& text1, const CString& text2, const CString& text3) override;
  bool HasControllers() const override { return m_monitorCount.load(std::memory_order_relaxed) != 0; }
  void NotifyMachineAdded(const CString& address, const CString& user, uint32_t level);
  void NotifyMachineUpdated(const CString& address, const CString& user, uint32_t level);
  void NotifyMachineDeleted(const CString& address, uint32_t connectedSeconds);
  void NotifySessionAdded(const CString& address, uint32_t sessionNumber, const CString& text);
  void NotifySessionChanged(const CString& address, uint32_t sessionNumber, const CString& text);
  void NotifySessionDeleted(const CString& address, uint32_t sessionNumber, const CString& text);
  void NotifyError(const CString& title, const CString& text);
  void NotifyDialerProfile(const CString& text1, uint32_t number, const CString& text3);
  void ForwardNotification(const CTLRCPMessage& message);
  void NotifyMonitorsAtAddress(const CString& address, uint32_t code, const CString& text1, const CString& text2,
                               const CString& text3);
  // Every console session of the machine at that address, registered for notifications or not (a
  // console's message or signal to another console).
  void NotifyConsolesAtAddress(const CString& address, uint32_t code, const CString& text1, const CString& text2,
                               const CString& text3);

  // A session joins the monitor list when it is a console monitor and not yet listed.
  bool AddMonitor(const std::shared_ptr<CObject>& session);
  bool RemoveMonitor(const CObject* session);
  size_t GetMonitorCount() const { return m_monitors.GetCount(); }

  // ---- Machines (lock order: table, machine, user database) ----------------------------------

  // Finds or makes the machine of the session's client address and gives it to the session.
  // 1 when the session has a machine, 0 on failure.
  int AttachSessionToMachine(const std::shared_ptr<CSession>& session);
  // Sets the machine's DHCP identity from a current lease of its address and its assumed user and
  // level. Runs with the machine table locked; takes the lease, name-map, location and user locks
  // one after the other.
  void IdentifyMachineUser(CMachine& machine) override;
  // Removes the machine of that address from the table and ends every session it holds (exit code
  // all ones), as deleting a machine does; its connected time is credited and 73 sent. The object
  // goes when the last reference to it does, never under the table's lock.
  bool RemoveMachine(const CString& address);

  // ---- Users --------------------------------------------------------------------------------

  // The user (group 0) or group (group 1) of that name, or null.
  std::shared_ptr<CFilterComponent> FindUser(const CString& name, int group) const;
  // Removes the user, its locations and machine-name entries; every machine assumed to be that
  // user has its sessions ended through their normal path, and goes when empty.
  bool DeleteUser(const CString& name);
  // Removes the group's machine-name entries and locations, then the group.
  bool DeleteGroup(const CString& name);

  // ---- Network helpers ----------------------------------------------------------------------

  // Before a session connects out: holds its idle check while the dialer brings the outside
  // connection up (it may dial a profile first), then restarts its idle deadline. Throws the
  // dialer's X1SocketException when the session may not connect.
  void CheckDialFirst(CSession* session);
  // Dotted text, or a name lookup when the dialer allows one (no dialer, a link up, or no profile
  // that dials on demand: a lookup over a link that is down would only wait and fail); host order;
  // 0xFFFFFFFF when refused or unknown.
  uint32_t ResolveHost(const CString& host) const;
  // The same, but a failure is empty rather than an address.
  std::optional<uint32_t> LookupHost(const CString& host) const;
  // As ResolveHost, but a failure throws X1SocketException(WSAEINVAL) with the operator's
  // "HostnameLookupFailed" text.
  uint32_t ResolveHostOrThrow(const CString& host) const;
  // One ICMP echo (2 s); false without an answer or without ICMP.
  bool Ping(uint32_t addressHostOrder) const;
  bool Ping(const CString& address) const;

  // ---- Leases -------------------------------------------------------------------------------

  void AddLease(const std::shared_ptr<CDHCPLease>& lease);
  // Out of the three tables; its registry key goes too.
  bool RemoveLease(const CString& address);
  // Every lease of that scope (dynamic and reserved) out of the tables and the registry; how many.
  size_t RemoveLeasesOfScope(uint32_t scopeId);
  std::shared_ptr<CDHCPLease> FindLease(const CString& address) const;
  // By computer name first (ignoring case), then by hardware address.
  std::shared_ptr<CDHCPLease> FindLeaseByClient(const CString& computerName, const CString& hardwareAddress) const;
  size_t GetLeaseCount() const { return m_leasesByAddress.GetCount(); }

  // ---- Tables -------------------------------------------------------------------------------

  CMachineMap& GetMachineMap() override { return *m_machines; }
  CGroupMemberDatabase* GetUserDatabase() override { return &m_users; }
  CGroupMemberDatabase& Users() { return m_users; }
  CLocationArray& GetLocations() { return m_locations; }
  CLockableStringMap& GetMachineNameMap() { return m_machineNames; }
  CServiceManager& GetServiceManager() { return *m_services; }
  CSysInfo& GetSysInfo() { return m_sysInfo; }
  // Why the services that serve only the inside must not bind themselves to (or make scopes on)
  // the interface of that address, as the routes stand now: it carries the default route or the
  // route to the resolver's name servers or to an upstream proxy a service names by address.
  // Empty for an inside interface.
  CString GetUpstreamReason(uint32_t address) const;
  // The process's log writer; null before start-up and after shutdown.
  std::shared_ptr<CLogManager> GetLogManager() const;
  // The engine's right of that code (0-10, 12), or null.
  CRight* GetRight(int32_t code);
  // What a rights check needs of the engine: the user database and the default rights.
  AccessContext GetAccessContext() override;
  uint32_t GetDownstreamSOCKSConnectTimeout() const { return m_socksConnectTimeout.load(); }
  // The shared web cache (settings loaded with the configuration, index opened at start-up, shut
  // down after the sessions). Sessions hold it by shared_ptr, so it outlives every writer.
  std::shared_ptr<CWWWCache> GetWWWCache() const { return m_cache; }
  // The dialer (settings loaded with the configuration, thread started at start-up, stopped with
  // the engine).
  std::shared_ptr<CDialer> GetDialer() const { return m_dialer; }
  // The scheduler (loaded with the configuration, its thread started after the log manager and
  // stopped first at shutdown).
  std::shared_ptr<CScheduler> GetScheduler() const { return m_scheduler; }

 protected:
  bool InitInstance() override;
  int Run() override;
  int ExitInstance() override;
  void OnMessage(platform::Message& msg) override;
  // WM_RESTART_DIALER: the dialer stops, pauses and starts again with its stored settings, on a
  // thread of its own (the accept callbacks share this thread).
  void RestartDialer();

 private:
  void StartDialer();
  void CreateFirstRunServices();
  void CreateUpgradeServices();
  void AddDefaultService(const std::shared_ptr<CService>& service);
  void LoadRights();
  void SaveRights() const;
  void FillDefaultRights();
  // keepLive: a stored lease of an address the tables already hold is passed over (a reload must
  // not put back an older record of a lease the engine keeps changing).
  void LoadLeases(bool keepLive = false);
  bool ReloadUsers();
  bool ReloadAssumptions();
  bool ReloadRights();
  bool ReloadServices();
  // A debug line of the engine's own (the system event log in this build).
  static void Debug(const CString& text);
  void LeasePass();
  // The resolver's name servers and the upstream proxies of the TCP services (by address).
  std::vector<UpstreamHost> UpstreamHosts() const;
  bool DoSave();
  void ShutdownSteps();
  bool WaitForSessionsToEnd(int timeoutMs);
  uint64_t Now() const;

  // Members in their construction order; destruction runs backwards. The scheduler, the cache
  // and the dialer take their places after the service manager as they become part of the engine.
  std::unique_ptr<CMachineMap> m_machines;
  CLockableList m_monitors;  // changed only by AddMonitor, RemoveMonitor and the stop, which keep the count
  std::atomic<size_t> m_monitorCount{0};
  CGroupMemberDatabase m_users;
  CLocationArray m_locations;
  CLockableStringMap m_machineNames;
  std::unique_ptr<CServiceManager> m_services;
  std::shared_ptr<CWWWCache> m_cache;
  std::shared_ptr<CDialer> m_dialer;
  std::unique_ptr<ISchedulerHost> m_schedulerHost;
  std::shared_ptr<CScheduler> m_scheduler;
  std::shared_ptr<CLogManager> m_logManager;
  CSysInfo m_sysInfo;
  CLockableMap m_leasesByAddress;
  CLockableMap m_leasesByName;
  CLockableMap m_leasesByHardware;
  std::atomic<uintptr_t> m_timerId{0};
  std::atomic<bool> m_quitAllowed{false};
  std::array<CRight, 12> m_rights;
  std::atomic<uint32_t> m_socksConnectTimeout{kDefaultSOCKSConnectTimeoutMs};
  bool m_icmpAvailable = false;

  // Saving against shutting down: a save holds m_saveMutex; Shutdown takes it once and never
  // gives it back, so every later save is skipped.
  std::mutex m_saveMutex;
  std::atomic<bool> m_shuttingDown{false};
  mutable std::mutex m_shutdownMutex;
  std::condition_variable m_shutdownDone;
  bool m_shutdownStarted = false;
  std::thread::id m_shutdownThread;
  bool m_shutdownFinished = false;

  // Timer state (engine thread only, apart from the counters read by tests).
  std::function<uint64_t()> m_tickSource;
  std::function<void()> m_leasePassHook;
  bool m_havePass = false;
  uint64_t m_lastPassEnd = 0;
  std::atomic<uint64_t> m_passCount{0};
};

// What the scheduler's actions do to this engine (engine_scheduler.cpp).
std::unique_ptr<ISchedulerHost> MakeEngineSchedulerHost(CTrellisEngine& engine);


// The process's engine object, created on first use.
std::shared_ptr<CTrellisEngine> TheEngine();
// Replaces the process's engine object (tests run one engine after another in one process).
void SetTheEngine(std::shared_ptr<CTrellisEngine> engine);
