#pragma once
// Services: the named, registry-backed objects the engine offers on its ports, and the TCP base
// whose listeners turn every accepted connection into a session thread.
//
// Ownership: services live in the service manager as std::shared_ptr; a session holds its service
// by a shared reference for its whole life, so a service (its access right, its log file, its
// settings) outlives every session it made, whatever order the tables are emptied in.
//
// Threads: settings are edited from the engine thread and from remote-control threads while the
// engine thread's accept callback reads them. Every read or write of the setting fields from
// another thread than the one that owns the object holds the service's own lock (the service is a
// CLockable: CLockGuard g(*service)). The listening sockets belong to the binding map's lock.
//
// Lock order: the service's own lock, then its binding map, then its outgoing-interface list; the
// log file's guard is a leaf. Start, Stop, Restart and Shutdown close and open listeners and must
// be called with none of the service's locks held: closing a listener waits for an accept callback
// of that listener that is running, and the callback takes the service's lock.
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/config/interface.h"
#include "engine/config/lockable.h"
#include "engine/config/log_file.h"
#include "engine/access/right.h"
#include "engine/net/binding.h"
#include "engine/net/x1_socket.h"

class CTCPSession;

// Transports (GetTransport).
enum : uint32_t { SERVICE_TRANSPORT_NONE = 0, SERVICE_TRANSPORT_TCP = 1, SERVICE_TRANSPORT_UDP = 2 };

// Binding options.
enum : uint32_t { BINDING_ALL = 0, BINDING_SPECIFIC = 1, BINDING_LIST = 2 };

// Outgoing interface methods.
enum : uint32_t { INTERFACE_METHOD_ANY = 0, INTERFACE_METHOD_FIXED = 1, INTERFACE_METHOD_ROUND_ROBIN = 2 };

// Running states.
enum : uint32_t { SERVICE_STOPPED = 0, SERVICE_RUNNING = 1, SERVICE_PARTIAL = 2 };

// Service log event types (the bits of LogOptions). Sessions write 2..32 into the same file.
enum : uint32_t {
  LOG_CONFIGURATION = 1,
  LOG_FAILED_AUTHORISATION = 2,
  LOG_CREATED = 4,
  LOG_REQUESTED = 8,
  LOG_TRAFFIC = 16,
  LOG_TERMINATED = 32,
  LOG_INFORMATION = 64,
  LOG_ERROR = 128,
  LOG_DEBUG = 512,
};

// Upstream methods a TCP service offers its sessions (ConnectMethodsOffered bits) and the stored
// ConnectMethod values.
enum : uint32_t {
  CONNECT_DIRECT = 0,
  CONNECT_HTTP_PROXY = 1,
  CONNECT_SOCKS4 = 2,
  CONNECT_HTTP_TUNNEL = 4,
};

// The registry key below the root that holds one sub-key per service.
inline constexpr const char* kServicesKey = "Services";

// The texts a service's rights are given back after every load.
inline constexpr const char* kServiceAccessRightText = "Users can access this service";
inline constexpr const char* kServiceStartStopRightText = "Users can start/stop this service";
inline constexpr const char* kServiceEditRightText = "Users can modify this service";

class CService : public CLockableObject, public std::enable_shared_from_this<CService> {
  TL_DECLARE_SERIAL(CService)

 public:
  static constexpr uint32_t kDefaultSessionTimeout = 60;
  static constexpr uint32_t kLoadedSessionTimeout = 180;  // a stored service without the value
  static constexpr uint32_t kDefaultSessionLimit = 5;
  static constexpr uint32_t kDefaultLogOptions = 219;
  // A name longer than this (or empty, or holding "\\", "/" or control characters) cannot name a
  // registry key or a log file and is refused.
  static constexpr size_t kMaxNameLength = 255;

  CService();
  CService(uint32_t port, const CString& name, const CString& description);
  ~CService() override;
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  static bool IsValidName(const CString& name);

  // ---- Virtual operations ---------------------------------------------------------------------

