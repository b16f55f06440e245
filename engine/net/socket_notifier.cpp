#include "engine/net/socket_notifier.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "engine/net/socket_exception.h"
#include "engine/net/x1_socket.h"
#include "platform/clock.h"

// Readiness from epoll and from poll is read by one translation, so the bits must agree.
static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP && EPOLLRDHUP == POLLRDHUP);

namespace x1net {

std::atomic<long> Notifier::openSockets{0};

int SlotOfEvent(uint32_t fdEvent) {
  switch (fdEvent) {
    case FD_ACCEPT: return kAccept;
    case FD_READ: return kRead;
    case FD_WRITE: return kWrite;
    case FD_CLOSE: return kClose;
    default: return -1;
  }
}

uint32_t EventOfSlot(int slot) {
  static constexpr uint32_t kEvents[kSlots] = {FD_ACCEPT, FD_READ, FD_WRITE, FD_CLOSE};
  return (slot >= 0 && slot < kSlots) ? kEvents[slot] : 0;
}

namespace {

thread_local bool t_isPoller = false;

int BytesWaiting(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) < 0) return 0;
  return n;
}

}  // namespace

SockState::~SockState() {
  if (const int room = roomFd.load(); room >= 0) close(room);
}

Notifier& Notifier::Get() {
  // Deliberately never destroyed: X1Socket objects with static storage close through it at exit.
  static Notifier* notifier = new Notifier();
  return *notifier;
}

Notifier::Notifier() {
  // Sends use MSG_NOSIGNAL; this covers every other write to a socket of the process.
  signal(SIGPIPE, SIG_IGN);
  // The layer stands where the notification window stood: failing to make it is that failure.
  auto fail = [this] {
    if (m_wakeFd >= 0) close(m_wakeFd);
    if (m_epollFd >= 0) close(m_epollFd);
    throw X1SocketException(0, kNotifierFailedText);
  };
  m_epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (m_epollFd < 0) fail();
  m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) fail();
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;  // ids start at 1, so 0 is the wake-up descriptor
  if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &ev) != 0) fail();
  platform::SetReadyHandler(this);
  try {
    std::thread([this] { PollerMain(); }).detach();
  } catch (const std::system_error&) {
    fail();
  }
}

void Notifier::Wake() {
  uint64_t one = 1;
  ssize_t r = write(m_wakeFd, &one, sizeof one);
  (void)r;  // a full counter already means "wake up"
}

void Notifier::Register(const std::shared_ptr<SockState>& st) {
  SocketId id = m_nextId.fetch_add(1);
  st->id = id;
  std::lock_guard<std::mutex> g(m_registryMutex);
  m_registry[id] = st;
}

std::shared_ptr<SockState> Notifier::Find(SocketId id) {
  std::lock_guard<std::mutex> g(m_registryMutex);
  auto it = m_registry.find(id);
  return it == m_registry.end() ? nullptr : it->second;
}

// Edge-triggered: registration reports the present state once (arming while data waits posts at
// once), and afterwards every new arrival is reported; whether that becomes an event is decided by
// the pending flags, so an owner that has not read yet gets no flood.
static constexpr uint32_t kWatchedEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;
// Room to send is watched only for a socket that asked for FD_WRITE: every acknowledgement frees
// room, and a sender that never waits for it would be woken for nothing.
static uint32_t WatchedEvents(const SockState& st) { return kWatchedEvents | ((st.mask & FD_WRITE) ? EPOLLOUT : 0u); }

int Notifier::WatchLocked(SockState& st) {
  UnwatchLocked(st);
  const platform::ThreadId target = st.callbackMode ? m_notifyTid.load() : st.owner;
  if (target != 0) {
    if (std::shared_ptr<platform::ReadySet> set = platform::GetReadySet(target)) {
      const int err = set->Add(st.fd, st.id, WatchedEvents(st));
      if (err == 0) {
        st.home = std::move(set);
        return 0;
      }
      if (err != ESRCH) return err;
    }
    // The thread has ended or could not get a set: the shared poller watches the socket.
  }
  epoll_event ev{};
  ev.events = WatchedEvents(st);
  ev.data.u64 = st.id;
  if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, st.fd, &ev) < 0) return errno;
  st.inShared = true;
  return 0;
}

