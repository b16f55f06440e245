#include "console/model/lookout_session.h"

#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>

#include "engine/remote/frame.h"
#include "engine/remote/link.h"
#include "engine/remote/rc_codes.h"

namespace {

constexpr uintptr_t kDeadlineTimer = 1;
constexpr uint32_t kDeadlineTimerMs = 500;
// One read event takes at most this much before the thread looks at its queue again (the socket
// layer posts the next read event at once when bytes are left), so a flood never starves a
// Disconnect or Quit.
constexpr size_t kReadPerEvent = 1024 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

enum : uintptr_t { kCommandConnect = 0, kCommandDisconnect = 1 };

struct ConnectPayload : platform::MsgPayload {
  ConnectParams params;
  uint64_t cancelGeneration = 0;
};

template <class T>
struct OwnedPayload : platform::MsgPayload {
  explicit OwnedPayload(T v) : value(std::move(v)) {}
  T value;
};

// A broken stream: the connection ends with this text.
class ProtocolFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

size_t CountFrames(const std::vector<RCFrame>& frames) {
  size_t n = 0;
  for (RCFrame f : frames) n += f == RCFrame::Right ? kRCRightCount : 1;
  return n;
}

}  // namespace

size_t NotificationFrameCount(uint16_t code) {
  const RCNotificationInfo* info = FindRCNotification(code);
  return info ? CountFrames(info->frames) : 0;
}

size_t RequestReplyFrameCount(uint16_t code) {
  const RCRequestInfo* info = FindRCRequest(code);
  return info ? CountFrames(info->sends) : 0;
}

CLookoutSession::CLookoutSession(std::shared_ptr<ISessionSink> sink) : m_sink(std::move(sink)) {}

CLookoutSession::~CLookoutSession() { m_socket.Close(); }

bool CLookoutSession::Connect(const ConnectParams& params) {
  auto payload = std::make_unique<ConnectPayload>();
  payload->params = params;
  payload->cancelGeneration = m_cancelGeneration.load();
  return Post(platform::WM_CONSOLE_CONNECT, kCommandConnect, std::move(payload));
}

bool CLookoutSession::Disconnect() { return Post(platform::WM_CONSOLE_CONNECT, kCommandDisconnect); }

uint64_t CLookoutSession::Request(const CTLRCPMessage& message, std::vector<std::vector<uint8_t>> uploads) {
  Pending p;
  p.id = m_nextId.fetch_add(1);
  p.message.m_code = message.m_code;
  p.message.m_text1 = message.m_text1;
  p.message.m_text2 = message.m_text2;
  p.message.m_text3 = message.m_text3;
  p.uploads = std::move(uploads);
  const uint64_t id = p.id;
  // A post that fails frees the request with its uploads (nothing leaks on any path).
  return Post(platform::WM_RC_OUTGOING, 0, std::make_unique<OwnedPayload<Pending>>(std::move(p))) ? id : 0;
}

void CLookoutSession::Cancel() {
  ++m_cancelGeneration;
  // A close from another thread ends a connect or a handshake wait at once.
  m_socket.Close();
}

bool CLookoutSession::InitInstance() {
  SetTimer(kDeadlineTimer, kDeadlineTimerMs);
  return true;
}

int CLookoutSession::ExitInstance() {
  m_socket.Close();
  return MsgThread::ExitInstance();
}

void CLookoutSession::OnMessage(platform::Message& msg) {
  switch (msg.message) {
    case platform::WM_CONSOLE_CONNECT:
      if (msg.wParam == kCommandConnect) {
        if (auto* p = dynamic_cast<ConnectPayload*>(msg.payload.get())) {
          if (p->cancelGeneration == m_cancelGeneration.load()) DoConnect(p->params);
        }
      } else if (m_connected) {
        DoDisconnect(SessionEvent::Requested, CString());
      }
      return;
    case platform::WM_RC_OUTGOING:
      if (auto* p = dynamic_cast<OwnedPayload<Pending>*>(msg.payload.get())) {
        m_queue.push_back(std::move(p->value));
        StartNextTransaction();
      }
      return;
    case platform::WM_SOCKET_READ:
      if (m_socket.TakeEvent(msg)) OnRead();
      return;
    case platform::WM_SOCKET_CLOSE:
      if (m_socket.TakeEvent(msg)) OnSocketClose();
      return;
    case platform::WM_TIMER: OnTimer(); return;
    default: return;
  }
}

void CLookoutSession::Emit(std::unique_ptr<SessionEvent> event) {
  if (m_sink) m_sink->Deliver(std::move(event));
}

// ---- Connect and disconnect ---------------------------------------------------------------------

