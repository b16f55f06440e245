#pragma once
// The notification layer under X1Socket: it turns socket readiness into the socket events of the
// library, posted to the thread that owns the socket or run as callbacks on the notification thread.
//
// Where a socket is watched: an armed socket sits in the readiness set of the thread its events go
// to (its owner, or the notification thread for a callback socket), which that thread's own wait
// watches together with its message queue (platform/msg_thread.h). Readiness therefore wakes that
// thread directly, and the thread itself turns it into the event it then takes from its queue: one
// wake-up per event, and no thread that every event of the process must pass through. One shared
// poller thread with an epoll instance of its own watches what has no such thread: callback sockets
// while no notification thread is named, sockets whose thread could not get a set (no descriptors
// left), and sockets whose thread has ended (so the rule below about ended owners holds). It also
// runs the timed retries of paused listeners.
//
// Because an owner turns readiness into events only when it waits, an owner that is busy has its
// events posted when it next looks; a question from another thread (IsEventPending) looks first,
// so it sees what the single poller would have posted by then.
//
// What a socket's owner can rely on (the event rules the protocol code was written against):
//   - An event names the socket by its id, never by its descriptor. Ids are never reused, so an
//     event that outlives its socket (closed, re-created, descriptor number reused) finds nothing
//     and is dropped.
//   - One read event at a time: after FD_READ is posted, none follows until the owner takes the
//     event (X1Socket::TakeEvent) or receives; a receive that leaves data waiting posts the next one
//     at once. Accept events work the same way with Accept.
//   - Arming while a condition already holds posts at once (data waiting, a connection pending).
//   - FD_CLOSE is posted once per connection, after the FD_READ of any data that came before it,
//     and no FD_READ follows it: the close handler reads what is still waiting.
//   - Moving a socket to another owner keeps its events: those not yet taken are posted again to
//     the new owner (the old copies become stale) and waiting data or a pending close is re-posted.
//   - A socket whose owner thread has ended is closed by the layer on its next event.
//   - Closing from any thread stops every later event; a close from another thread while a call is
//     in progress shuts the connection down (which wakes the call) and the descriptor is closed by
//     the thread that leaves the call last, so a descriptor number is never closed twice or reused
//     under a running call.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/msg_thread.h"

class X1Socket;

// Event bits of the asynchronous selection (the host system's FD_ values).
enum : uint32_t {
  FD_READ = 1,
  FD_WRITE = 2,
  FD_OOB = 4,
  FD_ACCEPT = 8,
  FD_CONNECT = 16,
  FD_CLOSE = 32,
};

// The socket id carried in wParam of every socket event: unique for the life of the process, a
// fresh one for every Create or Attach (so it doubles as the socket's generation). 0 = no socket.
using SocketId = uintptr_t;

namespace x1net {

// The text (code 0) of the failure to start the layer: the system refused its descriptors or its
// thread.
inline constexpr const char* kNotifierFailedText = "X1Socket callback window creation failed";

enum class SockKind { Stream, Datagram, Listener };

// Slots of the per-event bookkeeping.
enum EventSlot { kAccept = 0, kRead = 1, kWrite = 2, kClose = 3, kSlots = 4 };
int SlotOfEvent(uint32_t fdEvent);  // -1 for events the layer does not deliver
uint32_t EventOfSlot(int slot);

// One open socket, shared by its X1Socket and the layer's registry.
struct SockState : std::enable_shared_from_this<SockState> {
  std::mutex mx;                      // guards every field below but dispatchMx
  std::recursive_mutex dispatchMx;    // held while a callback or handler of this socket runs

  int fd = -1;
  SocketId id = 0;                    // 0 once closed
  SockKind kind = SockKind::Stream;
  bool connected = false;
  uint32_t mask = 0;
  bool armed = false;
  // Where the socket is watched while armed: the readiness set of the thread its events go to,
  // or (inShared) the shared poller's epoll instance.
  std::shared_ptr<platform::ReadySet> home;
  bool inShared = false;
  bool callbackMode = false;          // events go to object's callback or handlers
  platform::ThreadId owner = 0;       // otherwise to this thread
  X1Socket* object = nullptr;         // the X1Socket, for callbacks and handlers
  uint64_t seq = 0;                   // last event sequence number given
  uint64_t pending[kSlots] = {};      // sequence of the posted, not yet taken event per slot
  bool closeSent = false;
  // How the peer ended a stream, as the first receive that met the end saw it: endSeen with
  // endError 0 for an orderly end (FIN), else the socket error of a reset or a failure.
  bool endSeen = false;
  uint32_t endError = 0;
  uint64_t acceptPausedUntil = 0;     // descriptors ran out: no accept events until then
  // The ends of a connected stream (host order), asked of the system once: they cannot change.
  bool localKnown = false, peerKnown = false;
  uint32_t localIp = 0, peerIp = 0;
  uint16_t localPort = 0, peerPort = 0;
  int inCall = 0;                     // calls in progress that use fd
  bool closing = false;               // closed while a call was in progress; last leaver closes
  // A listener's waiting room (X1Socket::AcceptWaiting): an epoll instance that watches the
  // listener for the threads that wait on it themselves, each woken alone for a connection; made
  // on first use (under mx), closed with the state. While threads wait there (waiting, counted
  // without the lock) the listener is out of the set its events normally reach (lent, under mx).
  std::atomic<int> roomFd{-1};
  std::atomic<int> waiting{0};
  bool lent = false;

