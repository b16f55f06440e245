#pragma once
// Client sessions: one client connection (TCP) or one client address and port (UDP).
//
// A CSession is the session record every service shares: number, start time, client, user and
// security level copied from the client's machine, outgoing interface, idle and end-time limits,
// the rights object and its last answer, the service's log file and mask, traffic counters, and
// the session's lines in the service log and the user's audit file.
//
// CTCPSession is a thread per connection (a MsgThread): it owns the accepted client socket, whose
// events (read and close) arrive on its own queue; it is ended and freed on its own thread. Other
// threads end it only through Terminate, which is safe from any thread: an atomic end guard lets
// exactly one caller act, so lines, crediting and the quit happen once.
//
// Ownership: sessions are held by shared_ptr (a running TCP session by its own thread), machines
// keep them weakly; a session keeps its machine, its service, its rights object and its log file
// alive by shared_ptr, so none of them can be freed under a running session.
//
// Lifecycle of a TCP session: the service makes it on the engine thread with the accepted
// descriptor, hands it its settings and calls OnActivity, which starts the thread. InitInstance
// attaches the socket, joins the machine, writes "Created", checks rights at the accept stage,
// selects read and close and calls OnStart. Terminate leads through the machine to Exit, which
// closes the socket and posts WM_QUIT; ExitInstance makes sure the session has left its machine
// (whatever ended the thread) and calls OnEnd.
//
// Log lines (service log, when the type is in the mask and a file is open), fields separated by
// tabs, "%c" time first; texts from clients have CR, LF and TAB replaced by spaces:
//   2 Failed authorisation, 4 Created, 8 Requested, 16 Traffic, 32 Terminated, 128 Error, 512 Debug.
// Audit lines (the user's audit file): 1 Logged in, 2 Logged out, 4 text, 8 Failed authorisation,
//   16 Created, 32 Requested, 64 Traffic, 256 Terminated.
// Archive form (schema 1): number (u32), start time (u32 seconds since 1970), description, client
// address (strings), client port (u32).
#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

#include "engine/config/archive.h"
#include "engine/config/datetime.h"
#include "engine/config/interface.h"
#include "engine/config/log_file.h"
#include "engine/remote/rc_message.h"
#include "engine/access/user.h"
#include "engine/access/request_filter.h"
#include "engine/access/right.h"
#include "engine/net/x1_socket.h"
#include "platform/msg_thread.h"

class CMachine;
class CService;
class CTCPService;

// Exit codes the framework uses; protocols pass their own.
enum : uint32_t {
  kSessionExitRefused = 1,  // refused or failed
  kSessionExitIdle = 2,     // idle time-out
  kSessionExitEndTime = 5,  // end time of the permission reached
  kSessionExitMachineGone = 0xFFFFFFFFu,  // its machine was deleted or the engine stops
};


class CSession : public platform::MsgThread, public CObject, public IRequestVariables {
  TL_DECLARE_DYNAMIC(CSession)

 public:
  // Log types of a session's lines (the service's own are 1, 64, 128, 512).
  enum LogType : uint32_t {
    kLogFailedAuthorisation = 2,
    kLogCreated = 4,
    kLogRequested = 8,
    kLogTraffic = 16,
    kLogTerminated = 32,
    kLogError = 128,
    kLogDebug = 512,
  };
  // Audit types are the user's AuditOptions bits.
  using AuditType = CUser::AuditType;
  using enum CUser::AuditType;
  // Descriptions are read back cut to this length.
  static constexpr size_t kMaxDescription = 1024;

  CSession();
  explicit CSession(std::shared_ptr<CService> service);
  // A session without a thread of its own (driven by its service's thread).
  CSession(std::shared_ptr<CService> service, platform::MsgThread::NoThread);
  ~CSession() override;

  // ---- Identity ---------------------------------------------------------------------------

  // 0 until the session is attached to a machine.
  uint32_t GetSessionNumber() const { return m_sessionNumber.load(); }
  time_t GetStartTime() const { return m_startTime; }
  CString GetClientAddress() const;
  uint32_t GetClientPort() const;
  void SetClient(const CString& address, uint32_t port);
  CString GetUserName() const override;
  int32_t GetSecurityLevel() const;
  // A protocol's login sets the session's own user and level (the machine keeps its own).
  void SetUser(const CString& userName, int32_t level);
  std::shared_ptr<CMachine> GetMachine() const;
  std::shared_ptr<CService> GetService() const;

  // Keeps the machine, copies its user, level and DHCP identity, takes a number when it has none
  // and enters itself in the machine's table.
  void SetMachine(const std::shared_ptr<CMachine>& machine);

