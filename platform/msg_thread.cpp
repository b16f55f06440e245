#include "platform/msg_thread.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

using Clock = std::chrono::steady_clock;

namespace detail {

// One thread's queue. It is shared between the thread object, the id table and any poster that
// has just looked it up, so a post racing with the thread's end finds a closed queue rather than
// freed memory.
struct MsgQueue {
  struct Timer {
    uint32_t intervalMs = 0;
    Clock::time_point due;
  };
  // Where the thread sleeps, so a poster wakes it the one way that reaches it, and only then.
  enum class Sleep { kAwake, kOnCondition, kOnSet };
  // Events taken from a set per wait.
  static constexpr int kReadyBatch = 64;
  // Posted messages taken in a row before the set is looked at without waiting: a flood of posts
  // from other threads must not keep socket events out.
  static constexpr uint32_t kPollEvery = 16;

  std::mutex mu;
  std::condition_variable wake;   // a message, a timer change or the close, while there is no set
  std::condition_variable ended;  // the thread has ended
  std::deque<Message> posted;
  std::map<uintptr_t, Timer> timers;
  bool closed = false;
  bool hasEnded = false;
  int exitCode = 0;
  // Set when the last message taken was a timer tick: the next take prefers a posted message.
  bool tickJustTaken = false;
  // The thread's readiness set once something was added to it; from then on it sleeps there.
  std::shared_ptr<ReadySet> ready;
  Sleep sleep = Sleep::kAwake;
  bool wakeSent = false;  // the set's wake descriptor was written and not yet drained
  uint32_t takesSincePoll = 0;

  // Tells a sleeping thread that something changed; releases lk. The wake-up descriptor is written
  // outside the lock, through a reference that keeps it open.
  void WakeAndUnlock(std::unique_lock<std::mutex>& lk) {
    std::shared_ptr<ReadySet> set;
    const bool condition = sleep == Sleep::kOnCondition;
    if (sleep == Sleep::kOnSet && !wakeSent) {
      wakeSent = true;
      set = ready;
    }
    lk.unlock();
    if (condition) wake.notify_one();
    if (set) set->Wake();
  }

  // Moves the message in on success; on failure it stays with the caller, who frees it.
  bool Push(Message& m) {
    std::unique_lock lk(mu);
    if (closed) return false;
    posted.push_back(std::move(m));
    WakeAndUnlock(lk);
    return true;
  }

  // Sleeps until woken, a watched descriptor is ready or `until` has come. Caller holds lk, which
  // is held again on return.
  void SleepLocked(std::unique_lock<std::mutex>& lk, std::optional<Clock::time_point> until) {
    if (!ready) {
      sleep = Sleep::kOnCondition;
      if (until) wake.wait_until(lk, *until);
      else wake.wait(lk);
      sleep = Sleep::kAwake;
      return;
    }
    int timeoutMs = -1;
    if (until) {
      const Clock::time_point now = Clock::now();
      // Rounded up: waking a little early would only spin until the timer is due.
      timeoutMs = *until <= now ? 0
                                : static_cast<int>(std::min<int64_t>(
                                      std::chrono::ceil<std::chrono::milliseconds>(*until - now).count(), 1 << 30));
    }
    PollLocked(lk, timeoutMs);
  }