  SockState() = default;
  SockState(const SockState&) = delete;
  SockState& operator=(const SockState&) = delete;
  ~SockState();
};

// A callback event to run on the notification thread.
struct Dispatch {
  std::shared_ptr<SockState> st;
  SocketId id;
  uint32_t event;
  uint64_t seq;
};

class Notifier : public platform::ReadyHandler {
 public:
  // The process's one notifier, started on first use (never torn down: sockets may be closed by
  // objects destroyed at exit).
  static Notifier& Get();

  // The thread that runs callbacks; 0 = the poller thread itself.
  void SetNotificationThread(platform::ThreadId tid) { m_notifyTid.store(tid); }
  platform::ThreadId GetNotificationThread() const { return m_notifyTid.load(); }

  // Gives st a fresh id and enters it in the registry.
  void Register(const std::shared_ptr<SockState>& st);
  std::shared_ptr<SockState> Find(SocketId id);

  // All *Locked calls need st.mx held. Dispatches collected in `out` are handed to the
  // notification thread by Flush once st.mx is released.
  // Arming posts FD_WRITE at once for a socket that can send, and the poller reports the rest.
  void ArmLocked(SockState& st, std::vector<Dispatch>& out);  // throws X1SocketException
  void DisarmLocked(SockState& st);
  // Re-reads the socket's readiness now and posts what it calls for.
  void EvaluateLocked(SockState& st, std::vector<Dispatch>& out);
  // Posts the event of a slot unless one is pending. May close st when its owner has ended.
  void SignalLocked(SockState& st, int slot, std::vector<Dispatch>& out);
  // Makes earlier events stale and posts afresh what is still due (owner or target changed).
  void RetargetLocked(SockState& st, std::vector<Dispatch>& out);
  // Deregisters and closes (or, with a call in progress, shuts down for the last leaver to close).
  void CloseLocked(SockState& st);
  // Hands collected dispatches to the poller thread (which runs callbacks when no notification
  // thread is named). Call without any socket lock held.
  void Flush(std::vector<Dispatch>& out);

  // Accept events of a listener are held back for a while after descriptors ran out, then the
  // listener is looked at again (a pending connection would otherwise wait for the next one).
  void PauseAcceptLocked(SockState& st, uint32_t ms);
  // A thread that waits on an armed listener itself takes it out of where it is watched, so the
  // thread its events go to is not woken for the connection the waiter takes; it is watched there
  // again afterwards, and what is pending by then is reported as arming reports it.
  void LendLocked(SockState& st);
  void ReturnLocked(SockState& st);

  // Runs a callback event on the calling thread (the notification thread); false when stale.
  static bool RunDispatch(const Dispatch& d);

  // Readiness of a socket in a thread's set, on that thread.
  void OnReady(uint64_t key, uint32_t events) override;
  // A socket whose thread has ended goes to the shared poller.
  void OnOrphaned(uint64_t key) override;

  static std::atomic<long> openSockets;

 private:
  Notifier();
  void PollerMain();
  void TranslateLocked(SockState& st, uint32_t events, std::vector<Dispatch>& out);
  // Puts an armed socket in the set of the thread its events go to, else in the shared poller.
  // 0 or the system's error.
  int WatchLocked(SockState& st);
  void UnwatchLocked(SockState& st);
  void Wake();
  void RunAll(std::vector<Dispatch>& list);

  int m_epollFd = -1;
  int m_wakeFd = -1;
  std::atomic<platform::ThreadId> m_notifyTid{0};
  std::atomic<SocketId> m_nextId{1};

  std::mutex m_registryMutex;
  std::unordered_map<SocketId, std::shared_ptr<SockState>> m_registry;

  std::mutex m_queueMutex;  // dispatches for the poller to run, accept retries
  std::vector<Dispatch> m_queued;
  struct Retry {
    std::shared_ptr<SockState> st;
    SocketId id;
    uint64_t at;
  };
  std::vector<Retry> m_retries;
};

}  // namespace x1net