  virtual uint32_t GetTransport() const { return SERVICE_TRANSPORT_NONE; }
  // Every interface kind but dial-up.
  virtual bool AcceptsInterface(const CInterface& entry) const;
  // Checks the bindings against the engine's interface list (info): option 1 without an address
  // becomes automatic binding, bindings whose interface has gone are removed; saves when changed.
  virtual void ValidateBindings(CSysInfo& info);
  // With option 0, or 1 without an address: one binding per internal or private interface of the
  // list (option 2), then saves.
  virtual void AutoBind(CSysInfo& info);
  // Engine start (TCP: Start when enabled). Shutdown: engine stop (TCP: Stop); the manager then
  // drops its reference and the object goes with the last session that holds it.
  virtual void Startup() {}
  virtual void Shutdown() {}
  virtual void Start();
  virtual void Stop();
  virtual void Restart();
  virtual CString GetName() const;
  // False (nothing changed) for a name IsValidName refuses.
  virtual bool SetName(const CString& name);
  virtual CString GetDescription() const;
  virtual void SetDescription(const CString& description);
  virtual bool HasNonProxySettings() const { return true; }
  virtual bool HasMappings() const { return false; }
  virtual bool HasOutgoingInterfaces() const { return true; }
  // key: the service's key relative to the registry root ("Services\\<name>"). Derived services
  // call the base first, then write or read their own values. False when a write failed.
  virtual bool SaveSettings(const CString& key);
  virtual void LoadSettings(const CString& key);
  virtual void UpgradeLegacySettings(const CString& key);

  void Serialize(CArchive& ar) override;
  const std::string* GetKeyName() const override { return &Name; }

  // ---- Listeners ------------------------------------------------------------------------------

  // Opens one listener of the service's transport on its port at a dotted address (throws
  // X1SocketException). TCP listeners always allow the address to be reused (a restart must not
  // wait for old connections in TIME_WAIT); the flag is kept for the stored ReuseAddr setting.
  void OpenListener(X1Socket& socket, const CString& address, bool reuse);
  // The service's listener with that descriptor (its own, or a binding's with option 2), or null.
  X1Socket* FindBindingSocket(int handle);
  // Whether the service listens on address:port now.
  bool IsBoundTo(const CString& address, uint32_t port);

  void InsertBinding(std::shared_ptr<CBinding> binding);
  void RemoveBinding(const CString& address);
  void DeleteAllBindings();
  void AddOutgoingInterface(std::shared_ptr<CInterface> entry);
  // The local interface a new session connects out from (method 0: any address; 1: the fixed
  // interface; 2: the next of the list in turn, any address when the list is empty).
  void GetOutgoingInterface(CInterface& out);

  // ---- Log ------------------------------------------------------------------------------------