  // Waits at most timeoutMs (0: only looks) on the readiness set and hands what is ready to the
  // handler, which runs without the lock. Caller holds lk, held again on return.
  void PollLocked(std::unique_lock<std::mutex>& lk, int timeoutMs) {
    std::shared_ptr<ReadySet> set = ready;
    sleep = timeoutMs == 0 ? Sleep::kAwake : Sleep::kOnSet;
    takesSincePoll = 0;
    lk.unlock();
    epoll_event events[kReadyBatch];
    int n = set->Wait(events, kReadyBatch, timeoutMs);
    lk.lock();
    sleep = Sleep::kAwake;
    bool any = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == 0) {
        set->DrainWake();
        wakeSent = false;
      } else {
        any = true;
      }
    }
    if (!any) return;
    lk.unlock();
    ReadyHandler* handler = ReadyHandlerOf();
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 != 0 && handler) handler->OnReady(events[i].data.u64, events[i].events);
    }
    lk.lock();
  }

  static ReadyHandler* ReadyHandlerOf();
  static std::shared_ptr<ReadySet> MakeSet(ThreadId owner) { return ReadySet::Make(owner); }
  static std::unordered_set<uint64_t> CloseSet(ReadySet& set) { return set.Close(); }

  // The earliest due timer, if any. Caller holds mu.
  std::map<uintptr_t, Timer>::iterator DueTimer(Clock::time_point now) {
    auto best = timers.end();
    for (auto it = timers.begin(); it != timers.end(); ++it) {
      if (it->second.due <= now && (best == timers.end() || it->second.due < best->second.due)) best = it;
    }
    return best;
  }

  std::optional<Clock::time_point> NextDue() const {
    std::optional<Clock::time_point> next;
    for (const auto& [id, t] : timers) {
      if (!next || t.due < *next) next = t.due;
    }
    return next;
  }

  // Takes the next message: a due timer before posted messages, except right after a tick when a
  // posted message is waiting. *out must be empty. Caller holds mu.
  bool TakeLocked(Message* out, Clock::time_point now) {
    auto t = DueTimer(now);
    if (t != timers.end() && !(tickJustTaken && !posted.empty())) {
      // Ticks missed while the handler was busy merge into this one; the period keeps its phase
      // when on time and restarts from now when late.
      auto interval = std::chrono::milliseconds(t->second.intervalMs);
      t->second.due += interval;
      if (t->second.due <= now) t->second.due = now + interval;
      out->message = WM_TIMER;
      out->wParam = t->first;
      tickJustTaken = true;
      return true;
    }
    tickJustTaken = false;
    if (posted.empty()) return false;
    *out = std::move(posted.front());
    posted.pop_front();
    return true;
  }

  bool ReadyLocked(Clock::time_point now) {
    return !posted.empty() || DueTimer(now) != timers.end();
  }
};

}  // namespace detail

// ---- Readiness sets -----------------------------------------------------------------------------

namespace {
std::atomic<ReadyHandler*> g_readyHandler{nullptr};
}  // namespace

ReadyHandler* detail::MsgQueue::ReadyHandlerOf() { return g_readyHandler.load(); }

void SetReadyHandler(ReadyHandler* handler) { g_readyHandler.store(handler); }

namespace {

// Descriptor pairs (epoll instance, wake-up eventfd) of sets that have ended cleanly. A thread object
// per connection would otherwise create and close both, plus the registration of the one in the
// other, for every session: five system calls on a path that matters. Bounded like the parked
// threads that mostly use them; never destroyed, since sets may go while the process exits.
// Kept only while some thread object runs: when the last one has finished, the pool is emptied
// (and a set that goes after that closes its pair), so a process whose threads have all ended holds
// none of their descriptors.
struct FdPairPool {
  static constexpr size_t kMax = 256;
  std::mutex mu;
  std::vector<std::pair<int, int>> free;
};

FdPairPool& ThePairPool() {
  static FdPairPool* const p = new FdPairPool;
  return *p;
}

std::atomic<uint64_t> g_pairsMade{0};
// Thread objects started and not yet finished (counted down in Finish, before the end is told to
// those who wait for it, unlike the live count, which drops only after the object is let go).
std::atomic<size_t> g_unfinished{0};

void EmptyPairPool() {
  std::vector<std::pair<int, int>> pairs;
  {
    FdPairPool& pool = ThePairPool();
    std::lock_guard lk(pool.mu);
    pairs.swap(pool.free);
  }
  for (const auto& [epollFd, wakeFd] : pairs) {
    close(epollFd);
    close(wakeFd);
  }
}

}  // namespace

std::shared_ptr<ReadySet> ReadySet::Make(ThreadId owner) {
  std::shared_ptr<ReadySet> set(new ReadySet(owner));
  {
    FdPairPool& pool = ThePairPool();
    std::lock_guard lk(pool.mu);
    if (!pool.free.empty()) {
      // Holds only its wake-up descriptor (under key 0); a wake-up left in the counter by a late
      // writer of the earlier set is one spurious return of the first wait, which drains it.
      std::tie(set->m_epollFd, set->m_wakeFd) = pool.free.back();
      pool.free.pop_back();
      return set;
    }
  }
  g_pairsMade.fetch_add(1, std::memory_order_relaxed);
  set->m_epollFd = epoll_create1(EPOLL_CLOEXEC);
  set->m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (set->m_epollFd < 0 || set->m_wakeFd < 0) return nullptr;  // the destructor closes what opened
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;
  if (epoll_ctl(set->m_epollFd, EPOLL_CTL_ADD, set->m_wakeFd, &ev) != 0) return nullptr;
  return set;
}

