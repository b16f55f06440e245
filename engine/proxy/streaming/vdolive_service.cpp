#include "engine/proxy/streaming/vdolive_service.h"

#include <cstring>

#include "engine/config/util.h"
#include "engine/core/engine.h"

TL_IMPLEMENT_DYNAMIC(CVDOLiveSession, CTwoEndTCPSession)

namespace {

// A "CVDOLiveService" read from the registry or a console's frame is a running relay here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CVDOLiveServiceSettings), &MakeRunningService<CVDOLiveService>);

constexpr uint32_t kUnresolved = 0xFFFFFFFFu;
constexpr const char kHelloText[] = "VDO Live";

uint32_t Resolve(const CString& host) {
  auto engine = TheEngine();
  if (engine) return engine->ResolveHost(host);
  uint32_t address = kUnresolved;
  return TryParseIPAddress(host, &address) ? address : kUnresolved;
}

// A message that ends the session: the player sent something the relay cannot read safely.
struct BadMessage {};

}  // namespace

// ---- Byte forms ---------------------------------------------------------------------------------

uint32_t vdolive::Get32(const std::string& m, size_t offset) {
  const auto* p = reinterpret_cast<const uint8_t*>(m.data()) + offset;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void vdolive::Put32(std::string& m, size_t offset, uint32_t value) {
  m[offset] = static_cast<char>(value >> 24);
  m[offset + 1] = static_cast<char>(value >> 16);
  m[offset + 2] = static_cast<char>(value >> 8);
  m[offset + 3] = static_cast<char>(value);
}

vdolive::Take vdolive::TakeMessage(std::string& in, std::string* out) {
  if (in.size() < 4) return Take::More;
  const uint32_t length = Get32(in, 0);
  if (length < 4 || length > kMaxMessage - 4) return Take::Bad;
  if (in.size() < length + 4) return Take::More;
  out->assign(in, 0, length + 4);
  in.erase(0, length + 4);
  return Take::Whole;
}

uint32_t vdolive::TypeOf(const std::string& message) { return Get32(message, 4); }

bool vdolive::ReadText(const std::string& m, size_t offset, CString* text, size_t* next) {
  if (offset > m.size() || m.size() - offset < 4) return false;
  const uint32_t n = Get32(m, offset);
  if (n > m.size() - offset - 4) return false;
  const char* start = m.data() + offset + 4;
  const void* zero = std::memchr(start, 0, n);
  text->assign(start, zero ? static_cast<const char*>(zero) - start : n);
  *next = offset + 4 + ((static_cast<size_t>(n) + 3) & ~size_t{3});
  return true;
}

bool vdolive::ParseRequest(const std::string& m, Request* out) {
  if (m.size() < 12 || TypeOf(m) != kTypeRequest) return false;
  out->port = Get32(m, 8);
  size_t next = 0;
  if (!ReadText(m, 12, &out->host, &next)) return false;
  // The file is the last field: its padding may be missing.
  return ReadText(m, next, &out->file, &next);
}

bool vdolive::MediaPortOffset(const std::string& m, size_t* offset) {
  if (m.size() < 12 || TypeOf(m) != kTypeMedia) return false;
  const uint64_t n = Get32(m, 8);
  const uint64_t at = 20 + ((n + 3) & ~uint64_t{3});
  if (at + 4 > m.size()) return false;
  *offset = static_cast<size_t>(at);
  return true;
}

bool vdolive::IsHello(const std::string& m) {
  return m.size() >= 20 && TypeOf(m) == kTypeHello && std::memcmp(m.data() + 8, kHelloText, 8) == 0;
}

// ---- CVDOLiveService ----------------------------------------------------------------------------

CVDOLiveService::CVDOLiveService() = default;

CVDOLiveService::~CVDOLiveService() = default;

std::shared_ptr<CTCPSession> CVDOLiveService::CreateSession(int handle) {
  return std::make_shared<CVDOLiveSession>(shared_from_this(), handle);
}

// ---- CVDOLiveSession ----------------------------------------------------------------------------

CVDOLiveSession::CVDOLiveSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("VDOLive: ");
}

CVDOLiveSession::~CVDOLiveSession() {
  m_clientMedia.Close();
  m_serverMedia.Close();
}

void CVDOLiveSession::GetProperty(uint32_t code, CTLDataObject& value) const {
  if (code == kPropVDOLiveFile) {
    std::lock_guard<std::mutex> g(m_mx);
    value.SetString(m_file);
    return;
  }
  CTwoEndTCPSession::GetProperty(code, value);
}

