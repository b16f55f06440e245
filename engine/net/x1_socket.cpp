#include "engine/net/x1_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "platform/clock.h"

using x1net::Dispatch;
using x1net::Notifier;
using x1net::SockKind;
using x1net::SockState;

namespace {

std::mutex g_resolverMx;
X1Socket::Resolver g_resolver;

CString LookupFailedText(const CString& host) {
  CString format = RegReadString("ErrorStrings\\SocketErrors", "HostnameLookupFailed", "");
  if (format.empty()) format = "Host name lookup for '%s' failed";
  return FormatOperatorText(format, {host});
}

bool SystemResolve(const CString& host, uint32_t* address) {
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return false;
  bool found = false;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
      *address = ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
      found = true;
      break;
    }
  }
  freeaddrinfo(list);
  return found;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  return sa;
}

int BytesWaiting(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) < 0) return 0;
  return n;
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// Milliseconds left until deadline (0 = none left); a negative timeout means no deadline.
int Remaining(uint64_t deadline, bool unlimited) {
  if (unlimited) return -1;
  uint64_t now = platform::TickCount64();
  return now >= deadline ? 0 : static_cast<int>(std::min<uint64_t>(deadline - now, 1u << 30));
}

[[noreturn]] void ThrowErrno(int err) { throw X1SocketException(SocketErrorFromErrno(err)); }

// The result of a failed receive: "nothing now" and the end of a connection read as 0 bytes (the
// end is reported by FD_CLOSE); anything else is an error. A refused datagram (the peer's port
// unreachable) is reported as a reset, as the host system does.
size_t ReceiveFailure(int err, bool datagram) {
  if (err == EAGAIN || err == EWOULDBLOCK) return 0;
  if (datagram) {
    if (err == ECONNREFUSED) throw X1SocketException(WSAECONNRESET);
    ThrowErrno(err);
  }
  switch (err) {
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EPIPE:
    case ENOTCONN:
    case ESHUTDOWN:
      return 0;
    default:
      ThrowErrno(err);
  }
}

// Keeps how a stream ended when a receive (n bytes, or -1 with err) met its end: 0 bytes for a
// non-empty read is the peer's orderly end, one of ReceiveFailure's end errors a reset or a
// failure. Only the first end counts: after an orderly end the system may report a later reset,
// which does not make the stream read so far any less whole.
void NoteStreamEnd(SockState& st, ssize_t n, size_t length, int err) {
  std::lock_guard<std::mutex> g(st.mx);
  if (st.kind != SockKind::Stream || !st.connected || st.endSeen) return;
  if (n == 0 && length > 0) {
    st.endSeen = true;
    st.endError = 0;
    return;
  }
  if (n >= 0) return;
  switch (err) {
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EPIPE:
    case ENOTCONN:
    case ESHUTDOWN:
      st.endSeen = true;
      st.endError = SocketErrorFromErrno(err);
      return;
    default: return;
  }
}

}  // namespace

// A call that uses the descriptor: while it lives the descriptor stays valid even when another
// thread closes the socket (which then only shuts it down), and the last call to leave a closed
// socket closes the descriptor.
class X1Socket::Call {
 public:
  explicit Call(const X1Socket& socket) : m_state(socket.State()) {
    if (!m_state) return;
    std::lock_guard<std::mutex> g(m_state->mx);
    if (m_state->fd < 0 || m_state->closing || m_state->id == 0) {
      m_state.reset();
      return;
    }
    ++m_state->inCall;
    m_fd = m_state->fd;
  }
  ~Call() {
    if (!m_state) return;
    std::lock_guard<std::mutex> g(m_state->mx);
    if (--m_state->inCall == 0 && m_state->closing) {
      close(m_state->fd);
      m_state->fd = -1;
      m_state->closing = false;
    }
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  bool ok() const { return m_state != nullptr; }
  void require() const {
    if (!m_state) throw X1SocketException(WSAENOTSOCK);
  }
  int fd() const { return m_fd; }
  const std::shared_ptr<SockState>& st() const { return m_state; }
  bool closing() const {
    std::lock_guard<std::mutex> g(m_state->mx);
    return m_state->closing;
  }

 private:
  std::shared_ptr<SockState> m_state;
  int m_fd = -1;
};

X1Socket::X1Socket() = default;

X1Socket::~X1Socket() { Close(); }

// ---- Process-wide ---------------------------------------------------------------------------

void X1Socket::InitNotifier() { Notifier::Get(); }

void X1Socket::SetNotificationThread(platform::ThreadId tid) { Notifier::Get().SetNotificationThread(tid); }

platform::ThreadId X1Socket::GetNotificationThread() { return Notifier::Get().GetNotificationThread(); }

bool X1Socket::DispatchNotification(const platform::Message& msg) {
  if (msg.message != platform::WM_SOCKET_NOTIFY) return false;
  std::shared_ptr<SockState> st = Notifier::Get().Find(static_cast<SocketId>(msg.wParam));
  if (!st) return false;
  uint64_t word = static_cast<uint64_t>(msg.lParam);
  return Notifier::RunDispatch(Dispatch{st, static_cast<SocketId>(msg.wParam),
                                        static_cast<uint32_t>(word & 0xFF), word >> 8});
}

uint32_t X1Socket::EventOfMessage(uint32_t message) {
  switch (message) {
    case platform::WM_SOCKET_ACCEPT: return FD_ACCEPT;
    case platform::WM_SOCKET_READ: return FD_READ;
    case platform::WM_SOCKET_WRITE: return FD_WRITE;
    case platform::WM_SOCKET_CLOSE: return FD_CLOSE;
    default: return 0;
  }
}

long X1Socket::GetOpenSocketCount() { return Notifier::openSockets.load(); }

void X1Socket::SetResolver(Resolver resolver) {
  std::lock_guard<std::mutex> g(g_resolverMx);
  g_resolver = std::move(resolver);
}

// ---- Life -----------------------------------------------------------------------------------

std::shared_ptr<SockState> X1Socket::State() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_st;
}