ReadySet::~ReadySet() {
  // Nobody holds the set any more, so nobody can write the wake-up descriptor through it.
  if (m_reusable && m_epollFd >= 0 && m_wakeFd >= 0) {
    FdPairPool& pool = ThePairPool();
    std::lock_guard lk(pool.mu);
    // Read under the pool's lock: the last thread to finish empties the pool under it after its
    // count has dropped, so a pair is either emptied with the pool or closed here.
    if (pool.free.size() < FdPairPool::kMax && g_unfinished.load() > 0) {
      pool.free.emplace_back(m_epollFd, m_wakeFd);
      return;
    }
  }
  if (m_epollFd >= 0) close(m_epollFd);
  if (m_wakeFd >= 0) close(m_wakeFd);
}

uint64_t ReadySet::PairsMade() { return g_pairsMade.load(std::memory_order_relaxed); }

int ReadySet::Add(int fd, uint64_t key, uint32_t events) {
  if (key == 0) return EINVAL;
  std::lock_guard lk(m_mu);
  if (m_closed) return ESRCH;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = key;
  if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
    if (errno != EEXIST || epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &ev) != 0) return errno;
  }
  m_keys[key] = fd;
  return 0;
}

void ReadySet::Remove(int fd, uint64_t key) {
  std::lock_guard lk(m_mu);
  if (m_closed || m_keys.erase(key) == 0) return;
  // A watch that did not come out may still report: the pair is then not handed to another set.
  if (epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr) != 0) m_unclean = true;
}

// Switching this off makes every set close its descriptors as it ends (one place to rule the reuse
// out when a fault is hunted). A set is only used again when every watch came out cleanly, so a
// stale registration can never reach the next owner.
constexpr bool kReuseDescriptors = true;

std::unordered_set<uint64_t> ReadySet::Close() {
  std::lock_guard lk(m_mu);
  m_closed = true;
  // Whatever is still watched comes out now (its descriptors are still open: their owners wait on
  // m_mu to remove them before they close). Only a set emptied without a failure is used again; a
  // watch that could not be taken out would report a stale key to the next owner.
  bool clean = m_epollFd >= 0 && m_wakeFd >= 0 && !m_unclean;
  std::unordered_set<uint64_t> keys;
  for (const auto& [key, fd] : m_keys) {
    keys.insert(key);
    if (clean && epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr) != 0) clean = false;
  }
  m_keys.clear();
  if (clean && kReuseDescriptors) {
    m_reusable = true;
  } else if (m_epollFd >= 0) {
    close(m_epollFd);
    m_epollFd = -1;
  }
  return keys;
}

int ReadySet::Wait(epoll_event* events, int capacity, int timeoutMs) {
  const int n = epoll_wait(m_epollFd, events, capacity, timeoutMs);
  return n < 0 ? 0 : n;
}

void ReadySet::Wake() {
  const uint64_t one = 1;
  ssize_t r = write(m_wakeFd, &one, sizeof one);
  (void)r;  // a full counter already means "wake up"
}

void ReadySet::DrainWake() {
  uint64_t count;
  ssize_t r = read(m_wakeFd, &count, sizeof count);
  (void)r;  // nothing to read is a wake-up already taken
}