void Notifier::UnwatchLocked(SockState& st) {
  if (st.home) {
    if (st.fd >= 0) st.home->Remove(st.fd, st.id);
    st.home.reset();
  }
  if (st.inShared && st.fd >= 0) epoll_ctl(m_epollFd, EPOLL_CTL_DEL, st.fd, nullptr);
  st.inShared = false;
}

void Notifier::ArmLocked(SockState& st, std::vector<Dispatch>& out) {
  if (st.fd < 0 || st.closing || st.id == 0) throw X1SocketException(WSAENOTSOCK);
  if (st.armed) return;
  if (int err = WatchLocked(st)) throw X1SocketException(SocketErrorFromErrno(err));
  st.armed = true;
  if ((st.mask & FD_WRITE) && (st.connected || st.kind == SockKind::Datagram)) SignalLocked(st, kWrite, out);
}

void Notifier::DisarmLocked(SockState& st) {
  st.armed = false;
  UnwatchLocked(st);
}

void Notifier::OnReady(uint64_t key, uint32_t events) {
  std::shared_ptr<SockState> st = Find(static_cast<SocketId>(key));
  if (!st) return;  // closed since: the readiness belongs to nobody
  std::vector<Dispatch> out;
  {
    std::lock_guard<std::mutex> g(st->mx);
    if (st->id == key) TranslateLocked(*st, events, out);
  }
  Flush(out);
}

void Notifier::OnOrphaned(uint64_t key) {
  std::shared_ptr<SockState> st = Find(static_cast<SocketId>(key));
  if (!st) return;
  std::vector<Dispatch> out;
  {
    std::lock_guard<std::mutex> g(st->mx);
    if (st->id != key || !st->armed || st->fd < 0 || st->closing) return;
    // Watched again where it can be heard: the shared poller, unless the events go to a live
    // thread again by now. Registration reports what is waiting, so the next event comes even if
    // it arrived while nobody watched; for an ended owner it closes the socket.
    if (WatchLocked(*st) != 0) st->armed = false;
    EvaluateLocked(*st, out);
  }
  Flush(out);
}

void Notifier::TranslateLocked(SockState& st, uint32_t events, std::vector<Dispatch>& out) {
  if (!st.armed || st.fd < 0 || st.closing || st.id == 0) return;
  switch (st.kind) {
    case SockKind::Listener:
      if ((events & (EPOLLIN | EPOLLERR)) && (st.mask & FD_ACCEPT)) {
        if (st.acceptPausedUntil != 0 && platform::TickCount64() < st.acceptPausedUntil) return;
        SignalLocked(st, kAccept, out);
      }
      return;
    case SockKind::Datagram:
      // An ICMP error on a connected datagram socket is read as the error of the next receive.
      if ((events & (EPOLLIN | EPOLLERR)) && (st.mask & FD_READ)) SignalLocked(st, kRead, out);
      return;
    case SockKind::Stream: {
      // A socket that is not connected polls as hung up; nothing of it is an event yet.
      if (!st.connected) return;
      const bool ended = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
      if (!st.closeSent && (st.mask & FD_READ) && (events & EPOLLIN)) {
        // At the end of the stream the socket is readable with nothing to read: only data is news.
        if (!ended || BytesWaiting(st.fd) > 0) SignalLocked(st, kRead, out);
      }
      // Room to send again, after a send that found none; also after the peer ended its sending,
      // since the other direction may still be open.
      if ((st.mask & FD_WRITE) && (events & EPOLLOUT) && !(events & (EPOLLHUP | EPOLLERR))) SignalLocked(st, kWrite, out);
      if (st.closeSent) return;
      if (ended && (st.mask & FD_CLOSE)) {
        SignalLocked(st, kClose, out);
        st.closeSent = true;
      }
      return;
    }
  }
}