  virtual CString GetDescription() const;  // cut to kMaxDescription
  virtual void SetDescription(const CString& text);

  // ---- Settings from the service ----------------------------------------------------------

  void SetNonProxySettings(uint32_t action, const CString& host, uint32_t port);
  virtual void UseServiceNonProxySettings(const CService& service);
  virtual void SetAccessRight(std::shared_ptr<const CRight> right);
  // The service's access right, kept alive with the service.
  virtual void UseServiceAccessRight(const std::shared_ptr<CService>& service);
  virtual void SetLog(uint32_t mask, std::shared_ptr<CLogFile> file);
  virtual void UseServiceLog(const CService& service);
  void SetOutgoingInterface(const CInterface& iface, uint32_t method);
  virtual void UseServiceInterfaces(CService& service);
  CInterface GetOutgoingInterface() const;
  uint32_t GetInterfaceMethod() const;
  uint32_t GetNonProxyAction() const;
  CString GetNonProxyHost() const;
  uint32_t GetNonProxyPort() const;
  void SetNonProxyRequest(bool value) { m_isNonProxyRequest.store(value ? 1 : 0); }
  bool IsNonProxyRequest() const { return m_isNonProxyRequest.load() != 0; }

  // ---- Time-outs ---------------------------------------------------------------------------

  // Stores both and restarts the idle deadline.
  void SetTimeout(bool enabled, uint32_t seconds);
  bool IsTimeoutEnabled() const { return m_timeoutEnabled.load(); }
  uint32_t GetTimeoutSeconds() const { return m_timeoutSeconds.load(); }
  // Idle deadline := now + time-out.
  void ResetIdleTimer();
  void SetEndTime(bool enabled, const CDateTime& endTime);
  // A request must be whole within a bound from its first byte, however often its bytes come:
  // idleness alone would let a client that sends one byte now and then hold the session for ever.
  // The bound is the session time-out, or kRequestBoundSeconds when time-outs are off.
  void StartRequestDeadline();
  void ClearRequestDeadline() { m_requestDeadline.store(0); }
  static constexpr uint32_t kRequestBoundSeconds = 60;
  // While set, the idle check does nothing (the engine sets it while the dialer connects).
  void SetWaitingForDialer(bool value) { m_waitingForDialer.store(value); }
  bool IsWaitingForDialer() const { return m_waitingForDialer.load(); }
  uint32_t GetSecondsOnLine() const;

  // The monotonic millisecond clock behind idle deadlines; null restores the steady clock. For
  // tests; process-wide.
  using TickSource = uint64_t (*)();
  static void SetTickSource(TickSource source);
  static uint64_t Now();

  // ---- Operations --------------------------------------------------------------------------

  // Idle deadline := now + time-out (CTCPSession: then starts the thread; false when it could
  // not be started).
  virtual bool OnActivity();
  // Ends the session once, from any thread: through its machine (crediting, 76, Exit) or, without
  // one, Exit directly. Later calls do nothing.
  virtual void Terminate(uint32_t reason);
  bool IsEnding() const { return m_endGuard.load() != 0; }
  // The session's last lines (traffic, "exit code"); runs once whoever calls it.
  virtual void Exit(uint32_t code);
  // The level the session's own protocol has established (or can establish) by a login.
  virtual uint32_t GetAuthenticatedLevel() const { return 0; }
  // From the machine's pass: an idle session goes to OnIdleTimeout, one whose request is not whole
  // within its bound ends (2), one past its end time ends (5).
  virtual void CheckTimeouts();
  virtual bool InvolvesHost(const CString& text) const { return false; }
  // The text is the local address of the client connection (two-end sessions: or of the server
  // connection).
  virtual bool IsOwnAddress(const CString& text) const;

  virtual uint64_t GetClientBytesSent() const { return 0; }
  virtual uint64_t GetClientBytesReceived() const { return 0; }
  uint64_t GetClientBytes() const { return GetClientBytesSent() + GetClientBytesReceived(); }
  virtual uint64_t GetServerBytesSent() const { return 0; }
  virtual uint64_t GetServerBytesReceived() const { return 0; }
  uint64_t GetServerBytes() const { return GetServerBytesSent() + GetServerBytesReceived(); }
  uint64_t GetTotalBytes() const { return GetClientBytes() + GetServerBytes(); }

  // Sends the protocol's refusal (nothing in the base).
  virtual void SendAccessDenied() {}
  // A request-header value for request criteria; false when the session has none.
  bool GetHeaderField(const CString& name, CString& value) const override { return false; }
  // Fills value with a request variable. Codes the session does not answer give the signed 0;
  // codes 6-11 give the account's values of the session's user (11 after bringing its closing
  // balance up to date); for an unknown user they leave value as it was.
  void GetProperty(uint32_t code, CTLDataObject& value) const override;