  // (Re)opens today's log file; logging is switched off when it cannot be opened.
  void OpenLogFile();
  void CloseLogFile();
  // The open log file (shared with the sessions and the queued lines), or null.
  std::shared_ptr<CLogFile> GetLogFile() const;
  // One service line of type 1, 64, 128 or 512 when the file is open and the type is selected.
  // The format comes from the code; CR, LF and TAB inside the formatted text become spaces so a
  // value can never forge a line or a field.
  void Log(uint32_t type, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // ---- State ----------------------------------------------------------------------------------

  uint32_t GetRunningState() const { return m_runningState.load(); }
  uint32_t GetReportedRunningState() const { return m_reportedRunningState; }
  std::array<CRight*, 3> GetRights() { return {&AccessRights, &StartStopRights, &EditRights}; }

  // ---- Settings (registry value names; guarded by the service's lock) ------------------------

  uint32_t PortNumber = 0;
  CString Name;
  CString Description;
  uint32_t BindingOption = BINDING_ALL;
  CString SpecificBinding;
  uint32_t ReuseAddr = 0;
  uint32_t InterfaceMethod = INTERFACE_METHOD_ANY;
  uint32_t Enabled = 1;
  uint32_t TimeOutSessions = 1;
  uint32_t SessionTimeout = kDefaultSessionTimeout;
  uint32_t LimitSessions = 0;
  uint32_t SessionLimit = kDefaultSessionLimit;
  uint32_t NonProxyRequestAction = 0;
  CString NonProxyRequestHost;
  uint32_t NonProxyRequestPort = 0;
  uint32_t LoggingEnabled = 1;
  uint32_t LogOptions = kDefaultLogOptions;
  uint32_t RestartNeeded = 0;
  CRight AccessRights;
  CRight StartStopRights;
  CRight EditRights;
  CLockableMap Bindings;       // interface name -> CBinding
  CLockableList Interfaces;    // CInterface, the list of method 2
  CInterface FixedInterface{INTERFACE_IP, "0.0.0.0"};

 protected:
  // Sets the three rights' types and texts (after construction and every load).
  void ResetRightIdentities();
  void SetRunningState(uint32_t state) { m_runningState.store(state); }

  X1Socket m_listener;  // options 0 and 1; guarded by the binding map's lock

 private:
  void WriteLogLine(uint32_t type, const CString& text);

  std::atomic<uint32_t> m_runningState{SERVICE_STOPPED};
  uint32_t m_reportedRunningState = SERVICE_STOPPED;
  mutable std::mutex m_logMutex;  // leaf: guards m_logFile
  std::shared_ptr<CLogFile> m_logFile;
};

// Connection settings a two-end session copies from its TCP service.
struct CConnectSettings {
  uint32_t ConnectMethod = CONNECT_DIRECT;
  CString ProxyServer;
  uint32_t ProxyPort = 0;
  CString SOCKS4Password;
  uint32_t BypassProxyOnLocal = 0;
};

class CTCPService : public CService {
  TL_DECLARE_SERIAL(CTCPService)

 public:
  // Sessions accepted while this many threads of the process are running are refused at once:
  // a flood of connections must not exhaust threads and descriptors for the whole engine.
  static constexpr size_t kMaxProcessThreads = 4000;

  CTCPService();
  CTCPService(uint32_t port, const CString& name, const CString& description);
  ~CTCPService() override;

  uint32_t GetTransport() const override { return SERVICE_TRANSPORT_TCP; }
  void Startup() override;
  void Shutdown() override;
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  // A new session of the service's own class for an accepted descriptor, or null (the base).
  // The descriptor is the callee's from the call on in every case: an override hands it to the
  // session's constructor first (the session closes it if it never starts) and closes it itself
  // when it makes no session.
  virtual std::shared_ptr<CTCPSession> CreateSession(int handle);
  // Gives a new session what it needs of this service before its thread starts: the base applies
  // the service's non-proxy settings, access right, log, outgoing interface and time-out. Two-end
  // services extend it with the connection settings (GetConnectSettings).
  virtual void PrepareSession(CTCPSession& session);

  CConnectSettings GetConnectSettings() const;

  // The sessions this service made whose threads have not ended.
  std::vector<std::shared_ptr<CTCPSession>> GetSessions();
  size_t GetSessionCount();
  // Entries the service still tracks, ended sessions not yet dropped included (no pruning here).
  size_t GetTrackedSessionEntries();
  // Waits until every session this service made has ended; false on time-out.
  bool WaitForSessions(int timeoutMs);

  // Runs on the notification (engine) thread for the events of the service's listeners.
  static void SocketCallback(void* context, X1Socket* socket, uint32_t event);

  // Offered upstream methods: set by derived constructors, neither stored nor archived.
  uint32_t ConnectMethodsOffered = 0;
  uint32_t ConnectMethod = CONNECT_DIRECT;
  CString ProxyServer;
  uint32_t ProxyPort = 0;
  CString SOCKS4Password;
  uint32_t BypassProxyOnLocal = 0;

 protected:
  // Accepts one pending connection of a listener and starts its session.
  void OnAcceptEvent(X1Socket& listener);

 private:
  std::mutex m_sessionsMutex;  // leaf
  std::vector<std::weak_ptr<CTCPSession>> m_sessions;
  size_t m_sessionsPruneAt = 64;
};
