#pragma once
// Threads with their own message queues, the way every long-lived thread of the engine and the
// console works: a thread object is started, runs InitInstance, pumps its queue until WM_QUIT and
// ends through ExitInstance. Other threads talk to it only by posting messages, identified by its
// thread id, and a thread can ask for periodic WM_TIMER messages.
//
// Life of a thread object:
//   constructed  - it has an id and a queue; posts and timers are accepted and kept.
//   CreateThread - the object's thread starts (on a parked OS thread when one waits, else on a new
//                  one) and holds a reference to the object until it ends. CreateThreadAfterCurrent
//                  instead runs it on the OS thread of the object that is ending and calls it.
//   ended        - InitInstance/Run/ExitInstance have returned (or an exception escaped them);
//                  the queue is closed: pending payloads are freed, later posts fail and free
//                  their payload, Find no longer returns the object.
//
// A thread can also watch descriptors with its queue (its readiness set, below): the socket layer
// puts each socket in the set of the thread that handles its events, so readiness wakes that thread
// itself and no other thread passes the event on. Without a set the thread sleeps on a condition
// variable; once it has one, it sleeps in epoll_wait on the set, which also holds an eventfd that
// posts and timer changes from other threads write to when (and only when) the thread is asleep.
//
// Message numbers are listed in platform/messages.h.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/messages.h"

struct epoll_event;

namespace platform {

// Thread ids come from one process-wide counter starting at 1 and are never reused, so a stale id
// can never reach a newer thread. 0 means "no thread".
using ThreadId = uint32_t;

// An owned message payload (what the host system passes as an object pointer in lParam). The
// receiving thread owns it once the message is taken; a message that is never delivered frees it.
struct MsgPayload {
  virtual ~MsgPayload() = default;
};

template <class T>
struct Boxed : MsgPayload {
  explicit Boxed(T v) : value(std::move(v)) {}
  T value;
};

struct Message {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  std::unique_ptr<MsgPayload> payload;
};

// Posts to the queue of thread `tid` (started or not). False when no such thread exists or it has
// ended; the payload is then freed before the call returns.
bool PostThreadMessage(ThreadId tid, uint32_t message, uintptr_t wParam = 0,
                       std::unique_ptr<MsgPayload> payload = {}, intptr_t lParam = 0);

// Id of the calling thread when it is a MsgThread's own thread, else 0.
ThreadId CurrentThreadId();

namespace detail {
struct MsgQueue;
}

// What readiness means is the socket layer's business: it installs one handler for the process.
class ReadyHandler {
 public:
  virtual ~ReadyHandler() = default;
  // Runs on the thread that owns the set, inside one of its waits, with no lock of this layer held:
  // the descriptor added under key reported these epoll events.
  virtual void OnReady(uint64_t key, uint32_t events) = 0;
  // The set's thread has ended (or its object went without ever starting) while key was still in
  // the set; the descriptor is watched no more. Runs on whichever thread ends the set.
  virtual void OnOrphaned(uint64_t key) = 0;
};

// Installs the process's handler (once, before any set is made; it must outlive every thread).
void SetReadyHandler(ReadyHandler* handler);

// The descriptors one thread watches with its queue. Shared: the thread's queue holds it, and so do
// those who added a descriptor to it (to take it out again). Closed when the thread ends: from then
// on Add fails and Remove does nothing.
class ReadySet {
 public:
  ReadySet(const ReadySet&) = delete;
  ReadySet& operator=(const ReadySet&) = delete;
  ~ReadySet();

  // Watches fd under key (never 0: the set's own wake-up uses it) for the epoll events given
  // (EPOLLET as the caller chooses). 0 when done, ESRCH once the thread has ended, else the
  // system's error.
  int Add(int fd, uint64_t key, uint32_t events);
  // Stops watching fd; nothing when it is not watched or the set is closed.
  void Remove(int fd, uint64_t key);
  ThreadId Owner() const { return m_owner; }
  // Descriptor pairs the process has made for sets so far. Sets that end with nothing left in
  // them hand their pair to the next set, so a thread object per connection makes few.
  static uint64_t PairsMade();

 private:
  friend struct detail::MsgQueue;
  explicit ReadySet(ThreadId owner) : m_owner(owner) {}
  static std::shared_ptr<ReadySet> Make(ThreadId owner);
  // Stops every watch; the keys that were still in the set, for OnOrphaned.
  std::unordered_set<uint64_t> Close();
  // The owner thread's wait (only that thread calls it): epoll_wait, 0 events on EINTR.
  int Wait(epoll_event* events, int capacity, int timeoutMs);
  void Wake();
  void DrainWake();

  const ThreadId m_owner;
  std::mutex m_mu;  // guards the fields below; a leaf below the socket's own lock
  int m_epollFd = -1;
  // Written by other threads to wake the owner; it stays with the object until the object goes, so
  // a writer that holds a reference never writes to a descriptor number that has gone elsewhere.
  // (The pair may then serve a later set: a late write there is one spurious wake-up, no more.)
  int m_wakeFd = -1;
  bool m_closed = false;
  // Set by Close when every watch came out of the epoll instance, so the descriptor pair can be
  // used again by a later set instead of being closed and made anew for every thread object.
  bool m_reusable = false;
  bool m_unclean = false;                    // a watch could not be taken out: the pair is never used again
  std::unordered_map<uint64_t, int> m_keys;  // key -> descriptor watched under it
};

// The readiness set of thread tid, made on first use. Null when tid names no thread of this layer,
// the thread has ended, or the system refused the descriptors (the caller then watches elsewhere).
std::shared_ptr<ReadySet> GetReadySet(ThreadId tid);

class MsgThread : public std::enable_shared_from_this<MsgThread> {
 public:
  // The timer interval is at least this many milliseconds (0 is raised to it).
  static constexpr uint32_t kMinTimerIntervalMs = 1;