void CLookoutSession::DoConnect(const ConnectParams& params) {
  if (m_connected) DoDisconnect(SessionEvent::Requested, CString());
  const uint64_t generation = m_cancelGeneration.load();
  try {
    m_socket.Create();
    SetHandshake(m_socket, LINK_CLIENT_CONSOLE, false, false, params.user, params.password);
    // A Cancel between the check above and Create would close nothing: look again.
    if (generation != m_cancelGeneration.load()) throw X1SocketException(WSAEINTR);
    m_socket.Connect(params.server, params.port, kConnectTimeoutMs);
    // An engine that stops reading must not hold this thread in a send for ever.
    m_socket.SetSendTimeout(m_deadlineMs.load());
    m_socket.AsyncSelect(FD_READ | FD_CLOSE);
    m_socket.ArmAsyncSelect();
  } catch (const X1SocketException& e) {
    m_socket.Close();
    if (generation != m_cancelGeneration.load()) return;  // the user gave up on it: nothing to say
    auto ev = std::make_unique<SessionEvent>();
    ev->kind = SessionEvent::ConnectFailed;
    ev->code = e.GetCode();
    ev->text = e.GetText();
    Emit(std::move(ev));
    return;
  }
  m_connected = true;
  m_input.clear();
  m_phase = Phase::Idle;
  m_inNotification = false;
  Touch();
  auto ev = std::make_unique<SessionEvent>();
  ev->kind = SessionEvent::Connected;
  ev->text = params.server;
  Emit(std::move(ev));
  StartNextTransaction();
}

void CLookoutSession::DoDisconnect(SessionEvent::LostReason reason, const CString& text) {
  m_socket.Close();
  const bool wasConnected = m_connected;
  m_connected = false;
  m_input.clear();
  m_input.shrink_to_fit();
  m_phase = Phase::Idle;
  m_frames.clear();
  m_inNotification = false;
  m_notificationFrames.clear();
  // Requests still waiting belong to the connection that has gone; they are dropped with it.
  m_queue.clear();
  if (!wasConnected) return;
  auto ev = std::make_unique<SessionEvent>();
  ev->kind = SessionEvent::Lost;
  ev->reason = reason;
  ev->text = text;
  Emit(std::move(ev));
}

void CLookoutSession::OnTimer() {
  if (!m_connected) return;
  const bool waiting = m_phase != Phase::Idle || m_inNotification || !m_input.empty();
  if (!waiting) return;
  const auto silent = std::chrono::steady_clock::now() - m_lastProgress;
  if (silent >= std::chrono::milliseconds(m_deadlineMs.load())) {
    DoDisconnect(SessionEvent::ProtocolError, "The server did not answer in time");
  }
}

// ---- Reading ------------------------------------------------------------------------------------

void CLookoutSession::OnRead() {
  if (!m_connected) return;
  try {
    size_t taken = 0;
    uint8_t chunk[kReadChunk];
    while (taken < kReadPerEvent && m_connected) {
      const size_t n = m_socket.Receive(chunk, sizeof chunk);
      if (n == 0) break;
      taken += n;
      Touch();
      m_input.insert(m_input.end(), chunk, chunk + n);
      ProcessInput();
    }
  } catch (const ProtocolFault& e) {
    DoDisconnect(SessionEvent::ProtocolError, e.what());
  } catch (const X1SocketException& e) {
    DoDisconnect(SessionEvent::ReadFailed, e.GetText());
  }
}

void CLookoutSession::OnSocketClose() {
  if (!m_connected) return;
  try {
    // Whatever came before the end is still read and used.
    uint8_t chunk[kReadChunk];
    while (m_connected) {
      const size_t n = m_socket.Receive(chunk, sizeof chunk);
      if (n == 0) break;
      m_input.insert(m_input.end(), chunk, chunk + n);
      ProcessInput();
    }
  } catch (const ProtocolFault& e) {
    DoDisconnect(SessionEvent::ProtocolError, e.what());
    return;
  } catch (const X1SocketException& e) {
    // The connection is ending anyway; it is reported as ended by the engine below.
    (void)e;
  }
  // A frame cut off by the end is dropped whole: nothing half-read reaches the mirrors.
  DoDisconnect(SessionEvent::ClosedByEngine, CString());
}

void CLookoutSession::ProcessInput() {
  size_t offset = 0;
  while (m_connected) {
    std::optional<FrameSlice> slice;
    try {
      slice = SplitFrame(std::span<const uint8_t>(m_input.data() + offset, m_input.size() - offset));
    } catch (const CFrameException& e) {
      throw ProtocolFault(CString("The server sent a frame larger than a frame may be (") + e.GetText() + ")");
    }
    if (!slice) break;
    FramePayload payload(slice->payload.begin(), slice->payload.end());
    offset += slice->consumed;
    OnFrame(std::move(payload));
  }
  if (!m_connected) return;
  if (offset) m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(offset));
}