void Notifier::EvaluateLocked(SockState& st, std::vector<Dispatch>& out) {
  if (!st.armed || st.fd < 0 || st.closing) return;
  pollfd p{st.fd, static_cast<short>(POLLIN | POLLRDHUP | ((st.mask & FD_WRITE) ? POLLOUT : 0)), 0};
  if (poll(&p, 1, 0) > 0) TranslateLocked(st, static_cast<uint16_t>(p.revents), out);
}

void Notifier::SignalLocked(SockState& st, int slot, std::vector<Dispatch>& out) {
  if (st.fd < 0 || st.closing || st.id == 0 || st.pending[slot] != 0) return;
  uint32_t event = EventOfSlot(slot);
  uint64_t seq = ++st.seq;
  if (st.callbackMode) {
    st.pending[slot] = seq;
    platform::ThreadId tid = m_notifyTid.load();
    if (tid == 0) {
      out.push_back(Dispatch{st.shared_from_this(), st.id, event, seq});
    } else if (!platform::PostThreadMessage(tid, platform::WM_SOCKET_NOTIFY, st.id, {},
                                            static_cast<intptr_t>((seq << 8) | event))) {
      st.pending[slot] = 0;  // the notification thread is gone: nobody to tell
    }
    return;
  }
  if (st.owner == 0) return;  // neither an owner nor a callback: nobody to tell
  st.pending[slot] = seq;
  if (!platform::PostThreadMessage(st.owner, platform::WM_SOCKET_ACCEPT + static_cast<uint32_t>(slot),
                                   st.id, {}, static_cast<intptr_t>(seq))) {
    // The owner has ended and nobody will ever read or close this socket.
    CloseLocked(st);
  }
}

void Notifier::RetargetLocked(SockState& st, std::vector<Dispatch>& out) {
  if (st.armed && st.fd >= 0 && !st.closing) {
    // Watched by the thread its events go to now. Should that fail, the socket can no longer be
    // heard: it is disarmed, as a failed arm would have left it.
    const platform::ThreadId target = st.callbackMode ? m_notifyTid.load() : st.owner;
    if (!st.home || st.home->Owner() != target) {
      if (WatchLocked(st) != 0) DisarmLocked(st);
    }
  }
  bool write = st.pending[kWrite] != 0;
  if (st.pending[kClose] != 0) st.closeSent = false;  // posted but never taken: post it again
  for (uint64_t& p : st.pending) p = 0;
  if (write) SignalLocked(st, kWrite, out);
  EvaluateLocked(st, out);
}

void Notifier::CloseLocked(SockState& st) {
  if (st.id != 0) {
    std::lock_guard<std::mutex> g(m_registryMutex);
    m_registry.erase(st.id);
  }
  // Out of its set under the id it was watched by, before the id goes: a watch left behind would
  // keep the set from being used again by the next thread and report a stale key as it ends.
  DisarmLocked(st);
  st.id = 0;
  for (uint64_t& p : st.pending) p = 0;
  st.connected = false;
  st.object = nullptr;
  if (st.fd >= 0 && !st.closing) {
    openSockets.fetch_sub(1);
    if (st.inCall > 0) {
      // Wakes the call (a blocked send fails, a wait sees the end); the descriptor stays valid
      // until that call has left.
      shutdown(st.fd, SHUT_RDWR);
      st.closing = true;
    } else {
      close(st.fd);
      st.fd = -1;
    }
  }
}

void Notifier::PauseAcceptLocked(SockState& st, uint32_t ms) {
  if (st.id == 0) return;
  uint64_t at = platform::TickCount64() + ms;
  st.acceptPausedUntil = at;
  {
    std::lock_guard<std::mutex> g(m_queueMutex);
    m_retries.push_back(Retry{st.shared_from_this(), st.id, at});
  }
  Wake();
}