namespace {

using detail::MsgQueue;

struct Entry {
  std::shared_ptr<MsgQueue> queue;
  std::weak_ptr<MsgThread> thread;  // set once started
};

// The id table. Allocated once and never destroyed, so threads still running while the process
// exits never touch a destroyed table.
struct Registry {
  std::mutex mu;
  uint32_t nextId = 1;
  bool exhausted = false;
  std::unordered_map<ThreadId, Entry> map;
};

Registry& Reg() {
  static Registry* const r = new Registry;
  return *r;
}

std::atomic<size_t> g_liveThreads{0};

// ---- The parked pool ----------------------------------------------------------------------------
// Starting and ending an OS thread for every thread object (a session per connection) costs more
// than a short session's work: the system maps a stack and sets up the thread, and as the thread
// goes it unmaps the stack and flushes every processor's address translations for the process. An
// OS thread whose object has ended therefore waits here, parked, to run the next object. Each object
// still has a thread of its own for its whole life, with its own id, queue and readiness set (they
// belong to the object, never to the OS thread); only the OS thread under it is used again.

// A parked OS thread. The starter that takes it off the parked list stores the next object, sets
// `state` to kHanded and, only when the worker has gone to sleep, wakes it through a futex on that
// word. The pool's lock is not held for the hand-over, so the woken thread never waits for a lock
// its waker still holds; and the futex wait, unlike the standard semaphores, does not go through
// sched_yield first, which costs a context switch of its own on a busy machine.
struct Worker {
  enum : uint32_t { kWaiting = 0, kHanded = 1, kAsleep = 2 };
  std::atomic<uint32_t> state{kWaiting};
  std::shared_ptr<MsgThread> next;  // written before `state` becomes kHanded, read after
};

// A worker looks this many times (pausing in between) before it sleeps: in a burst of connections
// the next object often comes within microseconds, and then neither side makes a system call.
constexpr int kParkSpins = 64;

void CpuPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Sleeps while *word holds `value`, at most the time given (none: no limit); returns early when
// woken or interrupted, so callers look again.
void FutexWait(std::atomic<uint32_t>* word, uint32_t value, std::optional<std::chrono::nanoseconds> limit) {
  timespec ts{};
  if (limit) {
    ts.tv_sec = static_cast<time_t>(limit->count() / 1000000000);
    ts.tv_nsec = static_cast<long>(limit->count() % 1000000000);
  }
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, value, limit ? &ts : nullptr, nullptr, 0);
}

// Only the address is used: a worker that already saw its word set and moved on is at most woken
// once for nothing in its next wait, which looks again.
void FutexWake(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

struct Pool {
  std::mutex mu;  // guards `parked` only; held for a push or a pop
  // The most recently parked is taken first: its stack and caches are still warm.
  std::vector<Worker*> parked;
};

// Never destroyed, like the id table: parked threads wait on it while the process exits.
Pool& ThePool() {
  static Pool* const p = new Pool;
  return *p;
}

// Enough for the burst of connections a busy moment brings; more idle threads would only hold
// memory. An idle one ends after a while, so a quiet engine gives its threads back.
constexpr size_t kMaxParked = 256;
constexpr std::chrono::seconds kParkedIdle{30};

thread_local ThreadId t_currentId = 0;
// The object the thread object running on this OS thread started to run here after it (see
// CreateThreadAfterCurrent); taken by WorkerMain once that object has ended.
thread_local std::shared_ptr<MsgThread> t_successor;
// What the thread object running on this OS thread asked to run here once it has ended (see
// RunAfterCurrent), and whether that runs now (it may then start a successor).
thread_local std::function<void()> t_afterEnd;
thread_local bool t_betweenObjects = false;

ThreadId AllocateId() {
  Registry& r = Reg();
  std::lock_guard lk(r.mu);
  if (r.exhausted) return 0;
  ThreadId id = r.nextId;
  if (r.nextId == std::numeric_limits<uint32_t>::max()) r.exhausted = true;  // never wrap to reuse
  else ++r.nextId;
  return id;
}

std::shared_ptr<MsgQueue> LookupQueue(ThreadId tid) {
  if (tid == 0) return nullptr;
  Registry& r = Reg();
  std::lock_guard lk(r.mu);
  auto it = r.map.find(tid);
  return it == r.map.end() ? nullptr : it->second.queue;
}

// Removes the id from the table. The entry is destroyed after the lock is released.
void Unregister(ThreadId tid) {
  if (tid == 0) return;
  Entry gone;
  Registry& r = Reg();
  std::lock_guard lk(r.mu);
  auto it = r.map.find(tid);
  if (it == r.map.end()) return;
  gone = std::move(it->second);
  r.map.erase(it);
}

// Closes the queue; the pending messages (and their payloads) are freed by the caller's scope,
// outside the queue's lock, since a payload's destructor may post again. The readiness set closes
// with it, and whatever it still watched is handed back to the handler.
std::deque<Message> CloseQueue(MsgQueue& q) {
  std::deque<Message> pending;
  std::shared_ptr<ReadySet> set;
  {
    std::unique_lock lk(q.mu);
    q.closed = true;
    q.timers.clear();
    pending.swap(q.posted);
    set = std::move(q.ready);
    q.WakeAndUnlock(lk);
  }
  q.wake.notify_all();
  if (set) {
    std::unordered_set<uint64_t> keys = MsgQueue::CloseSet(*set);
    ReadyHandler* handler = MsgQueue::ReadyHandlerOf();
    for (uint64_t key : keys) {
      if (handler) handler->OnOrphaned(key);
    }
  }
  return pending;
}

bool DebugEnabled() {
  const char* v = std::getenv("TRELLIS_DEBUG");
  return v && *v;
}

}  // namespace

