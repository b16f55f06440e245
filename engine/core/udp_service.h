#pragma once
// Datagram services. Unlike a TCP service, a datagram service runs a thread of its own: its
// listeners and its sessions' server-side sockets deliver their read events to that thread, and
// every session of the service is driven, ended and freed there.
//
// CUDPService keeps the thread and the table of sessions (keyed by the id of the socket a
// session's events arrive on). CTwoEndUDPService is the base of the datagram relays: one
// CTwoEndUDPSession per client address and port, made on the client's first datagram; later
// datagrams of that client are forwarded through it, and datagrams arriving on a session's
// server-side socket go to that session's OnServerRead.
//
// Threads: a session may be ended from another thread (the engine's time-out pass, a console);
// it then only asks the service thread, by posting, to take it out of the tables, so a session is
// never freed under the service thread while it relays. Start, Stop and Restart may be called
// from any thread: the listeners are opened and closed on the service thread (their events go to
// the thread that opens them). Stop from another thread ends the thread too, after ending every
// session of the service on it; Start makes a new thread.
//
// Lock order: the service's settings, then the session table (a leaf apart from the sessions'
// own locks, which are never taken under it).
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/core/service.h"
#include "engine/core/session.h"
#include "platform/msg_thread.h"

class CTwoEndUDPSession;

class CUDPService : public CService, public CUDPSessionOwner {
 public:
  // Startup waits this long for the thread to have opened its listeners.
  static constexpr int kStartupWaitMs = 2000;
  // A Stop or Shutdown from another thread waits this long for the thread to end.
  static constexpr int kShutdownWaitMs = 10000;
  // Sessions a service keeps at most when its own limit is off: every new client address and
  // port costs a socket and a machine record until the idle time-out, so a flood of spoofed
  // sources must meet a bound.
  static constexpr uint32_t kDefaultSessionCap = 512;
  // Between two "limit reached" lines at least this long passes.
  static constexpr uint64_t kLimitLogIntervalMs = 10000;

  explicit CUDPService(CServiceSettings& settings);
  ~CUDPService() override;

  // Starts the thread, which opens the listeners when the service is enabled; waits up to
  // kStartupWaitMs for it. Nothing when the thread already runs.
  void Startup() override;
  // Ends the thread: the listeners close and every session of the service ends on it.
  void Shutdown() override;
  void Start() override;
  void Stop() override;
  void Restart() override;

  // ---- Session table ----------------------------------------------------------------------------

  // Enters the session under key (an entry of that key that is another session is replaced).
  virtual void AddSession(uintptr_t key, std::shared_ptr<CUDPSession> session);
  // Takes the session out of every table of the service (only entries that are this session).
  virtual void RemoveSession(const std::shared_ptr<CUDPSession>& session);
  std::shared_ptr<CUDPSession> FindSession(uintptr_t key) const;
  size_t GetSessionCount() const;
  std::vector<std::shared_ptr<CUDPSession>> GetSessions() const;
  // The number of sessions the service may keep (SessionLimit when LimitSessions is set).
  uint32_t GetSessionCap() const;

  // A session has ended: on the service thread it leaves the tables at once, from any other
  // thread the service thread is asked to take it out.
  void RemoveUDPSession(const std::shared_ptr<CUDPSession>& session) override;

  platform::ThreadId GetThreadId() const;
  bool IsServiceThread() const;
  // Waits until the thread has ended (tests); true at once when there is none.
  bool WaitForThreadEnd(int timeoutMs);

 protected:
  // Run first and last on the service thread; empty here.
  virtual void OnThreadStart() {}
  virtual void OnThreadEnd() {}
  // A read event (WM_SOCKET_READ) on the service thread; empty here.
  virtual void OnRead(platform::Message& msg) {}
  // Any other message posted to the service thread (a resolver's completion ...); empty here.
  virtual void OnThreadMessage(platform::Message& msg) {}
  // A session has left the session table (service thread, or the caller's once the thread has
  // ended); the relays drop its client key here.
  virtual void OnSessionRemoved(const std::shared_ptr<CUDPSession>& session) {}
  // Runs fn on the service thread and waits for it; directly when called there. False when the
  // thread is not running or did not run it in time.
  bool CallOnServiceThread(const std::function<void()>& fn, int timeoutMs = kShutdownWaitMs);
  // A line of type 128 at most once per kLimitLogIntervalMs: "Session limit of %u reached ...".
  void NoteSessionLimit(uint32_t cap);

 private:
  class Thread;
  friend class Thread;

  void ThreadStarted();
  void ThreadMessage(platform::Message& msg);
  void ThreadEnding();
  void EndAllSessions();
  std::shared_ptr<Thread> CurrentThread() const;

  mutable std::mutex m_threadMutex;  // guards m_thread
  std::shared_ptr<Thread> m_thread;
  std::mutex m_controlMutex;  // one Startup or Shutdown at a time

  mutable std::recursive_mutex m_tableMutex;
  std::unordered_map<uintptr_t, std::shared_ptr<CUDPSession>> m_sessions;
  std::unordered_map<const CUDPSession*, uintptr_t> m_keys;
  std::atomic<uint64_t> m_lastLimitLog{0};
};

// The base of the datagram relays.
class CTwoEndUDPService : public CUDPService {
 public:
  // Every client datagram is read whole: the largest UDP payload over IPv4 is 65507 bytes, so a
  // relay that passes datagrams as they are (a port mapping) drops none for its length.
  static constexpr size_t kMaxDatagram = 65536;
  // The buffer a relay session keeps to rewrite its own datagrams (XDMA); longer ones are dropped
  // by that relay, never relayed cut short.
  static constexpr size_t kReceiveBufferSize = 8192;
  // One read event takes at most this many datagrams from a listener before the thread looks at
  // its queue again.
  static constexpr int kDatagramsPerEvent = 64;

  explicit CTwoEndUDPService(CServiceSettings& settings);
  ~CTwoEndUDPService() override;

  // A new session for a client whose datagrams arrive on the listener of that descriptor; none
  // in the base.
  virtual std::shared_ptr<CTwoEndUDPSession> CreateSession(int listenerHandle);

  // Sends a datagram to the session's client from the listener the client's datagrams arrive on
  // (service thread). Throws X1SocketException; false when that listener has gone.
  bool SendToClient(CUDPSession& session, const void* data, size_t length);

  // The client datagram being dispatched, for a relay whose destination is inside it (service
  // thread, while SetupDestination or ForwardToServer runs).
  const uint8_t* GetDatagram() const { return m_buffer; }
  size_t GetDatagramLength() const { return m_length; }

  // The session of a client "address:port", or null.
  std::shared_ptr<CTwoEndUDPSession> FindClient(const CString& key) const;
  static CString ClientKey(const CString& address, uint32_t port);

 protected:
  void OnRead(platform::Message& msg) override;
  void OnSessionRemoved(const std::shared_ptr<CUDPSession>& session) override;

 private:
  // One datagram from a client: to its session, or a new session for a new client.
  void OnClientDatagram(X1Socket& listener, const CString& address, uint16_t port, size_t length);
  std::shared_ptr<CTwoEndUDPSession> MakeSession(X1Socket& listener, const CString& address, uint16_t port);

  uint8_t m_buffer[kMaxDatagram];
  size_t m_length = 0;                // of the last datagram
  mutable std::mutex m_clientsMutex;  // leaf
  std::unordered_map<CString, std::shared_ptr<CTwoEndUDPSession>> m_clients;
};
