#include "platform/msg_thread.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

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

  std::mutex mu;
  std::condition_variable wake;   // a message, a timer change or the close
  std::condition_variable ended;  // the thread has ended
  std::deque<Message> posted;
  std::map<uintptr_t, Timer> timers;
  bool closed = false;
  bool hasEnded = false;
  int exitCode = 0;
  // Set when the last message taken was a timer tick: the next take prefers a posted message.
  bool tickJustTaken = false;

  // Moves the message in on success; on failure it stays with the caller, who frees it.
  bool Push(Message& m) {
    {
      std::lock_guard lk(mu);
      if (closed) return false;
      posted.push_back(std::move(m));
    }
    wake.notify_one();
    return true;
  }

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
thread_local ThreadId t_currentId = 0;

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
// outside the queue's lock, since a payload's destructor may post again.
std::deque<Message> CloseQueue(MsgQueue& q) {
  std::deque<Message> pending;
  {
    std::lock_guard lk(q.mu);
    q.closed = true;
    q.timers.clear();
    pending.swap(q.posted);
  }
  q.wake.notify_all();
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

MsgThread::MsgThread() : m_id(AllocateId()), m_queue(std::make_shared<MsgQueue>()) {
  if (m_id == 0) {
    CloseQueue(*m_queue);
    return;
  }
  Registry& r = Reg();
  std::lock_guard lk(r.mu);
  r.map.emplace(m_id, Entry{m_queue, {}});
}

MsgThread::~MsgThread() {
  // Reached either without ever starting, or after the thread has finished (it held a reference
  // until then). Both steps are no-ops when Finish already ran.
  Unregister(m_id);
  CloseQueue(*m_queue);
}

bool MsgThread::CreateThread() {
  if (m_id == 0) return false;
  std::shared_ptr<MsgThread> self = weak_from_this().lock();
  if (!self) return false;
  if (m_started.exchange(true)) return false;
  {
    Registry& r = Reg();
    std::lock_guard lk(r.mu);
    auto it = r.map.find(m_id);
    if (it != r.map.end()) it->second.thread = self;
  }
  g_liveThreads.fetch_add(1);
  try {
    std::thread(&MsgThread::ThreadMain, std::move(self)).detach();
  } catch (const std::system_error&) {
    g_liveThreads.fetch_sub(1);
    // Never ran: end it the same way a failed start ends on the host system.
    Finish(-1);
    return false;
  }
  return true;
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
  // Nothing of this layer is touched after the count drops.
  g_liveThreads.fetch_sub(1);
}

void MsgThread::Finish(int exitCode) {
  // Order matters: first no new poster can find the queue, then the queue refuses posts from
  // those that already hold it, then waiters learn of the end.
  Unregister(m_id);
  std::deque<Message> dropped = CloseQueue(*m_queue);
  dropped.clear();
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
  {
    std::lock_guard lk(m_queue->mu);
    if (m_queue->closed) return false;
    auto& t = m_queue->timers[timerId];
    t.intervalMs = intervalMs;
    t.due = Clock::now() + std::chrono::milliseconds(intervalMs);
  }
  m_queue->wake.notify_all();
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
  std::unique_lock lk(m_queue->mu);
  for (;;) {
    if (m_queue->closed) {
      out->message = WM_QUIT;
      out->wParam = static_cast<uintptr_t>(static_cast<intptr_t>(m_quitCode));
      return false;
    }
    Clock::time_point now = Clock::now();
    if (m_queue->TakeLocked(out, now)) break;
    std::optional<Clock::time_point> due = m_queue->NextDue();
    if (due) m_queue->wake.wait_until(lk, *due);
    else m_queue->wake.wait(lk);
  }
  lk.unlock();
  NoteQuit(*out);
  return out->message != WM_QUIT;
}

bool MsgThread::PeekMessage(Message* out) {
  *out = Message{};
  {
    std::lock_guard lk(m_queue->mu);
    if (!m_queue->TakeLocked(out, Clock::now())) return false;
  }
  NoteQuit(*out);
  return true;
}

bool MsgThread::WaitMessage(int timeoutMs) {
  const bool forever = timeoutMs < 0;
  const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  std::unique_lock lk(m_queue->mu);
  for (;;) {
    Clock::time_point now = Clock::now();
    if (m_queue->closed || m_queue->ReadyLocked(now)) return true;
    if (!forever && now >= limit) return false;
    std::optional<Clock::time_point> until = m_queue->NextDue();
    if (!forever && (!until || limit < *until)) until = limit;
    if (until) m_queue->wake.wait_until(lk, *until);
    else m_queue->wake.wait(lk);
  }
}

}  // namespace platform
