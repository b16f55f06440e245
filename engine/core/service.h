#pragma once
// Running services: the engine's half of every service, joined with its settings (service_settings.h)
// in one object. The runtime bases here listen, turn every accepted connection into a session
// thread, write the service log and keep the bindings in step with the interface list; the
// settings they act on are reached through Settings().
//
// A service class joins its settings class and a runtime base (TRunningService) and gives the
// settings' stored class name the engine's factory (CProgramFactory), so a service read from the
// registry or from a console's frame is a running one here and plain settings in the console.
//
// Ownership: services live in the service manager as std::shared_ptr; a session holds its service
// by a shared reference for its whole life, so a service (its access right, its log file, its
// settings) outlives every session it made, whatever order the tables are emptied in.
//
// Threads: settings are edited from the engine thread and from remote-control threads while the
// engine thread's accept callback reads them, under the settings' own lock. The listening sockets
// belong to the binding map's lock.
//
// Lock order: the settings' lock, then its binding map, then its outgoing-interface list; the log
// file's guard is a leaf. Start, Stop, Restart and Shutdown close and open listeners and must be
// called with none of the service's locks held: closing a listener waits for an accept callback
// of that listener that is running, and the callback takes the settings' lock.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/config/log_file.h"
#include "engine/core/service_settings.h"
#include "engine/net/x1_socket.h"

class CTCPSession;

// The runtime base of every service.
class CService : public std::enable_shared_from_this<CService> {
 public:
  explicit CService(CServiceSettings& settings);
  virtual ~CService();
  CService(const CService&) = delete;
  CService& operator=(const CService&) = delete;

  CServiceSettings& Settings() { return m_settings; }
  const CServiceSettings& Settings() const { return m_settings; }

  // Checks the bindings against the engine's interface list (info): option 1 without an address
  // (and option 0 of a service for the inside only) becomes automatic binding, bindings whose
  // interface has gone are removed; saves when changed.
  virtual void ValidateBindings(CSysInfo& info);
  // With option 0, or 1 without an address: one binding per internal or private interface of the
  // list (option 2), then saves. A service for the inside only (ServesInsideOnly) leaves out the
  // interfaces that face the outside and logs each with its reason.
  virtual void AutoBind(CSysInfo& info);
  // Engine start (TCP: Start when enabled). Shutdown: engine stop (TCP: Stop); the manager then
  // drops its reference and the object goes with the last session that holds it.
  virtual void Startup() {}
  virtual void Shutdown() {}
  virtual void Start();
  virtual void Stop();
  virtual void Restart();
  // This service takes the place of previous (a console's change, a reload from the registry),
  // before it starts: what previous leaves behind that this one no longer has goes here. Nothing
  // in the base.
  virtual void TakeOverFrom(CService& previous) {}

  // ---- Listeners ------------------------------------------------------------------------------

  // Opens one listener of the service's transport on its port at a dotted address (throws
  // X1SocketException). TCP listeners always allow the address to be reused (a restart must not
  // wait for old connections in TIME_WAIT); the flag is kept for the stored ReuseAddr setting.
  void OpenListener(X1Socket& socket, const CString& address, bool reuse);
  // The service's listener with that descriptor (its own, or a binding's with option 2), or null.
  X1Socket* FindBindingSocket(int handle);
  // The listener whose current event msg is (the event is then taken), or null: a datagram
  // service finds out this way whether a read came from a client or from one of its sessions.
  X1Socket* TakeListenerEvent(const platform::Message& msg);
  // Whether the service listens on address:port now.
  bool IsBoundTo(const CString& address, uint32_t port);
  // Whether one of the service's open listeners takes what is sent to address:port (host order):
  // one bound to that address or to every address. For an address of this host only: a listener
  // on every address takes nothing sent elsewhere.
  bool ListensOn(uint32_t address, uint32_t port);

  // ---- Roads back into the service -------------------------------------------------------------

  // A session of this service was refused a connection to destination because it would have come
  // back into this service's own listener (road: the services it would have passed through). The
  // first refusal after each start is logged and goes to the event log; the stop tells the event
  // log how many there were, so a client repeating it floods neither.
  void ReportLoopRefused(const CString& destination, const CString& road);

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

 protected:
  void SetRunningState(uint32_t state);
  // A listener has been made and is about to be bound to address ("0.0.0.0" for every address):
  // a service may set socket options here or bind elsewhere by changing *bindAddress ("" for the
  // wildcard). Runs on the thread that opens the listener; nothing here.
  virtual void PrepareListener(X1Socket& socket, const CString& address, CString* bindAddress) {}

  X1Socket m_listener;  // options 0 and 1; guarded by the binding map's lock

 private:
  using Listeners = std::map<CString, std::unique_ptr<X1Socket>>;

  void WriteLogLine(uint32_t type, const CString& text);
  void ReportStartFailure(const CString& address, uint32_t port, const X1SocketException& e);
  // The listener of a binding of option 2, made on first use (binding map's lock held).
  X1Socket& BindingListener(const CString& name);
  // Takes the listeners of the named bindings (all when names is null) out of the table; the
  // caller closes them once every lock is given up.
  Listeners TakeListeners(const std::vector<CString>* names);
  static void CloseListeners(Listeners& listeners);