void Notifier::LendLocked(SockState& st) {
  // The count may have moved since the caller saw it change: what it says now decides.
  if (st.lent || st.waiting.load() == 0) return;
  st.lent = true;
  if (st.armed && st.fd >= 0 && !st.closing) UnwatchLocked(st);
}

void Notifier::ReturnLocked(SockState& st) {
  if (!st.lent || st.waiting.load() != 0) return;
  st.lent = false;
  if (!st.armed || st.fd < 0 || st.closing || st.id == 0) return;
  // Registration reports a connection already pending, so none is left waiting unannounced.
  if (WatchLocked(st) != 0) st.armed = false;
}

void Notifier::Flush(std::vector<Dispatch>& out) {
  if (out.empty()) return;
  {
    std::lock_guard<std::mutex> g(m_queueMutex);
    for (Dispatch& d : out) m_queued.push_back(std::move(d));
  }
  out.clear();
  // A callback running on the poller (an accept that finds the next connection) only queues: the
  // loop runs the queue before it waits again, so callbacks never nest.
  if (!t_isPoller) Wake();
}

void Notifier::RunAll(std::vector<Dispatch>& list) {
  for (const Dispatch& d : list) RunDispatch(d);
  list.clear();
}

bool Notifier::RunDispatch(const Dispatch& d) {
  std::lock_guard<std::recursive_mutex> running(d.st->dispatchMx);
  X1Socket* object = nullptr;
  {
    std::lock_guard<std::mutex> g(d.st->mx);
    int slot = SlotOfEvent(d.event);
    if (slot < 0 || d.st->id != d.id || !d.st->callbackMode || d.st->object == nullptr) return false;
    if (d.st->pending[slot] != d.seq) return false;  // stale: taken, superseded or retargeted
    d.st->pending[slot] = 0;
    object = d.st->object;
  }
  object->DeliverEvent(d.event);
  return true;
}

void Notifier::PollerMain() {
  constexpr int kBatch = 128;
  epoll_event events[kBatch];
  std::vector<Dispatch> out;
  std::vector<Dispatch> queued;
  t_isPoller = true;
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard<std::mutex> g(m_queueMutex);
      if (!m_queued.empty()) {
        timeout = 0;
      } else if (!m_retries.empty()) {
        uint64_t now = platform::TickCount64();
        uint64_t first = m_retries.front().at;
        for (const Retry& r : m_retries) first = std::min(first, r.at);
        timeout = first <= now ? 0 : static_cast<int>(std::min<uint64_t>(first - now, 60000));
      }
    }
    int n = epoll_wait(m_epollFd, events, kBatch, timeout);
    if (n < 0) n = 0;  // EINTR
    for (int i = 0; i < n; ++i) {
      SocketId id = static_cast<SocketId>(events[i].data.u64);
      if (id == 0) {
        uint64_t count;
        ssize_t r = read(m_wakeFd, &count, sizeof count);
        (void)r;
        continue;
      }
      std::shared_ptr<SockState> st = Find(id);
      if (!st) continue;  // closed since: the event belongs to nobody
      std::lock_guard<std::mutex> g(st->mx);
      if (st->id == id) TranslateLocked(*st, events[i].events, out);
    }

    std::vector<Retry> due;
    {
      std::lock_guard<std::mutex> g(m_queueMutex);
      uint64_t now = platform::TickCount64();
      for (size_t i = 0; i < m_retries.size();) {
        if (m_retries[i].at <= now) {
          due.push_back(std::move(m_retries[i]));
          m_retries.erase(m_retries.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
          ++i;
        }
      }
      queued.swap(m_queued);
    }
    for (Retry& r : due) {
      std::lock_guard<std::mutex> g(r.st->mx);
      if (r.st->id != r.id || r.st->acceptPausedUntil != r.at) continue;
      r.st->acceptPausedUntil = 0;
      EvaluateLocked(*r.st, out);
    }
    RunAll(queued);
    RunAll(out);
  }
}

}  // namespace x1net