void X1Socket::Open(int fd, SockKind kind, bool connected) {
  auto st = std::make_shared<SockState>();
  st->fd = fd;
  st->kind = kind;
  st->connected = connected;
  st->object = this;
  {
    std::lock_guard<std::mutex> g(m_mx);
    st->mask = m_mask;
    st->callbackMode = m_callbackMode;
    st->owner = m_owner != 0 ? m_owner : platform::CurrentThreadId();
  }
  Notifier::Get().Register(st);
  Notifier::openSockets.fetch_add(1);
  std::lock_guard<std::mutex> g(m_mx);
  m_st = std::move(st);
}

void X1Socket::Create(int type) {
  if (type != SOCK_STREAM && type != SOCK_DGRAM) throw X1SocketException(WSAEPROTOTYPE);
  Notifier::Get();
  Close();
  int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) ThrowErrno(errno);
  Open(fd, type == SOCK_DGRAM ? SockKind::Datagram : SockKind::Stream, false);
}

void X1Socket::Close() {
  std::shared_ptr<SockState> st;
  {
    std::lock_guard<std::mutex> g(m_mx);
    st = std::move(m_st);
  }
  if (!st) return;
  // Waits for a callback of this socket that is running on another thread.
  std::lock_guard<std::recursive_mutex> running(st->dispatchMx);
  std::lock_guard<std::mutex> g(st->mx);
  Notifier::Get().CloseLocked(*st);
}

void X1Socket::Attach(int handle) {
  Close();
  if (handle < 0) return;
  try {
    Notifier::Get();
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(handle, SOL_SOCKET, SO_TYPE, &type, &len) < 0) ThrowErrno(errno);
    if (type != SOCK_STREAM && type != SOCK_DGRAM) throw X1SocketException(WSAEPROTOTYPE);
    int listening = 0;
    len = sizeof listening;
    if (getsockopt(handle, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) < 0) listening = 0;
    int flags = fcntl(handle, F_GETFL);
    if (flags < 0 || fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0) ThrowErrno(errno);
    if (fcntl(handle, F_SETFD, FD_CLOEXEC) < 0) ThrowErrno(errno);
    SockKind kind = listening ? SockKind::Listener : type == SOCK_DGRAM ? SockKind::Datagram : SockKind::Stream;
    Open(handle, kind, kind == SockKind::Stream);
  } catch (...) {
    close(handle);
    throw;
  }
}

void X1Socket::AttachAccepted(int handle) {
  if (handle < 0) return Attach(handle);
  const int flags = fcntl(handle, F_GETFL);
  if (flags < 0 || !(flags & O_NONBLOCK)) return Attach(handle);
  Close();
  try {
    Notifier::Get();
    Open(handle, SockKind::Stream, true);
  } catch (...) {
    close(handle);
    throw;
  }
}

bool X1Socket::IsOpen() const {
  std::shared_ptr<SockState> st = State();
  if (!st) return false;
  std::lock_guard<std::mutex> g(st->mx);
  return st->fd >= 0 && !st->closing && st->id != 0;
}

int X1Socket::GetHandle() const {
  std::shared_ptr<SockState> st = State();
  if (!st) return -1;
  std::lock_guard<std::mutex> g(st->mx);
  return st->closing ? -1 : st->fd;
}

SocketId X1Socket::GetId() const {
  std::shared_ptr<SockState> st = State();
  if (!st) return 0;
  std::lock_guard<std::mutex> g(st->mx);
  return st->id;
}

bool X1Socket::IsConnected() const {
  std::shared_ptr<SockState> st = State();
  if (!st) return false;
  std::lock_guard<std::mutex> g(st->mx);
  return st->connected;
}

bool X1Socket::IsDatagram() const {
  std::shared_ptr<SockState> st = State();
  if (!st) return false;
  std::lock_guard<std::mutex> g(st->mx);
  return st->kind == SockKind::Datagram;
}

// ---- Connections ----------------------------------------------------------------------------

void X1Socket::Connect(const CString& host, uint16_t port, int timeoutMs) {
  uint32_t address = 0;
  if (!TryParseIPAddress(host, &address)) {
    Resolver resolver;
    {
      std::lock_guard<std::mutex> g(g_resolverMx);
      resolver = g_resolver;
    }
    bool found = resolver ? resolver(host, &address) : SystemResolve(host, &address);
    if (!found) throw X1SocketException(WSAEINVAL, LookupFailedText(host));
  }
  {
    Call c(*this);
    c.require();
    sockaddr_in sa = MakeAddress(address, port);
    int r = connect(c.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (r < 0 && errno != EINPROGRESS && errno != EINTR) ThrowErrno(errno);
    if (r < 0) {
      bool unlimited = timeoutMs < 0;
      uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeoutMs, 0));
      for (;;) {
        pollfd p{c.fd(), POLLOUT, 0};
        int n = poll(&p, 1, Remaining(deadline, unlimited));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ThrowErrno(errno);
        if (c.closing()) throw X1SocketException(WSAEINTR);
        if (n == 0) throw X1SocketException(WSAETIMEDOUT);
        break;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(c.fd(), SOL_SOCKET, SO_ERROR, &err, &len) < 0) ThrowErrno(errno);
      if (err != 0) ThrowErrno(err);
    }
    std::vector<Dispatch> out;
    {
      std::lock_guard<std::mutex> g(c.st()->mx);
      SockState& st = *c.st();
      st.connected = st.kind == SockKind::Stream;
      // What arrived before the connection counted as made was not yet an event.
      Notifier::Get().EvaluateLocked(st, out);
      if (st.armed && (st.mask & FD_WRITE)) Notifier::Get().SignalLocked(st, x1net::kWrite, out);
    }
    Notifier::Get().Flush(out);
  }
  if (m_linkEnabled && m_link) m_link->ClientHandshake(*this);
}

int X1Socket::Accept() {
  uint32_t error = 0;
  const int fd = TryAccept(&error);
  if (fd < 0) throw X1SocketException(error);
  return fd;
}