bool PostThreadMessage(ThreadId tid, uint32_t message, uintptr_t wParam,
                       std::unique_ptr<MsgPayload> payload, intptr_t lParam) {
  Message m;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.payload = std::move(payload);
  std::shared_ptr<MsgQueue> q = LookupQueue(tid);
  return q && q->Push(m);
}

ThreadId CurrentThreadId() { return t_currentId; }

std::shared_ptr<ReadySet> GetReadySet(ThreadId tid) {
  std::shared_ptr<MsgQueue> q = LookupQueue(tid);
  if (!q) return nullptr;
  std::unique_lock lk(q->mu);
  if (q->closed) return nullptr;
  if (q->ready) return q->ready;
  std::shared_ptr<ReadySet> set = MsgQueue::MakeSet(tid);
  if (!set) return nullptr;
  q->ready = set;
  // A thread asleep on its condition variable moves to the set, where the new descriptor reaches it.
  if (q->sleep == MsgQueue::Sleep::kOnCondition) {
    lk.unlock();
    q->wake.notify_all();
  }
  return set;
}

MsgThread::MsgThread() : m_id(AllocateId()), m_queue(std::make_shared<MsgQueue>()) {
  if (m_id == 0) {
    CloseQueue(*m_queue);
    return;
  }
  Registry& r = Reg();
  std::lock_guard lk(r.mu);
  r.map.emplace(m_id, Entry{m_queue, {}});
}

namespace {
std::shared_ptr<MsgQueue> ClosedQueue() {
  static const std::shared_ptr<MsgQueue>* const q = [] {
    auto* p = new std::shared_ptr<MsgQueue>(std::make_shared<MsgQueue>());
    CloseQueue(**p);
    return p;
  }();
  return *q;
}
}  // namespace

MsgThread::MsgThread(NoThread) : m_id(0), m_queue(ClosedQueue()) {}

MsgThread::~MsgThread() {
  // An object without an id has no table entry, and its queue was closed when it was made.
  if (m_id == 0) return;
  // Reached either without ever starting, or after the thread has finished (it held a reference
  // until then). Both steps are no-ops when Finish already ran.
  Unregister(m_id);
  CloseQueue(*m_queue);
}

bool MsgThread::BeginStart(std::shared_ptr<MsgThread>* self) {
  if (m_id == 0) return false;
  *self = weak_from_this().lock();
  if (!*self) return false;
  if (m_started.exchange(true)) return false;
  {
    Registry& r = Reg();
    std::lock_guard lk(r.mu);
    auto it = r.map.find(m_id);
    if (it != r.map.end()) it->second.thread = *self;
  }
  g_liveThreads.fetch_add(1);
  g_unfinished.fetch_add(1);
  return true;
}

bool MsgThread::CreateThreadAfterCurrent() {
  // Only a thread object's own OS thread runs a successor, and only one per end.
  if ((t_currentId == 0 && !t_betweenObjects) || t_successor) return false;
  std::shared_ptr<MsgThread> self;
  if (!BeginStart(&self)) return false;
  t_successor = std::move(self);
  return true;
}

bool MsgThread::RunAfterCurrent(std::function<void()> fn) {
  if (!fn || t_currentId == 0 || t_betweenObjects || t_afterEnd) return false;
  t_afterEnd = std::move(fn);
  return true;
}

bool MsgThread::CreateThread() {
  std::shared_ptr<MsgThread> self;
  if (!BeginStart(&self)) return false;
  Worker* worker = nullptr;
  {
    Pool& pool = ThePool();
    std::lock_guard lk(pool.mu);
    if (!pool.parked.empty()) {
      worker = pool.parked.back();
      pool.parked.pop_back();
    }
  }
  if (worker) {
    // Off the list, the worker waits for this hand-over even when its idle time runs out.
    worker->next = std::move(self);
    if (worker->state.exchange(Worker::kHanded, std::memory_order_acq_rel) == Worker::kAsleep)
      FutexWake(&worker->state);
    return true;
  }
  try {
    std::thread(&MsgThread::WorkerMain, std::move(self)).detach();
  } catch (const std::system_error&) {
    g_liveThreads.fetch_sub(1);
    // Never ran: end it the same way a failed start ends on the host system.
    Finish(-1);
    return false;
  }
  return true;
}