void CLookoutSession::OnFrame(FramePayload payload) {
  if (m_inNotification) {
    m_notificationFrames.push_back(std::move(payload));
    if (m_notificationFrames.size() < m_notificationWanted) return;
    auto ev = std::make_unique<SessionEvent>();
    ev->kind = SessionEvent::Message;
    ev->message = std::move(m_notification);
    ev->frames = std::move(m_notificationFrames);
    m_notification = CTLRCPMessage();
    m_notificationFrames.clear();
    m_inNotification = false;
    Emit(std::move(ev));
    return;
  }
  if (m_phase == Phase::AwaitFrames) {
    m_frames.push_back(std::move(payload));
    if (m_frames.size() >= m_framesWanted) m_phase = Phase::AwaitFinal;
    return;
  }
  CTLRCPMessage message;
  try {
    LoadBareFrame(payload, message);
  } catch (const CFrameException& e) {
    throw ProtocolFault(CString("The server sent a message that could not be read (") + e.GetText() + ")");
  }
  OnReplyOrMessage(message, std::move(payload));
}

void CLookoutSession::OnReplyOrMessage(const CTLRCPMessage& message, FramePayload) {
  const uint16_t code = message.m_code;
  const bool isReply = code >= RC_REPLY_ACCEPTED && code <= RC_REPLY_FAILED;
  switch (m_phase) {
    case Phase::AwaitReply:
      if (!isReply) {
        // A notification the engine sent before it read the request: applied first.
        StartNotification(message);
        return;
      }
      if (code == RC_REPLY_ACCEPTED) {
        // The uploads go only after the go-ahead; a refused request sends nothing.
        try {
          for (const auto& frame : m_current.uploads) SendFrameBytes(m_socket, frame);
        } catch (const X1SocketException& e) {
          DoDisconnect(SessionEvent::ReadFailed, e.GetText());
          return;
        }
        m_current.uploads.clear();
        m_framesWanted = RequestReplyFrameCount(m_current.message.m_code);
        m_phase = m_framesWanted ? Phase::AwaitFrames : Phase::AwaitFinal;
        return;
      }
      if (code == RC_REPLY_DONE) throw ProtocolFault("The server finished a request it had not accepted");
      FinishTransaction(code);
      return;
    case Phase::AwaitFinal:
      if (code == RC_REPLY_DONE || code == RC_REPLY_FAILED) {
        FinishTransaction(code);
        return;
      }
      // Nothing else may come between the go-ahead and the end of a request.
      throw ProtocolFault("The server sent a message in the middle of a request");
    case Phase::Idle:
    case Phase::AwaitFrames:  // not reached: frames are taken above
      if (isReply) throw ProtocolFault("The server answered a request that was not made");
      StartNotification(message);
      return;
  }
}

void CLookoutSession::StartNotification(const CTLRCPMessage& message) {
  const size_t wanted = NotificationFrameCount(message.m_code);
  if (wanted == 0) {
    auto ev = std::make_unique<SessionEvent>();
    ev->kind = SessionEvent::Message;
    ev->message.m_code = message.m_code;
    ev->message.m_text1 = message.m_text1;
    ev->message.m_text2 = message.m_text2;
    ev->message.m_text3 = message.m_text3;
    Emit(std::move(ev));
    return;
  }
  m_inNotification = true;
  m_notification.m_code = message.m_code;
  m_notification.m_text1 = message.m_text1;
  m_notification.m_text2 = message.m_text2;
  m_notification.m_text3 = message.m_text3;
  m_notificationWanted = wanted;
  m_notificationFrames.clear();
}

// ---- Transactions -------------------------------------------------------------------------------

void CLookoutSession::StartNextTransaction() {
  while (m_phase == Phase::Idle && !m_queue.empty()) {
    m_current = std::move(m_queue.front());
    m_queue.pop_front();
    if (!m_connected) {
      auto ev = std::make_unique<SessionEvent>();
      ev->kind = SessionEvent::TransactionDone;
      ev->reply = 0;
      ev->requestId = m_current.id;
      ev->message = std::move(m_current.message);
      m_current = Pending();
      Emit(std::move(ev));
      continue;
    }
    try {
      SendRCPMessage(m_socket, m_current.message.m_code, m_current.message.m_text1, m_current.message.m_text2,
                     m_current.message.m_text3);
    } catch (const X1SocketException& e) {
      DoDisconnect(SessionEvent::ReadFailed, e.GetText());
      return;
    }
    m_phase = Phase::AwaitReply;
    m_frames.clear();
    Touch();
  }
}

void CLookoutSession::FinishTransaction(uint16_t reply) {
  auto ev = std::make_unique<SessionEvent>();
  ev->kind = SessionEvent::TransactionDone;
  ev->reply = reply;
  ev->requestId = m_current.id;
  ev->message = std::move(m_current.message);
  ev->frames = std::move(m_frames);
  m_current = Pending();
  m_frames.clear();
  m_phase = Phase::Idle;
  Emit(std::move(ev));
  StartNextTransaction();
}