int X1Socket::TryAccept(uint32_t* error) {
  Call c(*this);
  if (!c.ok()) {
    *error = WSAENOTSOCK;
    return -1;
  }
  SockState& st = *c.st();
  {
    std::lock_guard<std::mutex> g(st.mx);
    st.pending[x1net::kAccept] = 0;
  }
  int fd;
  do fd = accept4(c.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  while (fd < 0 && errno == EINTR);
  int err = fd < 0 ? errno : 0;
  std::vector<Dispatch> out;
  {
    std::lock_guard<std::mutex> g(st.mx);
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
      // The connection stays pending; asking again at once would only fail again.
      Notifier::Get().PauseAcceptLocked(st, 1000);
    } else if (err != EAGAIN && err != EWOULDBLOCK && st.armed && !st.lent && (st.mask & FD_ACCEPT) &&
               Readable(c.fd())) {
      // Another connection behind this one (or behind one the client aborted before it was taken)
      // would get no new edge. After "nothing pending" any later connection brings its own; and
      // threads waiting on the listener take what comes.
      Notifier::Get().SignalLocked(st, x1net::kAccept, out);
    }
  }
  Notifier::Get().Flush(out);
  if (fd < 0) *error = SocketErrorFromErrno(err);
  return fd;
}

int X1Socket::AcceptWaiting(int timeoutMs, uint32_t* error) {
  Call c(*this);
  if (!c.ok()) {
    *error = WSAENOTSOCK;
    return -1;
  }
  SockState& st = *c.st();
  int room = st.roomFd.load(std::memory_order_acquire);
  if (room < 0) {
    std::lock_guard<std::mutex> g(st.mx);
    if (st.kind != SockKind::Listener) {
      *error = WSAEINVAL;
      return -1;
    }
    if (st.roomFd.load() < 0) {
      // One shot: a connection wakes one waiter, which arms the room again once it has tried its
      // accept, so a connection still pending then wakes the next (level-triggered alone, every
      // waiter would be woken while the first has not yet taken it).
      const int fd = epoll_create1(EPOLL_CLOEXEC);
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLONESHOT;
      if (fd < 0 || epoll_ctl(fd, EPOLL_CTL_ADD, c.fd(), &ev) != 0) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        *error = SocketErrorFromErrno(err);
        return -1;
      }
      st.roomFd.store(fd, std::memory_order_release);
    }
    room = st.roomFd.load();
  }
  // Only the first thread to wait and the last to leave touch where the listener is watched.
  if (st.waiting.fetch_add(1) == 0) {
    std::lock_guard<std::mutex> g(st.mx);
    Notifier::Get().LendLocked(st);
  }
  const uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeoutMs, 0));
  int fd = -1;
  int err = 0;
  bool woken = false;  // the room's one shot went to this thread: it arms it again
  for (;;) {
    fd = accept4(c.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    err = fd < 0 ? errno : 0;
    if (woken) {
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLONESHOT;
      epoll_ctl(room, EPOLL_CTL_MOD, c.fd(), &ev);
      woken = false;
    }
    if (fd >= 0) break;
    if (err == EINTR) continue;
    // Closed meanwhile: the close shut the listener down, which woke the wait and fails the accept.
    if (c.closing()) err = ENOTSOCK;
    if (err != EAGAIN && err != EWOULDBLOCK) break;
    const int left = Remaining(deadline, false);
    if (left == 0) break;
    epoll_event ev;
    const int n = epoll_wait(room, &ev, 1, left);
    if (n > 0) woken = true;
    if (n < 0 && errno != EINTR) {
      err = errno;
      break;
    }
  }
  if (st.waiting.fetch_sub(1) == 1) {
    std::lock_guard<std::mutex> g(st.mx);
    Notifier::Get().ReturnLocked(st);
  }
  if (fd < 0) *error = SocketErrorFromErrno(err);
  return fd;
}

void X1Socket::Bind(uint16_t port, const CString& address) {
  uint32_t ip = INADDR_ANY;
  if (!address.empty() && !TryParseIPAddress(address, &ip)) throw X1SocketException(WSAEINVAL);
  Call c(*this);
  c.require();
  bool reuse;
  {
    std::lock_guard<std::mutex> g(m_mx);
    reuse = m_reuseAddress;
  }
  {
    std::lock_guard<std::mutex> g(c.st()->mx);
    reuse = reuse || c.st()->kind != SockKind::Datagram;
  }
  if (reuse) {
    int one = 1;
    if (setsockopt(c.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) ThrowErrno(errno);
  }
  sockaddr_in sa = MakeAddress(ip, port);
  if (bind(c.fd(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) ThrowErrno(errno);
}

void X1Socket::Listen(int backlog) {
  Call c(*this);
  c.require();
  if (listen(c.fd(), std::max(backlog, kMinListenBacklog)) < 0) ThrowErrno(errno);
  std::lock_guard<std::mutex> g(c.st()->mx);
  c.st()->kind = SockKind::Listener;
  c.st()->connected = false;
}

void X1Socket::SetReuseAddress(bool value) {
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_reuseAddress = value;
  }
  Call c(*this);
  if (!c.ok()) return;
  int v = value ? 1 : 0;
  if (setsockopt(c.fd(), SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) < 0) ThrowErrno(errno);
}

void X1Socket::SetBroadcast(bool value) {
  Call c(*this);
  c.require();
  int v = value ? 1 : 0;
  if (setsockopt(c.fd(), SOL_SOCKET, SO_BROADCAST, &v, sizeof v) < 0) ThrowErrno(errno);
}

void X1Socket::SetPacketInfo(bool value) {
  Call c(*this);
  c.require();
  int v = value ? 1 : 0;
  if (setsockopt(c.fd(), IPPROTO_IP, IP_PKTINFO, &v, sizeof v) < 0) ThrowErrno(errno);
}

void X1Socket::BindToDevice(const CString& interfaceName) {
  Call c(*this);
  c.require();
  if (interfaceName.size() >= IFNAMSIZ) throw X1SocketException(WSAEINVAL);
  if (setsockopt(c.fd(), SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                 static_cast<socklen_t>(interfaceName.size() + 1)) < 0)
    ThrowErrno(errno);
}

void X1Socket::ShutdownSend() {
  Call c(*this);
  c.require();
  if (shutdown(c.fd(), SHUT_WR) < 0) ThrowErrno(errno);
}

// ---- Events ---------------------------------------------------------------------------------

void X1Socket::Retarget() {
  std::shared_ptr<SockState> st;
  bool callbackMode;
  platform::ThreadId owner;
  {
    std::lock_guard<std::mutex> g(m_mx);
    st = m_st;
    callbackMode = m_callbackMode;
    owner = m_owner;
  }
  if (!st) return;
  std::vector<Dispatch> out;
  {
    std::lock_guard<std::mutex> g(st->mx);
    st->callbackMode = callbackMode;
    st->owner = owner != 0 ? owner : platform::CurrentThreadId();
    Notifier::Get().RetargetLocked(*st, out);
  }
  Notifier::Get().Flush(out);
}

void X1Socket::SetOwnerThread(platform::ThreadId tid) {
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_owner = tid;
    m_callbackMode = false;
  }
  Retarget();
}

platform::ThreadId X1Socket::GetOwnerThread() const {
  std::shared_ptr<SockState> st = State();
  if (st) {
    std::lock_guard<std::mutex> g(st->mx);
    return st->owner;
  }
  std::lock_guard<std::mutex> g(m_mx);
  return m_owner;
}

void X1Socket::SetCallback(X1SocketCallback fn, void* context) {
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_callback = fn;
    m_context = context;
    m_callbackMode = fn != nullptr;
  }
  Retarget();
}