void MsgThread::WorkerMain(std::shared_ptr<MsgThread> next) {
  Pool& pool = ThePool();
  while (next) {
    ThreadMain(std::move(next));
    if (t_afterEnd) {
      std::function<void()> afterEnd = std::move(t_afterEnd);
      t_afterEnd = nullptr;
      t_betweenObjects = true;
      try {
        afterEnd();
      } catch (...) {
        // Its owner catches what it cares about; the OS thread goes on to park either way.
      }
      afterEnd = nullptr;
      t_betweenObjects = false;
    }
    if (t_successor) {
      next = std::move(t_successor);
      continue;
    }
    Worker me;
    {
      std::lock_guard lk(pool.mu);
      if (pool.parked.size() >= kMaxParked) return;
      pool.parked.push_back(&me);
    }
    for (int i = 0; i < kParkSpins && me.state.load(std::memory_order_acquire) != Worker::kHanded; ++i) CpuPause();
    uint32_t waiting = Worker::kWaiting;
    if (me.state.compare_exchange_strong(waiting, Worker::kAsleep, std::memory_order_acq_rel)) {
      const auto idleEnd = std::chrono::steady_clock::now() + kParkedIdle;
      while (me.state.load(std::memory_order_acquire) != Worker::kHanded) {
        const auto left = idleEnd - std::chrono::steady_clock::now();
        if (left > std::chrono::nanoseconds::zero()) {
          FutexWait(&me.state, Worker::kAsleep, left);
          continue;
        }
        {
          std::lock_guard lk(pool.mu);
          auto it = std::find(pool.parked.begin(), pool.parked.end(), &me);
          if (it != pool.parked.end()) {
            pool.parked.erase(it);
            return;
          }
        }
        // A starter took this worker off the list just as its time ran out: the object comes.
        while (me.state.load(std::memory_order_acquire) != Worker::kHanded)
          FutexWait(&me.state, Worker::kAsleep, std::nullopt);
      }
    }
    next = std::move(me.next);
  }
}

void MsgThread::ThreadMain(std::shared_ptr<MsgThread> self) {
  t_currentId = self->m_id;
  int code = -1;
  try {
    code = self->InitInstance() ? self->Run() : self->ExitInstance();
  } catch (const std::exception& e) {
    code = -1;
    if (DebugEnabled()) std::fprintf(stderr, "thread %u ended by an exception: %s\n", self->m_id, e.what());
  } catch (...) {
    code = -1;
    if (DebugEnabled()) std::fprintf(stderr, "thread %u ended by an unknown exception\n", self->m_id);
  }
  self->Finish(code);
  t_currentId = 0;
  // The object may be destroyed right here, on its own thread.
  self.reset();
  // After the count drops only the pool is touched, which is never destroyed.
  g_liveThreads.fetch_sub(1);
}

std::deque<Message> MsgThread::CloseQueueAndTakeRest() { return CloseQueue(*m_queue); }

void MsgThread::Finish(int exitCode) {
  // Order matters: first no new poster can find the queue, then the queue refuses posts from
  // those that already hold it, then waiters learn of the end.
  Unregister(m_id);
  std::deque<Message> dropped = CloseQueue(*m_queue);
  dropped.clear();
  if (g_unfinished.fetch_sub(1) == 1) EmptyPairPool();
  {
    std::lock_guard lk(m_queue->mu);
    m_queue->exitCode = exitCode;
    m_queue->hasEnded = true;
  }
  m_queue->ended.notify_all();
}

bool MsgThread::Post(uint32_t message, uintptr_t wParam, std::unique_ptr<MsgPayload> payload, intptr_t lParam) {
  Message m;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.payload = std::move(payload);
  return m_queue->Push(m);
}

bool MsgThread::PostQuit(int exitCode) {
  return Post(WM_QUIT, static_cast<uintptr_t>(static_cast<intptr_t>(exitCode)));
}