  // The access decision at a stage (Accept when the connection is taken, Request once the request
  // is known). Refused: SendAccessDenied, "Failed authorisation" lines, Terminate(1). A failure
  // inside the check refuses. Allowed and LoginRequired let the session go on (a protocol that can
  // log in asks for the login on LoginRequired).
  AccessResult CheckRights(AccessStage stage);
  // The decision alone, for a protocol that refuses in its own way: the session's level and end
  // time are updated as CheckRights does, but a refusal is only returned. A failure refuses.
  AccessResult DecideRights(AccessStage stage);
  uint32_t GetRequiredLevel() const { return m_requiredLevel.load(); }

  // A line in the user's audit file and in the service log (printf formats from code only).
  void Audit(uint32_t type, const char* format = nullptr, ...) __attribute__((format(printf, 3, 4)));
  void Log(uint32_t type, const char* format = nullptr, ...) __attribute__((format(printf, 3, 4)));

  // Announces the session to the consoles (74) with address, number and description.
  void NotifyAdded() const;

  void Serialize(CArchive& ar) override;

  // The last session number given in this process (0 before the first).
  static uint32_t LastSessionNumber();

 protected:
  virtual void OnStart() {}
  virtual void OnEnd() {}
  // The idle time-out has come; runs on the machine's thread. The base ends the session (2). A
  // session that owes its client an answer first (the web proxy's time-out page) posts itself
  // the work, since only its own thread may use its sockets.
  virtual void OnIdleTimeout() { Terminate(kSessionExitIdle); }
  // The idle time-out is enabled, not held for the dialer, and has passed.
  bool IsIdleTimeoutDue() const;
  // The account values of codes 6-11 for the session's user (11 updates the closing balance
  // first); false, value untouched, for an unknown user.
  bool GetAccountProperty(uint32_t code, CTLDataObject& value) const;
  void SetLocalAddress(const CString& text);
  CString GetLocalAddress() const;
  // The session ended before it ever ran: no lines, no machine.
  void MarkEnded() {
    m_endGuard.store(1);
    m_exited.store(true);
  }
  // This session as a shared_ptr (null when it is not held by one).
  std::shared_ptr<CSession> SelfPtr();

  mutable std::mutex m_mx;  // guards the strings and the shared pointers below

 private:
  void WriteLogLine(uint32_t type, const CString& text);
  // The session's user when it audits any of the types (bits) given, else null.
  std::shared_ptr<CUser> FindAuditingUser(uint32_t types) const;
  void WriteAuditLine(CUser& user, uint32_t type, const CString& text);
  void AssignNumber();

  std::atomic<uint32_t> m_sessionNumber{0};
  time_t m_startTime = 0;
  CString m_description;
  CString m_clientAddress;
  uint32_t m_clientPort = 0;
  CString m_localAddress;
  CString m_userName = "Guest";
  int32_t m_securityLevel = 0;
  std::shared_ptr<CMachine> m_machine;
  std::shared_ptr<CService> m_service;
  CInterface m_outgoingInterface{INTERFACE_IP, "0.0.0.0"};
  uint32_t m_interfaceMethod = 0;
  std::atomic<bool> m_timeoutEnabled{true};
  std::atomic<uint64_t> m_idleDeadline{0};
  std::atomic<uint64_t> m_requestDeadline{0};  // 0: no request under way
  std::atomic<uint32_t> m_timeoutSeconds{60};
  bool m_endTimeEnabled = false;
  CDateTime m_endTime;
  std::atomic<uint32_t> m_requiredLevel{0};
  std::atomic<uint32_t> m_isNonProxyRequest{0};
  uint32_t m_nonProxyAction = 0;
  CString m_nonProxyHost;
  uint32_t m_nonProxyPort = 0;
  uint32_t m_isDHCPClient = 0;
  CString m_netBIOSName;
  CString m_macAddress;
  std::shared_ptr<const CRight> m_right;
  uint32_t m_logMask = 0;
  std::shared_ptr<CLogFile> m_logFile;
  std::atomic<uint32_t> m_endGuard{0};
  std::atomic<bool> m_exited{false};
  std::atomic<bool> m_waitingForDialer{false};
};

// A session with its own thread and the accepted client connection.
class CTCPSession : public CSession {
  TL_DECLARE_DYNAMIC(CTCPSession)

 public:
  CTCPSession();
  // acceptedHandle: the accepted descriptor, owned by the session from here on (closed with it,
  // also when the thread never starts). -1: none.
  CTCPSession(std::shared_ptr<CService> service, int acceptedHandle);
  ~CTCPSession() override;