void X1Socket::UseHandlers() {
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_callback = nullptr;
    m_context = nullptr;
    m_callbackMode = true;
  }
  Retarget();
}

void X1Socket::AsyncSelect(uint32_t mask) {
  std::shared_ptr<SockState> st;
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_mask = mask;
    st = m_st;
  }
  if (!st) return;
  std::vector<Dispatch> out;
  {
    std::lock_guard<std::mutex> g(st->mx);
    if (st->mask == mask) return;
    st->mask = mask;
    if (st->armed && st->fd >= 0 && !st->closing) {
      Notifier::Get().DisarmLocked(*st);
      Notifier::Get().ArmLocked(*st, out);
    }
  }
  Notifier::Get().Flush(out);
}

uint32_t X1Socket::GetEventMask() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_mask;
}

void X1Socket::ArmAsyncSelect() {
  std::shared_ptr<SockState> st = State();
  if (!st) throw X1SocketException(WSAENOTSOCK);
  std::vector<Dispatch> out;
  {
    std::lock_guard<std::mutex> g(st->mx);
    Notifier::Get().ArmLocked(*st, out);
  }
  Notifier::Get().Flush(out);
}

void X1Socket::CancelAsyncSelect() {
  std::shared_ptr<SockState> st = State();
  if (!st) return;
  std::lock_guard<std::mutex> g(st->mx);
  Notifier::Get().DisarmLocked(*st);
}

bool X1Socket::IsSelected() const {
  std::shared_ptr<SockState> st = State();
  if (!st) return false;
  std::lock_guard<std::mutex> g(st->mx);
  return st->armed;
}

bool X1Socket::TakeEvent(const platform::Message& msg) {
  int slot = x1net::SlotOfEvent(EventOfMessage(msg.message));
  if (slot < 0) return false;
  std::shared_ptr<SockState> st = State();
  if (!st) return false;
  std::lock_guard<std::mutex> g(st->mx);
  if (st->id == 0 || msg.wParam != st->id || st->callbackMode) return false;
  uint64_t seq = static_cast<uint64_t>(msg.lParam);
  if (st->pending[slot] == 0 || st->pending[slot] != seq) return false;
  st->pending[slot] = 0;
  return true;
}

bool X1Socket::IsEventPending(uint32_t fdEvent) const {
  int slot = x1net::SlotOfEvent(fdEvent);
  std::shared_ptr<SockState> st = State();
  if (slot < 0 || !st) return false;
  std::vector<Dispatch> out;
  bool pending;
  {
    std::lock_guard<std::mutex> g(st->mx);
    // A socket in its thread's set becomes an event when that thread waits; the question looks
    // first, so a busy owner's socket answers as the shared poller would have.
    if (st->pending[slot] == 0 && st->home) Notifier::Get().EvaluateLocked(*st, out);
    pending = st->pending[slot] != 0;
  }
  Notifier::Get().Flush(out);
  return pending;
}

void X1Socket::DeliverEvent(uint32_t event) {
  X1SocketCallback fn;
  void* context;
  {
    std::lock_guard<std::mutex> g(m_mx);
    fn = m_callback;
    context = m_context;
  }
  // A handler's failure ends with the handler; the notification thread goes on.
  try {
    if (fn != nullptr) {
      fn(context, this, event);
      return;
    }
    switch (event) {
      case FD_ACCEPT: OnAccept(); break;
      case FD_READ: OnReceive(); break;
      case FD_WRITE: OnSend(); break;
      case FD_CLOSE: OnClose(); break;
      default: break;
    }
  } catch (...) {
    // A handler's failure stays with that socket; the notification thread serves every other socket.
  }
}

// ---- Data -----------------------------------------------------------------------------------

void X1Socket::WaitForRoom(const Call& c, uint64_t deadline, bool unlimited) {
  pollfd pf{c.fd(), POLLOUT, 0};
  int r = poll(&pf, 1, Remaining(deadline, unlimited));
  if (r < 0 && errno != EINTR) ThrowErrno(errno);
  if (c.closing()) throw X1SocketException(WSAESHUTDOWN);
  if (r == 0) throw X1SocketException(WSAETIMEDOUT);
}

template <class Write>
void X1Socket::SendAll(const Call& c, size_t length, Write write) {
  const int timeout = m_sendTimeoutMs.load();
  const uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeout, 0));
  for (size_t done = 0; done < length;) {
    const ssize_t n = write(done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      m_bytesSent.fetch_add(static_cast<uint64_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitForRoom(c, deadline, timeout < 0);
      continue;
    }
    ThrowErrno(n < 0 ? errno : EPIPE);
  }
}