uint64_t CVDOLiveSession::GetClientBytesSent() const {
  return CTwoEndTCPSession::GetClientBytesSent() + m_clientMedia.GetBytesSent();
}
uint64_t CVDOLiveSession::GetClientBytesReceived() const {
  return CTwoEndTCPSession::GetClientBytesReceived() + m_clientMedia.GetBytesReceived();
}
uint64_t CVDOLiveSession::GetServerBytesSent() const {
  return CTwoEndTCPSession::GetServerBytesSent() + m_serverMedia.GetBytesSent();
}
uint64_t CVDOLiveSession::GetServerBytesReceived() const {
  return CTwoEndTCPSession::GetServerBytesReceived() + m_serverMedia.GetBytesReceived();
}

void CVDOLiveSession::OnStart() {
  try {
    // The media socket the server is told of talks to the outside: it leaves from the outgoing
    // interface when the service names one.
    m_serverMedia.Create(SOCK_DGRAM);
    CString address;
    if (GetInterfaceMethod() != INTERFACE_METHOD_ANY) {
      uint32_t ip = 0;
      const CString text = GetOutgoingInterface().GetAddressText();
      if (TryParseIPAddress(text, &ip) && ip != 0) address = text;
    }
    m_serverMedia.Bind(0, address);
    m_serverMedia.AsyncSelect(FD_READ);
    m_serverMedia.ArmAsyncSelect();
    StartRequestDeadline();
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CVDOLiveSession::OnRead() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  }
}

void CVDOLiveSession::OnRead(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      ResetIdleTimer();
      try {
        ReadClient();
      } catch (const BadMessage&) {
        Log(kLogError, "Malformed message from the player - terminating");
        Terminate(kSessionExitRefused);
      } catch (const X1SocketException& e) {
        Log(kLogError, "Caught socket exception in CVDOLiveSession::ReadRequest() %s - terminating",
            e.GetText().c_str());
        Terminate(kSessionExitRefused);
      }
    } else if (m_serverSocket.TakeEvent(msg)) {
      ResetIdleTimer();
      char buf[vdolive::kMaxMessage];
      const size_t n = m_serverSocket.Receive(buf, sizeof buf);
      if (n > 0) m_clientSocket.Send(buf, n);
    } else if (m_serverMedia.TakeEvent(msg)) {
      ResetIdleTimer();
      ServerMediaRead();
    } else if (m_clientMedia.TakeEvent(msg)) {
      ResetIdleTimer();
      ClientMediaRead();
    }
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CVDOLiveSession::OnRead() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CVDOLiveSession::OnRead() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CVDOLiveSession::ReadClient() {
  char buf[vdolive::kMaxMessage];
  const size_t n = m_clientSocket.Receive(buf, sizeof buf);
  m_input.append(buf, n);
  std::string message;
  for (;;) {
    if (IsEnding() || IsRelaying()) return;
    const vdolive::Take t = vdolive::TakeMessage(m_input, &message);
    if (t == vdolive::Take::Bad) throw BadMessage{};
    if (t == vdolive::Take::More) return;
    if (!m_requestRead) {
      if (!HandleRequest(message)) return;
    } else {
      HandleControl(message);
    }
    if (m_helloPassed) {
      // From the hello on the player's bytes pass unchanged, the ones already read first.
      std::string rest;
      rest.swap(m_input);
      StartRelay(rest);
      return;
    }
  }
}

bool CVDOLiveSession::HandleRequest(std::string& message) {
  const uint32_t type = vdolive::TypeOf(message);
  CString host;
  uint32_t port = 0;
  CString file;
  bool forward = false;
  if (type == vdolive::kTypeRequest) {
    vdolive::Request r;
    if (!vdolive::ParseRequest(message, &r)) throw BadMessage{};
    host = r.host;
    port = r.port;
    file = r.file;
  } else if (type == vdolive::kTypeMedia) {
    SetNonProxyRequest(true);
    const uint32_t action = GetNonProxyAction();
    if (action == 1) {
      host = GetNonProxyHost();
      port = GetNonProxyPort();
      file = "Unknown File";
      OpenClientMediaSocket(message);
      forward = true;
    } else {
      // Action 0 closes without an answer; no other action names a server to go to. Either way the
      // operator reads why the player got nothing.
      if (action == 0)
        Log(kLogError, "Non proxy request rejected - terminating");
      else
        Log(kLogError, "Non proxy request: action %u names no server - terminating", action);
      m_clientSocket.Close();
      Terminate(kSessionExitRefused);
      return false;
    }
  } else {
    throw BadMessage{};
  }
  ClearRequestDeadline();
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_file = file;
  }
  SetServerName(host);
  SetServerPort(port);
  const CString description = FormatString("VDOLive://%s:%u/%s", host.c_str(), port, file.c_str());
  SetDescription(description);
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
  uint32_t address = Resolve(host);
  SetServerAddress(address);
  if (CheckRights(AccessStage::Request) == AccessResult::Refused) return false;
  auto engine = TheEngine();
  if (engine) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
  if (address == kUnresolved) {
    if (engine) engine->CheckDialFirst(this);
    address = Resolve(host);
    SetServerAddress(address);
    if (CheckRights(AccessStage::Request) == AccessResult::Refused) return false;
  }
  if (IsEnding()) return false;
  if (port == 0 || port > 0xFFFF) throw X1SocketException(WSAEINVAL);
  // A proxy request's server is the player's choice; a non-proxy one goes where the operator said.
  ConnectToServer(host, port, forward ? Destination::OperatorChosen : Destination::ClientChosen);
  m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
  m_serverSocket.ArmAsyncSelect();
  m_requestRead = true;
  if (forward) m_serverSocket.Send(message.data(), message.size());
  return true;
}