  MsgThread();
  // For an object of a thread class that never runs a thread of its own (a datagram service's
  // session, driven by its service's thread): no id, and a queue shared by all such objects and
  // closed from the start, so making and dropping one takes no lock, table entry or allocation.
  // Posts to it fail, timers are refused and it never starts.
  struct NoThread {};
  explicit MsgThread(NoThread);
  virtual ~MsgThread();
  MsgThread(const MsgThread&) = delete;
  MsgThread& operator=(const MsgThread&) = delete;

  // 0 only when the process has used up every thread id; such a thread never starts.
  ThreadId Id() const { return m_id; }

  // Starts the OS thread once. The object must be owned by a std::shared_ptr; the running thread
  // keeps it alive until the thread has ended, so the object may be destroyed on its own thread.
  // False when not owned by a shared_ptr, already started, or the OS refused the thread.
  bool CreateThread();

  // Like CreateThread, but the object runs on the calling thread's OS thread as soon as the calling
  // thread object has ended, and no other thread is woken for it: for an object that starts its
  // successor as it ends (a session that takes the next waiting connection). Only from a thread
  // object's own thread while it ends (its ExitInstance), and once per end; false otherwise, and
  // the caller may then use CreateThread.
  bool CreateThreadAfterCurrent();

  // Runs fn on the calling thread object's OS thread once that object has ended (its ExitInstance
  // has returned and its queue is closed), before the OS thread parks. fn runs outside any thread
  // object and may start one object there with CreateThreadAfterCurrent: for a thread that waits a
  // while for work its successor would do (the next connection of a service) without being one.
  // Only from a thread object's own thread, once per end; false otherwise.
  static bool RunAfterCurrent(std::function<void()> fn);

  bool Post(uint32_t message, uintptr_t wParam = 0, std::unique_ptr<MsgPayload> payload = {},
            intptr_t lParam = 0);
  // Posts WM_QUIT with the exit code in wParam. Like every post it queues behind earlier messages.
  bool PostQuit(int exitCode = 0);

  // Waits until the thread has ended (-1 = no limit). False on time-out, and at once when called
  // from the thread itself, which could never see its own end.
  bool WaitForExit(int timeoutMs);
  bool HasEnded() const;
  // The thread's exit code once it has ended: what Run returned (or ExitInstance when
  // InitInstance refused), -1 when an exception escaped. 0 before the end.
  int ExitCode() const;

  // Thread timers, callable from any thread. Each due timer puts one WM_TIMER (wParam = timer id)
  // in front of the next posted message; a timer that comes due again while its last tick is still
  // being handled merges into one tick, so a slow handler never builds a backlog. Right after a
  // tick, one waiting posted message goes first, so short timers cannot starve posts either.
  // SetTimer replaces the interval of an existing timer of that id and restarts its period.
  // Timer id 0 is refused (0 is "no timer" for the callers that store ids).
  bool SetTimer(uintptr_t timerId, uint32_t intervalMs);
  bool KillTimer(uintptr_t timerId);

  // Thread objects whose thread has started and not yet ended. OS threads parked for reuse (at
  // most a few hundred; an idle one ends after half a minute) do not count.
  static size_t LiveThreadCount();
  // The started, not yet ended thread of that id, else null.
  static std::shared_ptr<MsgThread> Find(ThreadId tid);

 protected:
  // Runs first on the new thread. False: Run is skipped and ExitInstance gives the exit code.
  virtual bool InitInstance() { return true; }
  // The thread's body; its result is the exit code. The default pumps GetMessage, calls OnMessage
  // for each message and, after WM_QUIT, returns ExitInstance(); an override that ends on WM_QUIT
  // should end the same way.
  virtual int Run();
  // Cleans up on the thread itself; the default returns the code of the WM_QUIT taken last (0 if
  // none).
  virtual int ExitInstance();
  // The thread's message map.
  virtual void OnMessage(Message& msg) {}

  // Blocks until a message or due timer; false when WM_QUIT is taken (out->wParam = exit code).
  bool GetMessage(Message* out);
  // Takes the next message or due timer without waiting; false when there is none. WM_QUIT is
  // returned like any message (true) and its code remembered for ExitInstance.
  bool PeekMessage(Message* out);
  // Waits until a message or due timer is there (-1 = no limit) without taking it; false on
  // time-out.
  bool WaitMessage(int timeoutMs);

  // Code of the last WM_QUIT this thread took.
  int QuitCode() const { return m_quitCode; }

  // For an ExitInstance that must handle everything posted to it: closes the queue now, so every
  // later Post fails (and its caller knows the message was not taken), and returns what was still
  // queued, in order. Timers and socket events end with it, as at the thread's end.
  std::deque<Message> CloseQueueAndTakeRest();

 private:
  // An OS thread's life: runs objects one after another, parked in between.
  static void WorkerMain(std::shared_ptr<MsgThread> first);
  // One object's thread, from InitInstance to Finish.
  static void ThreadMain(std::shared_ptr<MsgThread> self);
  void Finish(int exitCode);
  void NoteQuit(const Message& m);
  // Marks the object started and enters it as the running object of its id; false when it cannot
  // start (no id, not owned by a shared_ptr, started before). Counts it as live on success.
  bool BeginStart(std::shared_ptr<MsgThread>* self);

  const ThreadId m_id;
  const std::shared_ptr<detail::MsgQueue> m_queue;
  std::atomic<bool> m_started{false};
  int m_quitCode = 0;  // touched only by the thread itself
};

}  // namespace platform