size_t X1Socket::Send(const void* buffer, size_t length) {
  if (length == 0) return 0;
  if (!m_ciphering) return SendRaw(buffer, length);
  // The link's send state runs on across chunks, so each chunk is sent whole before the next one
  // is enciphered: a short send would put the peer's deciphering out of step.
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  std::vector<uint8_t> work(std::min(length, kCipherChunk));
  for (size_t done = 0; done < length;) {
    size_t n = std::min(length - done, kCipherChunk);
    std::memcpy(work.data(), p + done, n);
    m_link->EncipherOutgoing(work.data(), n);
    SendRaw(work.data(), n);
    done += n;
  }
  return length;
}

size_t X1Socket::SendRaw(const void* buffer, size_t length) {
  if (length == 0) return 0;
  Call c(*this);
  c.require();
  const char* p = static_cast<const char*>(buffer);
  SendAll(c, length, [&](size_t done) { return send(c.fd(), p + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT); });
  return length;
}

size_t X1Socket::SendTo(const void* buffer, size_t length, uint16_t port, const CString& host) {
  // A stream cipher cannot survive lost or reordered datagrams.
  if (m_ciphering) throw X1SocketException(WSAEOPNOTSUPP);
  uint32_t address = 0;
  if (TryParseIPAddress(host, &address)) {
    if (address == 0) address = INADDR_BROADCAST;
  } else if (!SystemResolve(host, &address)) {
    throw X1SocketException(WSAEINVAL, LookupFailedText(host));
  }
  Call c(*this);
  c.require();
  sockaddr_in sa = MakeAddress(address, port);
  int timeout = m_sendTimeoutMs.load();
  uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeout, 0));
  for (;;) {
    ssize_t n = sendto(c.fd(), buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n >= 0) {
      m_bytesSent.fetch_add(static_cast<uint64_t>(n));
      return static_cast<size_t>(n);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitForRoom(c, deadline, timeout < 0);
      continue;
    }
    if (errno == ECONNREFUSED) throw X1SocketException(WSAECONNRESET);
    ThrowErrno(errno);
  }
}

void X1Socket::AfterReceive(const std::shared_ptr<SockState>& st, bool moreWaiting) {
  if (!moreWaiting) return;
  std::vector<Dispatch> out;
  {
    std::lock_guard<std::mutex> g(st->mx);
    if (st->armed && (st->mask & FD_READ) && !st->closeSent)
      Notifier::Get().SignalLocked(*st, x1net::kRead, out);
  }
  Notifier::Get().Flush(out);
}

size_t X1Socket::Receive(void* buffer, size_t length) {
  if (!m_ciphering) return ReceiveRaw(buffer, length);
  // Deciphered in place: never more than the caller's buffer, and at most one chunk.
  size_t n = ReceiveRaw(buffer, std::min(length, kCipherChunk));
  if (n > 0) m_link->DecipherIncoming(static_cast<uint8_t*>(buffer), n);
  return n;
}

size_t X1Socket::ReceiveRaw(void* buffer, size_t length) {
  Call c(*this);
  if (!c.ok()) return 0;
  bool datagram;
  {
    // A receive re-enables the read event: arrivals from now on post a new one.
    std::lock_guard<std::mutex> g(c.st()->mx);
    c.st()->pending[x1net::kRead] = 0;
    datagram = c.st()->kind == SockKind::Datagram;
  }
  // MSG_TRUNC gives a datagram's real length, so one cut short by the buffer is reported.
  int flags = MSG_DONTWAIT | (datagram ? MSG_TRUNC : 0);
  ssize_t n;
  do n = recv(c.fd(), buffer, length, flags);
  while (n < 0 && errno == EINTR);
  int err = n < 0 ? errno : 0;
  size_t got = n > 0 ? std::min(static_cast<size_t>(n), length) : 0;
  m_bytesReceived.fetch_add(got);
  if (!datagram) NoteStreamEnd(*c.st(), n, length, err);
  // An empty datagram reads as 0 bytes, so whether more is waiting is asked of poll, never of
  // the byte count.
  bool more = datagram ? Readable(c.fd()) : (got > 0 && got == length && BytesWaiting(c.fd()) > 0);
  AfterReceive(c.st(), more);
  if (n < 0) return ReceiveFailure(err, datagram);
  if (datagram && static_cast<size_t>(n) > length) throw X1SocketException(WSAEMSGSIZE);
  return got;
}

namespace {
// The pipe a thread's spliced bytes pass through; it is empty between calls, so a failure half-way
// drops it and the next call makes a new one.
class SplicePipe {
 public:
  ~SplicePipe() { Drop(); }
  bool Ready() {
    if (m_fds[0] >= 0) return true;
    if (pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      m_fds[0] = m_fds[1] = -1;
      return false;
    }
    // Room for a relay chunk even when the sender's segments are small (a pipe slot each): a
    // stream moves in passes of up to this much. Where the system allows less, the pipe keeps
    // what it has and a pass moves less.
    (void)fcntl(m_fds[1], F_SETPIPE_SZ, 1024 * 1024);
    return true;
  }
  void Drop() {
    for (int& fd : m_fds) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }
  int In() const { return m_fds[1]; }
  int Out() const { return m_fds[0]; }

 private:
  int m_fds[2] = {-1, -1};
};
thread_local SplicePipe t_splicePipe;
}  // namespace

size_t X1Socket::RelayTo(X1Socket& to, size_t max) { return RelayTo(to, max, nullptr); }