  CServiceSettings& m_settings;
  std::atomic<uint64_t> m_loopsRefused{0};  // since the last start
  Listeners m_bindingListeners;             // option 2, by binding name; guarded by the binding map's lock
  mutable std::mutex m_logMutex;            // leaf: guards m_logFile
  std::shared_ptr<CLogFile> m_logFile;
};

class CTCPService : public CService {
 public:
  // Sessions accepted while this many threads of the process are running are refused at once:
  // a flood of connections must not exhaust threads and descriptors for the whole engine. Read
  // off the system's limits on first use: a session holds about three descriptors (its
  // connection, its thread's readiness set and wake-up), so a third of the descriptor limit, and
  // at most half of the system's threads.
  static size_t MaxProcessThreads();

  explicit CTCPService(CTCPServiceSettings& settings);
  ~CTCPService() override;

  CTCPServiceSettings& Settings() { return m_tcpSettings; }
  const CTCPServiceSettings& Settings() const { return m_tcpSettings; }

  void Startup() override;
  void Shutdown() override;

  // A new session of the service's own class for an accepted descriptor, or null (the base).
  // The descriptor is the callee's from the call on in every case: an override hands it to the
  // session's constructor first (the session closes it if it never starts) and closes it itself
  // when it makes no session.
  virtual std::shared_ptr<CTCPSession> CreateSession(int handle);
  // Gives a new session what it needs of this service before its thread starts: the service's
  // non-proxy settings, access right, log, outgoing interface and time-out, and for a two-end
  // session the connection settings (ConnectMethod, ProxyServer, ProxyPort, SOCKS4Password,
  // BypassProxyOnLocal). Services extend it with their own settings.
  virtual void PrepareSession(CTCPSession& session);

  // The sessions this service made whose threads have not ended.
  std::vector<std::shared_ptr<CTCPSession>> GetSessions();
  size_t GetSessionCount();
  // Entries the service still tracks, ended sessions not yet dropped included (no pruning here).
  size_t GetTrackedSessionEntries();
  // Waits until every session this service made has ended; false on time-out.
  bool WaitForSessions(int timeoutMs);

  // Runs on the notification (engine) thread for the events of the service's listeners.
  static void SocketCallback(void* context, X1Socket* socket, uint32_t event);

  // Called by an ending session of this service on its own thread: when a connection waits on the
  // service's listener, takes it and starts its session on that same OS thread once the ending
  // one is gone, so a busy service hands connections on without waking another thread. Does
  // nothing when the service does not take part (TakesConnectionsOnSessionEnd), when the listener
  // is closed or busy elsewhere, or nothing waits. True when a session was started.
  bool TakeNextConnection();
  // Called by an ending session of this service on its own thread when TakeNextConnection found
  // nothing: once the session has ended, its OS thread waits a while on the listener for the next
  // connection and starts that session itself, instead of the engine thread waking to accept it
  // and waking a parked thread to run it. A stop of the service (its listener closing) ends every
  // wait at once. True when the wait was arranged.
  bool WaitForNextConnectionAfterCurrent();
  // Threads that wait so at a time. One is what a quiet service needs; a busy one is served
  // faster by the engine thread and its ending sessions, since waiters are woken one after
  // another (one connection, one wake-up), and while any waits the engine thread is not told of
  // connections.
  static constexpr unsigned kMaxConnectionWaiters = 1;
  // How long that wait lasts at most; the thread then parks as usual.
  static constexpr int kNextConnectionWaitMs = 1000;

 protected:
  // Accepts one pending connection of a listener and starts its session.
  void OnAcceptEvent(X1Socket& listener);
  // Whether TakeNextConnection may make this service's sessions on an ending session's thread
  // rather than only on the engine thread (its CreateSession and PrepareSession must allow it).
  virtual bool TakesConnectionsOnSessionEnd() const { return false; }

 private:
  // Where a new session's thread runs: on a new or parked OS thread; on the ending session's own
  // once it has ended (that session still counts against the limits until then); on the calling
  // OS thread between two thread objects (nothing ending counts).
  enum class SessionStart { kNewThread, kAfterEndingSession, kBetweenSessions };
  // Makes, registers and starts the session of an accepted descriptor (which it owns from here).
  // Null when it was refused or could not start.
  std::shared_ptr<CTCPSession> StartSessionFor(int handle, SessionStart where);
  // The body of the wait WaitForNextConnectionAfterCurrent arranges.
  void WaitForNextConnection();

  CTCPServiceSettings& m_tcpSettings;
  std::atomic<bool> m_outOfDescriptors{false};
  std::atomic<unsigned> m_connectionWaiters{0};  // threads waiting on the listener for the next connection
  std::mutex m_sessionsMutex;  // leaf
  std::vector<std::weak_ptr<CTCPSession>> m_sessions;
  size_t m_sessionsPruneAt = 64;
};

// A running service: settings class S joined with runtime base R (CService or CTCPService), one
// object. The settings come first, so they exist before the runtime base is given them.
template <class S, class R>
class TRunningService : public S, public R {
 public:
  template <class... A>
  explicit TRunningService(A&&... settingsArgs) : S(std::forward<A>(settingsArgs)...), R(static_cast<S&>(*this)) {}

  S& Settings() { return *this; }
  const S& Settings() const { return *this; }
};

// The factory a program gives a stored class name (CProgramFactory) for a running service class.
template <class T>
std::shared_ptr<CObject> MakeRunningService() {
  return std::make_shared<T>();
}