  // Idle deadline, then starts the thread. False when the thread could not be started: the
  // descriptor is then closed and the session has ended.
  bool OnActivity() override;
  // Starts the session like its first OnActivity, but on the calling session thread's OS thread
  // once that session has ended (the calling thread is ending: see CTCPService::TakeNextConnection);
  // on a new or parked thread when that cannot be.
  bool StartAfterCurrent();
  void Exit(uint32_t code) override;

  // The service's upstream connection settings (ConnectMethod, ProxyServer, ProxyPort,
  // SOCKS4Password, BypassProxyOnLocal): a session that connects out takes them; others have none.
  virtual void UseServiceConnectSettings(const CTCPService& service) {}

  uint64_t GetClientBytesSent() const override { return m_clientSocket.GetBytesSent(); }
  uint64_t GetClientBytesReceived() const override { return m_clientSocket.GetBytesReceived(); }

  X1Socket& GetClientSocket() { return m_clientSocket; }
  // The local address the client connected to.
  CString GetLocalAddressText() const { return GetLocalAddress(); }

  // TCP session threads of the process that have started and not yet ended.
  static size_t LiveCount();
  // Terminates every TCP session whose thread has started, also those not yet attached to a
  // machine (a session that has not run its start yet ends before it serves). For the engine's
  // stop, after the listeners are closed: then WaitForAll.
  static void TerminateAll(uint32_t reason);
  // Waits until no TCP session thread runs and no thread that may still start one is waiting for
  // a connection (-1: no limit); false on time-out.
  static bool WaitForAll(int timeoutMs);
  // A thread between two sessions that may start one (CTCPService::WaitForNextConnectionAfterCurrent)
  // counts for WaitForAll from Begin to End.
  static void BeginTakingConnection();
  static void EndTakingConnection();

 protected:
  bool InitInstance() override;
  int Run() override;
  int ExitInstance() override;
  void OnMessage(platform::Message& msg) override;

  // Socket events of the client socket (and of any other socket the session owns): the message
  // is passed on so the handler can TakeEvent it. Empty in the base.
  virtual void OnAccept(platform::Message& msg) {}
  virtual void OnRead(platform::Message& msg) {}
  virtual void OnWrite(platform::Message& msg) {}
  virtual void OnClose(platform::Message& msg) {}

  // The accepted descriptor, handed over once (-1 afterwards), for sessions that attach the
  // connection themselves (the remote-control session runs its handshake first).
  int TakeAcceptedHandle() { return m_acceptedHandle.exchange(-1); }

  X1Socket m_clientSocket;

 private:
  void Uncount();
  // Enters the session in the live registry and starts its thread (on first use only).
  bool StartThread(bool afterCurrent);

  std::atomic<int> m_acceptedHandle{-1};
  std::atomic<bool> m_counted{false};
};

class CUDPSession;

// Whoever keeps a UDP session (its service's thread) takes it out when it exits.
class CUDPSessionOwner {
 public:
  virtual ~CUDPSessionOwner() = default;
  virtual void RemoveUDPSession(const std::shared_ptr<CUDPSession>& session) = 0;
};

// A session of a datagram service, driven by its service's thread; it has no thread of its own.
class CUDPSession : public CSession {
  TL_DECLARE_DYNAMIC(CUDPSession)

 public:
  CUDPSession();
  CUDPSession(std::shared_ptr<CService> service, std::weak_ptr<CUDPSessionOwner> owner,
              const CString& clientAddress, uint32_t clientPort);

  // The base, then the owner takes the session out of its table (the owner's removal must be
  // idempotent: a second Exit asks again).
  void Exit(uint32_t code) override;

  void AddClientBytesSent(uint64_t n) { m_clientSent += n; }
  void AddClientBytesReceived(uint64_t n) { m_clientReceived += n; }
  void AddServerBytesSent(uint64_t n) { m_serverSent += n; }
  void AddServerBytesReceived(uint64_t n) { m_serverReceived += n; }
  uint64_t GetClientBytesSent() const override { return m_clientSent.load(); }
  uint64_t GetClientBytesReceived() const override { return m_clientReceived.load(); }
  uint64_t GetServerBytesSent() const override { return m_serverSent.load(); }
  uint64_t GetServerBytesReceived() const override { return m_serverReceived.load(); }

  // The descriptor the client's datagrams arrive on.
  int m_socketHandle = -1;

 private:
  std::weak_ptr<CUDPSessionOwner> m_owner;
  std::atomic<uint64_t> m_clientSent{0};
  std::atomic<uint64_t> m_clientReceived{0};
  std::atomic<uint64_t> m_serverSent{0};
  std::atomic<uint64_t> m_serverReceived{0};
};