size_t X1Socket::RelayTo(X1Socket& to, size_t max, std::string* held) {
  if (max == 0) return 0;
  if (m_ciphering || to.m_ciphering || !t_splicePipe.Ready()) {
    std::vector<char> buffer(std::min<size_t>(max, 64 * 1024));
    const size_t n = Receive(buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (!held) {
      to.Send(buffer.data(), n);
      return n;
    }
    if (to.m_ciphering) {
      // Enciphered now, in order: the link's state runs on, so what is held goes out as it is.
      for (size_t done = 0; done < n; done += kCipherChunk)
        to.m_link->EncipherOutgoing(reinterpret_cast<uint8_t*>(buffer.data()) + done, std::min(kCipherChunk, n - done));
    }
    const size_t sent = held->empty() ? to.SendNow(buffer.data(), n) : 0;
    held->append(buffer.data() + sent, n - sent);
    return n;
  }
  Call c(*this);
  if (!c.ok()) return 0;
  {
    std::lock_guard<std::mutex> g(c.st()->mx);
    if (c.st()->kind != SockKind::Stream) throw X1SocketException(WSAEOPNOTSUPP);
    c.st()->pending[x1net::kRead] = 0;
  }
  ssize_t n;
  do n = splice(c.fd(), nullptr, t_splicePipe.In(), nullptr, max, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  while (n < 0 && errno == EINTR);
  const int err = n < 0 ? errno : 0;
  const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
  m_bytesReceived.fetch_add(got);
  NoteStreamEnd(*c.st(), n, max, err);
  // The pipe may hold less than was waiting (its slots, not its bytes, run out), so the socket
  // itself is asked.
  AfterReceive(c.st(), got > 0 && BytesWaiting(c.fd()) > 0);
  if (n < 0) return ReceiveFailure(err, false);
  try {
    if (!held) {
      to.SpliceOut(t_splicePipe.Out(), got);
      return got;
    }
    size_t out = 0;
    Call t(to);
    t.require();
    while (held->empty() && out < got) {
      ssize_t m;
      do m = splice(t_splicePipe.Out(), nullptr, t.fd(), nullptr, got - out, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      while (m < 0 && errno == EINTR);
      if (m > 0) {
        out += static_cast<size_t>(m);
        to.m_bytesSent.fetch_add(static_cast<uint64_t>(m));
        continue;
      }
      if (m < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      ThrowErrno(m < 0 ? errno : EPIPE);
    }
    // The pipe is the thread's and must be empty when this returns: the rest waits in user space.
    std::vector<char> rest(got - out);
    for (size_t done = 0; done < rest.size();) {
      const ssize_t r = ::read(t_splicePipe.Out(), rest.data() + done, rest.size() - done);
      if (r > 0) {
        done += static_cast<size_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      throw X1SocketException(WSAEFAULT);
    }
    held->append(rest.data(), rest.size());
  } catch (...) {
    // What is still in the pipe belongs to a connection that failed: it goes with the pipe.
    t_splicePipe.Drop();
    throw;
  }
  return got;
}

bool X1Socket::SendHeld(std::string& held) {
  if (held.empty()) return true;
  const size_t sent = SendNow(held.data(), held.size());
  held.erase(0, sent);
  return held.empty();
}

size_t X1Socket::SendNow(const void* buffer, size_t length) {
  Call c(*this);
  c.require();
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = send(c.fd(), p + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      m_bytesSent.fetch_add(static_cast<uint64_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    ThrowErrno(n < 0 ? errno : EPIPE);
  }
  return done;
}

void X1Socket::SpliceOut(int pipeOut, size_t length) {
  Call c(*this);
  c.require();
  SendAll(c, length, [&](size_t done) {
    return splice(pipeOut, nullptr, c.fd(), nullptr, length - done, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  });
}

size_t X1Socket::ReceiveFrom(void* buffer, size_t size, CString& address, uint16_t& port) {
  address.clear();
  port = 0;
  if (m_ciphering) throw X1SocketException(WSAEOPNOTSUPP);
  Call c(*this);
  if (!c.ok()) return 0;
  bool datagram;
  {
    std::lock_guard<std::mutex> g(c.st()->mx);
    c.st()->pending[x1net::kRead] = 0;
    datagram = c.st()->kind == SockKind::Datagram;
  }
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  int flags = MSG_DONTWAIT | (datagram ? MSG_TRUNC : 0);
  ssize_t n;
  do n = recvfrom(c.fd(), buffer, size, flags, reinterpret_cast<sockaddr*>(&from), &fromLen);
  while (n < 0 && errno == EINTR);
  int err = n < 0 ? errno : 0;
  size_t got = n > 0 ? std::min(static_cast<size_t>(n), size) : 0;
  m_bytesReceived.fetch_add(got);
  if (!datagram) NoteStreamEnd(*c.st(), n, size, err);
  bool more = datagram ? Readable(c.fd()) : (got > 0 && got == size && BytesWaiting(c.fd()) > 0);
  AfterReceive(c.st(), more);
  if (n < 0) return ReceiveFailure(err, datagram);
  if (fromLen >= sizeof(sockaddr_in) && from.sin_family == AF_INET) {
    address = FormatIPAddress(ntohl(from.sin_addr.s_addr));
    port = ntohs(from.sin_port);
  }
  if (datagram && static_cast<size_t>(n) > size) throw X1SocketException(WSAEMSGSIZE);
  return got;
}

void X1Socket::AnnounceWaiting() {
  Call c(*this);
  if (c.ok()) AfterReceive(c.st(), Readable(c.fd()));
}

size_t X1Socket::ReceiveFromLocal(void* buffer, size_t size, CString& address, uint16_t& port, uint32_t* localAddress,
                                  int* interfaceIndex, bool announceMore) {
  address.clear();
  port = 0;
  *localAddress = 0;
  *interfaceIndex = 0;
  if (m_ciphering) throw X1SocketException(WSAEOPNOTSUPP);
  Call c(*this);
  if (!c.ok()) return 0;
  {
    std::lock_guard<std::mutex> g(c.st()->mx);
    c.st()->pending[x1net::kRead] = 0;
  }
  sockaddr_in from{};
  iovec iov{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr mh{};
  mh.msg_name = &from;
  mh.msg_namelen = sizeof from;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  ssize_t n;
  do n = recvmsg(c.fd(), &mh, MSG_DONTWAIT | MSG_TRUNC);
  while (n < 0 && errno == EINTR);
  int err = n < 0 ? errno : 0;
  size_t got = n > 0 ? std::min(static_cast<size_t>(n), size) : 0;
  m_bytesReceived.fetch_add(got);
  if (announceMore) AfterReceive(c.st(), Readable(c.fd()));
  if (n < 0) return ReceiveFailure(err, true);
  if (mh.msg_namelen >= sizeof(sockaddr_in) && from.sin_family == AF_INET) {
    address = FormatIPAddress(ntohl(from.sin_addr.s_addr));
    port = ntohs(from.sin_port);
  }
  for (cmsghdr* cm = CMSG_FIRSTHDR(&mh); cm != nullptr; cm = CMSG_NXTHDR(&mh, cm)) {
    if (cm->cmsg_level != IPPROTO_IP || cm->cmsg_type != IP_PKTINFO) continue;
    in_pktinfo info;
    std::memcpy(&info, CMSG_DATA(cm), sizeof info);
    *localAddress = ntohl(info.ipi_spec_dst.s_addr);
    *interfaceIndex = info.ipi_ifindex;
  }
  // MSG_CTRUNC cannot drop the one small record asked for; a cut datagram is never passed on.
  if (static_cast<size_t>(n) > size || (mh.msg_flags & MSG_TRUNC)) throw X1SocketException(WSAEMSGSIZE);
  return got;
}

size_t X1Socket::SendToFrom(const void* buffer, size_t length, uint16_t port, uint32_t address,
                            uint32_t localAddress, int interfaceIndex) {
  if (m_ciphering) throw X1SocketException(WSAEOPNOTSUPP);
  Call c(*this);
  c.require();
  sockaddr_in sa = MakeAddress(address, port);
  iovec iov{const_cast<void*>(buffer), length};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr mh{};
  mh.msg_name = &sa;
  mh.msg_namelen = sizeof sa;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  if (localAddress != 0 || interfaceIndex != 0) {
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    cmsghdr* cm = CMSG_FIRSTHDR(&mh);
    cm->cmsg_level = IPPROTO_IP;
    cm->cmsg_type = IP_PKTINFO;
    cm->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = interfaceIndex;
    info.ipi_spec_dst.s_addr = htonl(localAddress);
    std::memcpy(CMSG_DATA(cm), &info, sizeof info);
  }
  int timeout = m_sendTimeoutMs.load();
  uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeout, 0));
  for (;;) {
    ssize_t n = sendmsg(c.fd(), &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      m_bytesSent.fetch_add(static_cast<uint64_t>(n));
      return static_cast<size_t>(n);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd pf{c.fd(), POLLOUT, 0};
      int r = poll(&pf, 1, Remaining(deadline, timeout < 0));
      if (r < 0 && errno != EINTR) ThrowErrno(errno);
      if (c.closing()) throw X1SocketException(WSAESHUTDOWN);
      if (r == 0) throw X1SocketException(WSAETIMEDOUT);
      continue;
    }
    if (errno == ECONNREFUSED) throw X1SocketException(WSAECONNRESET);
    ThrowErrno(errno);
  }
}

size_t X1Socket::Peek(void* buffer, size_t length) {
  if (m_ciphering) throw X1SocketException(WSAEOPNOTSUPP);
  Call c(*this);
  if (!c.ok() || length == 0) return 0;
  ssize_t n;
  do n = recv(c.fd(), buffer, length, MSG_PEEK | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  const int err = n < 0 ? errno : 0;
  NoteStreamEnd(*c.st(), n, length, err);
  if (n < 0) return ReceiveFailure(err, IsDatagram());
  return std::min(static_cast<size_t>(n), length);
}

size_t X1Socket::Printf(const char* format, ...) {
  CString text;
  va_list args;
  va_start(args, format);
  FormatStringV(text, format, args);
  va_end(args);
  return Send(text.data(), text.size());
}

uint64_t X1Socket::SendFile(int fileHandle) {
  uint64_t total = 0;
  // The kernel moves the file's pages to the connection itself (no copy through this process).
  // A ciphered link must see every byte, and a file the system cannot send that way (EINVAL,
  // ENOSYS at once) goes the read-and-send way.
  if (!m_ciphering && SendFileDirect(fileHandle, &total)) return total;
  std::vector<char> chunk(kSendFileChunk);
  for (;;) {
    ssize_t n = pread(fileHandle, chunk.data(), chunk.size(), static_cast<off_t>(total));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno(errno);
    if (n == 0) return total;
    Send(chunk.data(), static_cast<size_t>(n));
    total += static_cast<uint64_t>(n);
  }
}

bool X1Socket::SendFileDirect(int fileHandle, uint64_t* total) {
  Call c(*this);
  c.require();
  const int timeout = m_sendTimeoutMs.load();
  const uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeout, 0));
  for (;;) {
    off_t offset = static_cast<off_t>(*total);
    ssize_t n = sendfile(c.fd(), fileHandle, &offset, size_t{1} << 30);
    if (n > 0) {
      *total += static_cast<uint64_t>(n);
      m_bytesSent.fetch_add(static_cast<uint64_t>(n));
      continue;
    }
    if (n == 0) return true;  // the end of the file
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitForRoom(c, deadline, timeout < 0);
      continue;
    }
    if ((errno == EINVAL || errno == ENOSYS) && *total == 0) return false;
    ThrowErrno(errno);
  }
}

int X1Socket::WaitReadable(int timeoutMs) const {
  Call c(*this);
  if (!c.ok()) return POLLHUP;
  bool unlimited = timeoutMs < 0;
  uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeoutMs, 0));
  for (;;) {
    pollfd p{c.fd(), static_cast<short>(POLLIN | POLLRDHUP), 0};
    int n = poll(&p, 1, Remaining(deadline, unlimited));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno(errno);
    return n == 0 ? 0 : p.revents;
  }
}

size_t X1Socket::ReceiveLine(CString& line, int timeoutMs) {
  line.clear();
  if (m_ciphering) throw X1SocketException(WSAEOPNOTSUPP);
  uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(std::max(timeoutMs, 0));
  char buf[255];
  bool sawEnd = false;
  while (line.size() < kMaxLineLength) {
    size_t want = std::min(sizeof buf, kMaxLineLength - line.size());
    size_t n = Peek(buf, want);
    if (n == 0) {
      // Readable with nothing to peek is the end of the connection.
      if (sawEnd || !IsOpen()) break;
      int left = Remaining(deadline, false);
      if (left == 0) break;
      int revents = WaitReadable(left);
      if (revents == 0) break;
      sawEnd = (revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
      continue;
    }
    const char* end = static_cast<const char*>(std::memchr(buf, '\n', n));
    size_t take = end != nullptr ? static_cast<size_t>(end - buf) + 1 : n;
    size_t got = ReceiveRaw(buf, take);
    line.append(buf, got);
    if (end != nullptr && got == take) break;
    if (got == 0) break;
  }
  return line.size();
}

size_t X1Socket::ReceiveBlocking(void* buffer, size_t length) {
  if (length == 0) return 0;
  constexpr size_t kPiece = 512;
  constexpr uint64_t kStepMs = 20;
  // Every piece gets the time a full piece would (a short last piece of a slow link must not be
  // cut off), the first one 500 steps more.
  constexpr uint64_t kPieceSteps = kPiece / 2;
  constexpr uint64_t kFirstExtraSteps = 500;
  CancelAsyncSelect();
  uint8_t* p = static_cast<uint8_t*>(buffer);
  size_t got = 0;
  bool first = true;
  bool ended = false;
  try {
    while (got < length && !ended) {
      size_t piece = std::min(kPiece, length - got);
      uint64_t steps = kPieceSteps + (first ? kFirstExtraSteps : 0);
      uint64_t deadline = platform::TickCount64() + steps * kStepMs;
      first = false;
      size_t pieceGot = 0;
      while (pieceGot < piece) {
        size_t n = Receive(p + got, piece - pieceGot);
        if (n > 0) {
          got += n;
          pieceGot += n;
          continue;
        }
        if (!IsOpen()) {
          ended = true;
          break;
        }
        int left = Remaining(deadline, false);
        if (left == 0) break;
        int revents = WaitReadable(left);
        if (revents == 0) break;
        if ((revents & (POLLHUP | POLLRDHUP | POLLERR)) && BytesAvailable() == 0) {
          ended = true;
          break;
        }
      }
      if (pieceGot == 0) break;
    }
  } catch (...) {
    if (IsOpen()) ArmAsyncSelect();
    throw;
  }
  if (IsOpen()) ArmAsyncSelect();
  return got;
}

uint32_t X1Socket::BytesAvailable() const {
  Call c(*this);
  if (!c.ok()) return 0;
  int n = 0;
  if (ioctl(c.fd(), FIONREAD, &n) < 0) ThrowErrno(errno);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t X1Socket::GetEndError() const {
  Call c(*this);
  if (!c.ok()) return 0;
  {
    std::lock_guard<std::mutex> g(c.st()->mx);
    if (c.st()->kind != SockKind::Stream || !c.st()->connected) return 0;
    if (c.st()->endSeen) return c.st()->endError;
  }
  // Nothing has met the end yet: a look without taking data tells an end from a live stream
  // (the system reports a reset once, and NoteStreamEnd keeps it for the receives that follow).
  char byte;
  ssize_t n;
  do n = recv(c.fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  NoteStreamEnd(*c.st(), n, 1, n < 0 ? errno : 0);
  std::lock_guard<std::mutex> g(c.st()->mx);
  return c.st()->endSeen ? c.st()->endError : 0;
}

void X1Socket::ResetOnClose() {
  Call c(*this);
  c.require();
  linger l{};
  l.l_onoff = 1;
  l.l_linger = 0;
  if (setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0) ThrowErrno(errno);
}

X1Socket::Endpoint X1Socket::SocketName(bool peer) const {
  Call c(*this);
  c.require();
  SockState& st = *c.st();
  {
    std::lock_guard<std::mutex> g(st.mx);
    if (peer && st.peerKnown) return Endpoint{FormatIPAddress(st.peerIp), st.peerPort};
    if (!peer && st.localKnown) return Endpoint{FormatIPAddress(st.localIp), st.localPort};
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int r = peer ? getpeername(c.fd(), reinterpret_cast<sockaddr*>(&sa), &len)
               : getsockname(c.fd(), reinterpret_cast<sockaddr*>(&sa), &len);
  if (r < 0) ThrowErrno(errno);
  const uint32_t ip = ntohl(sa.sin_addr.s_addr);
  const uint16_t port = ntohs(sa.sin_port);
  {
    // Sessions ask for both ends several times; a connected stream's ends are fixed, a datagram
    // socket's or an unconnected one's are not.
    std::lock_guard<std::mutex> g(st.mx);
    if (st.kind == SockKind::Stream && st.connected) {
      (peer ? st.peerKnown : st.localKnown) = true;
      (peer ? st.peerIp : st.localIp) = ip;
      (peer ? st.peerPort : st.localPort) = port;
    }
  }
  return Endpoint{FormatIPAddress(ip), port};
}

CString X1Socket::GetLocalAddress() const { return SocketName(false).address; }

uint16_t X1Socket::GetLocalPort() const { return SocketName(false).port; }

CString X1Socket::GetPeerAddress() const { return SocketName(true).address; }

uint16_t X1Socket::GetPeerPort() const { return SocketName(true).port; }

// ---- Enciphered link ------------------------------------------------------------------------

void X1Socket::SetLink(std::unique_ptr<X1SocketLink> link) {
  m_link = std::move(link);
  if (!m_link) m_ciphering = false;
}

void X1Socket::SetCiphering(bool value) {
  if (value && !m_link) throw X1SocketException(WSAEINVAL);
  if (value && IsDatagram()) throw X1SocketException(WSAEOPNOTSUPP);
  m_ciphering = value;
}