bool MsgThread::WaitForExit(int timeoutMs) {
  std::shared_ptr<MsgQueue> q = m_queue;
  std::unique_lock lk(q->mu);
  if (q->hasEnded) return true;
  if (t_currentId != 0 && t_currentId == m_id) return false;
  if (timeoutMs < 0) {
    q->ended.wait(lk, [&] { return q->hasEnded; });
    return true;
  }
  return q->ended.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return q->hasEnded; });
}

bool MsgThread::HasEnded() const {
  std::lock_guard lk(m_queue->mu);
  return m_queue->hasEnded;
}

int MsgThread::ExitCode() const {
  std::lock_guard lk(m_queue->mu);
  return m_queue->hasEnded ? m_queue->exitCode : 0;
}

bool MsgThread::SetTimer(uintptr_t timerId, uint32_t intervalMs) {
  if (timerId == 0) return false;
  if (intervalMs < kMinTimerIntervalMs) intervalMs = kMinTimerIntervalMs;
  std::unique_lock lk(m_queue->mu);
  if (m_queue->closed) return false;
  auto& t = m_queue->timers[timerId];
  t.intervalMs = intervalMs;
  t.due = Clock::now() + std::chrono::milliseconds(intervalMs);
  m_queue->WakeAndUnlock(lk);
  return true;
}

bool MsgThread::KillTimer(uintptr_t timerId) {
  std::lock_guard lk(m_queue->mu);
  return m_queue->timers.erase(timerId) > 0;
}

size_t MsgThread::LiveThreadCount() { return g_liveThreads.load(); }

std::shared_ptr<MsgThread> MsgThread::Find(ThreadId tid) {
  if (tid == 0) return nullptr;
  Registry& r = Reg();
  std::lock_guard lk(r.mu);
  auto it = r.map.find(tid);
  return it == r.map.end() ? nullptr : it->second.thread.lock();
}

int MsgThread::Run() {
  Message msg;
  while (GetMessage(&msg)) {
    OnMessage(msg);
    msg = Message{};  // the payload is freed before waiting for the next message
  }
  return ExitInstance();
}

int MsgThread::ExitInstance() { return m_quitCode; }

void MsgThread::NoteQuit(const Message& m) {
  if (m.message == WM_QUIT) m_quitCode = static_cast<int>(static_cast<intptr_t>(m.wParam));
}

bool MsgThread::GetMessage(Message* out) {
  *out = Message{};  // a payload left in *out is freed here, not under the queue's lock
  MsgQueue& q = *m_queue;
  std::unique_lock lk(q.mu);
  for (;;) {
    if (q.closed) {
      out->message = WM_QUIT;
      out->wParam = static_cast<uintptr_t>(static_cast<intptr_t>(m_quitCode));
      return false;
    }
    if (q.ready && q.takesSincePoll >= MsgQueue::kPollEvery && !q.posted.empty()) {
      q.PollLocked(lk, 0);
      continue;
    }
    Clock::time_point now = Clock::now();
    if (q.TakeLocked(out, now)) {
      ++q.takesSincePoll;
      break;
    }
    q.SleepLocked(lk, q.NextDue());
  }
  lk.unlock();
  NoteQuit(*out);
  return out->message != WM_QUIT;
}

bool MsgThread::PeekMessage(Message* out) {
  *out = Message{};
  {
    MsgQueue& q = *m_queue;
    std::unique_lock lk(q.mu);
    // Posted messages go first without a look at the set, up to the same bound GetMessage keeps.
    if (q.ready && !q.closed && (q.posted.empty() || q.takesSincePoll >= MsgQueue::kPollEvery))
      q.PollLocked(lk, 0);
    if (!q.TakeLocked(out, Clock::now())) return false;
    ++q.takesSincePoll;
  }
  NoteQuit(*out);
  return true;
}

bool MsgThread::WaitMessage(int timeoutMs) {
  const bool forever = timeoutMs < 0;
  const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  MsgQueue& q = *m_queue;
  std::unique_lock lk(q.mu);
  for (;;) {
    Clock::time_point now = Clock::now();
    if (q.closed || q.ReadyLocked(now)) return true;
    if (!forever && now >= limit) return false;
    std::optional<Clock::time_point> until = q.NextDue();
    if (!forever && (!until || limit < *until)) until = limit;
    q.SleepLocked(lk, until);
  }
}

}  // namespace platform