void CVDOLiveSession::HandleControl(std::string& message) {
  const uint32_t type = vdolive::TypeOf(message);
  if (type == vdolive::kTypeHello && vdolive::IsHello(message)) {
    vdolive::Put32(message, 16, m_serverMedia.GetLocalPort());
    m_helloPassed = true;
  } else if (type == vdolive::kTypeMedia) {
    OpenClientMediaSocket(message);
  }
  m_serverSocket.Send(message.data(), message.size());
}

void CVDOLiveSession::OpenClientMediaSocket(std::string& message) {
  size_t at = 0;
  if (!vdolive::MediaPortOffset(message, &at)) throw BadMessage{};
  const uint32_t port = vdolive::Get32(message, at);
  if (port == 0 || port > 0xFFFF) throw BadMessage{};
  vdolive::Put32(message, at, m_serverMedia.GetLocalPort());
  m_clientMediaPort = port;
  // The player's side of the media: on the inside network, so never bound to the outgoing
  // interface. A later set-up moves it to the newly announced port.
  m_clientMedia.Close();
  m_clientMedia.Create(SOCK_DGRAM);
  m_clientMedia.Bind(0, CString());
  m_clientMedia.AsyncSelect(FD_READ);
  m_clientMedia.ArmAsyncSelect();
  m_clientMedia.Connect(GetClientAddress(), static_cast<uint16_t>(port));
}

void CVDOLiveSession::ServerMediaRead() {
  CString from;
  uint16_t fromPort = 0;
  size_t n = 0;
  try {
    n = m_serverMedia.ReceiveFrom(m_datagram, sizeof m_datagram, from, fromPort);
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Media datagram dropped: %s", e.GetText().c_str());
    return;
  }
  if (from.empty()) return;
  if (!m_serverMediaKnown) {
    uint32_t sender = 0;
    // The first datagram fixes the server's media address: only the server may set it.
    if (!TryParseIPAddress(from, &sender) || sender != GetServerAddress()) return;
    m_serverMedia.Connect(from, fromPort);
    m_serverMediaKnown = true;
  }
  if (m_clientMedia.IsOpen() && n > 0) m_clientMedia.Send(m_datagram, n);
}

void CVDOLiveSession::ClientMediaRead() {
  CString from;
  uint16_t fromPort = 0;
  size_t n = 0;
  try {
    n = m_clientMedia.ReceiveFrom(m_datagram, sizeof m_datagram, from, fromPort);
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Media datagram dropped: %s", e.GetText().c_str());
    return;
  }
  if (from.empty()) return;
  // Before the server's first datagram there is nowhere to send the player's.
  if (m_serverMediaKnown && n > 0) m_serverMedia.Send(m_datagram, n);
}

void CVDOLiveSession::OnClose(platform::Message& msg) {
  try {
    const bool client = m_clientSocket.TakeEvent(msg);
    const bool server = !client && m_serverSocket.TakeEvent(msg);
    if (!client && !server) return;
    if (server) {
      // What the server sent before its end reaches the player first.
      char buf[vdolive::kMaxMessage];
      size_t n;
      while ((n = m_serverSocket.Receive(buf, sizeof buf)) > 0) m_clientSocket.Send(buf, n);
    }
    m_clientSocket.Close();
    m_serverSocket.Close();
    Terminate(server ? 0u : uint32_t{kSessionExitRefused});
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CVDOLiveSession::OnClose() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CVDOLiveSession::OnClose() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CVDOLiveSession::OnEnd() {
  m_clientMedia.Close();
  m_serverMedia.Close();
  CTwoEndTCPSession::OnEnd();
}
