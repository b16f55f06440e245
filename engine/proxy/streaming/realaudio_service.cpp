#include "engine/proxy/streaming/realaudio_service.h"

#include <sys/socket.h>

#include "engine/config/util.h"
#include "engine/core/engine.h"

TL_IMPLEMENT_DYNAMIC(CRealAudioSession, CTwoEndTCPSession)

namespace {

// A "CRealAudioService" read from the registry or a console's frame is a running relay here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CRealAudioServiceSettings), &MakeRunningService<CRealAudioService>);

constexpr uint32_t kUnresolved = 0xFFFFFFFFu;
// Input a direction may hold before it is whole: a record or a message with its payload.
constexpr size_t kMaxPending = 8192;
constexpr size_t kClientPreamble = 5;
constexpr size_t kClientPreambleWait = 11;
constexpr size_t kServerPreamble = 9;
constexpr size_t kServerMessage = 10;

uint32_t Resolve(const CString& host) {
  auto engine = TheEngine();
  if (engine) return engine->ResolveHost(host);
  uint32_t address = kUnresolved;
  return TryParseIPAddress(host, &address) ? address : kUnresolved;
}

// Input the relay cannot read safely: the session ends.
struct BadInput {};

}  // namespace

// ---- Byte forms ---------------------------------------------------------------------------------

uint16_t realaudio::Get16(const std::string& s, size_t offset) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[offset]) << 8) | static_cast<uint8_t>(s[offset + 1]));
}

void realaudio::Put16(std::string& s, size_t offset, uint16_t value) {
  s[offset] = static_cast<char>(value >> 8);
  s[offset + 1] = static_cast<char>(value);
}

std::string realaudio::BuildStatusRecord(uint8_t code, const CString& text) {
  const CString t = text.substr(0, kMaxStatusText);
  std::string r(4, '\0');
  Put16(r, 0, static_cast<uint16_t>(t.size() + 2));
  r[2] = 6;
  r[3] = static_cast<char>(code);
  return r + t;
}

realaudio::Take realaudio::TakeRecord(std::string& in, std::string* out) {
  if (in.size() < 2) return Take::More;
  const size_t length = Get16(in, 0);
  if (length == 0 || length + 2 > kMaxRecord) return Take::Bad;
  if (in.size() < length + 2) return Take::More;
  out->assign(in, 0, length + 2);
  in.erase(0, length + 2);
  return Take::Whole;
}

realaudio::Take realaudio::TakeControl(std::string& in, std::string* out) {
  if (in.size() < 4) return Take::More;
  const uint16_t id = Get16(in, 0);
  const size_t length = Get16(in, 2);
  if (id == 0) {
    out->assign(in, 0, 4);
    in.erase(0, 4);
    return Take::Whole;
  }
  if (length > kMaxControlPayload || ((id == 1 || id == 7) && length < 2)) return Take::Bad;
  if (in.size() < 4 + length) return Take::More;
  out->assign(in, 0, 4 + length);
  in.erase(0, 4 + length);
  return Take::Whole;
}

bool realaudio::AcceptsRobust(const std::string& m) {
  return m.size() >= kServerMessage && m[0] == 'O' && m[1] == 8 && Get16(m, 2) == 7;
}

// ---- CRealAudioService --------------------------------------------------------------------------

CRealAudioService::CRealAudioService() = default;

CRealAudioService::~CRealAudioService() = default;

std::shared_ptr<CTCPSession> CRealAudioService::CreateSession(int handle) {
  return std::make_shared<CRealAudioSession>(shared_from_this(), handle);
}

// ---- CRealAudioSession --------------------------------------------------------------------------

CRealAudioSession::CRealAudioSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("RealPlayer: ");
}

CRealAudioSession::~CRealAudioSession() {
  m_dataUDP.Close();
  m_robustUDP.Close();
}

uint64_t CRealAudioSession::GetClientBytesSent() const {
  return CTwoEndTCPSession::GetClientBytesSent() + m_dataUDP.GetBytesSent();
}
uint64_t CRealAudioSession::GetClientBytesReceived() const {
  return CTwoEndTCPSession::GetClientBytesReceived() + m_robustUDP.GetBytesReceived();
}
uint64_t CRealAudioSession::GetServerBytesSent() const {
  return CTwoEndTCPSession::GetServerBytesSent() + m_robustUDP.GetBytesSent();
}
uint64_t CRealAudioSession::GetServerBytesReceived() const {
  return CTwoEndTCPSession::GetServerBytesReceived() + m_dataUDP.GetBytesReceived();
}

void CRealAudioSession::OnStart() { StartRequestDeadline(); }

void CRealAudioSession::OnRead(platform::Message& msg) {
  const char* which = "m_ClientSocket";
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      ResetIdleTimer();
      ClientRead();
    } else if (m_serverSocket.TakeEvent(msg)) {
      which = "m_ServerSocket";
      ResetIdleTimer();
      ServerRead();
    } else if (m_dataUDP.TakeEvent(msg)) {
      which = "m_DataUDPSocket";
      ResetIdleTimer();
      DataRead();
    } else if (m_robustUDP.TakeEvent(msg)) {
      which = "m_RobustUDPSocket";
      ResetIdleTimer();
      RobustRead();
    }
  } catch (const BadInput&) {
    if (m_clientState == HEADER) {
      try {
        SendStatus(realaudio::STATUS_BAD_INFO, realaudio::kBadInfoText);
      } catch (const X1SocketException&) {
        // The player may have gone; the session ends either way.
      }
    }
    Log(kLogError, "Malformed data from %s - terminating", which);
    Terminate(kSessionExitRefused);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CRealAudioSession::OnRead() %s: %s - terminating", which,
        e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CRealAudioSession::OnRead() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CRealAudioSession::ClientRead() {
  char buf[1024];
  const size_t n = m_clientSocket.Receive(buf, sizeof buf);
  if (m_clientState == RAW) {
    if (n > 0) m_serverSocket.Send(buf, n);
    return;
  }
  m_clientIn.append(buf, n);
  if (m_clientIn.size() > kMaxPending) throw BadInput{};
  if (m_clientState == HEADER) ReadPackets();
  if (!IsEnding() && m_clientState == CONTROL) RelayClientControl();
  if (!IsEnding()) MaybeStartRelay();
}

void CRealAudioSession::ServerRead() {
  char buf[1024];
  const size_t n = m_serverSocket.Receive(buf, sizeof buf);
  if (m_serverState == RAW) {
    if (n > 0) m_clientSocket.Send(buf, n);
    return;
  }
  m_serverIn.append(buf, n);
  if (m_serverIn.size() > kMaxPending) throw BadInput{};
  RelayServerControl();
  MaybeStartRelay();
}

void CRealAudioSession::ReadPackets() {
  if (!m_decided) {
    // The first record's type decides; fewer than three bytes decide nothing yet.
    if (m_clientIn.size() < 3) return;
    m_decided = true;
    ClearRequestDeadline();
    if (m_clientIn[2] != 1) {
      SetNonProxyRequest(true);
      const uint32_t action = GetNonProxyAction();
      if (action == 0) {
        SendStatus(realaudio::STATUS_BAD_INFO, realaudio::kBadInfoText);
        Log(kLogError, "Non proxy request rejected");
        m_clientSocket.Close();
        Terminate(0);
        return;
      }
      if (action == 1) {
        SetServerName(GetNonProxyHost());
        SetServerPort(GetNonProxyPort());
        try {
          ConnectServer();
        } catch (const X1SocketException& e) {
          Log(kLogError, "Caught socket exception in CRealAudioSession::ReadPacket() %s - terminating",
              e.GetText().c_str());
          Terminate(kSessionExitRefused);
          return;
        }
        if (IsEnding()) return;
        m_clientState = CONTROL;
        const CString description = FormatString("RealPlayer: %s:%u", GetServerName().c_str(), GetServerPort());
        SetDescription(description);
        if (auto engine = TheEngine())
          engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
        Audit(kAuditRequested, "%s", description.c_str());
        Log(kLogRequested, "%s", description.c_str());
        return;
      }
    }
  }
  std::string record;
  while (m_clientState == HEADER && !IsEnding()) {
    const realaudio::Take t = realaudio::TakeRecord(m_clientIn, &record);
    if (t == realaudio::Take::Bad) throw BadInput{};
    if (t == realaudio::Take::More) return;
    if (!HandleRecord(record)) return;
  }
}

bool CRealAudioSession::HandleRecord(const std::string& r) {
  const size_t length = realaudio::Get16(r, 0);
  const uint8_t type = static_cast<uint8_t>(r[2]);
  const std::string payload = r.substr(3);
  switch (type) {
    case 0: {
      if (GetServerName().empty() || GetServerPort() == 0 || GetServerPort() > 0xFFFF) {
        SendStatus(realaudio::STATUS_BAD_INFO, realaudio::kBadInfoText);
        Log(kLogError, "Bad protocol - no server name given or bad port number");
        Terminate(0);
        return false;
      }
      try {
        ConnectServer();
      } catch (const X1SocketException& e) {
        try {
          SendStatus(realaudio::STATUS_SOCKET_ERROR, e.GetText());
        } catch (const X1SocketException&) {
          // The player may have gone; the failure is logged below either way.
        }
        Log(kLogError, "Caught socket exception in CRealAudioSession::ReadPacket() %s - terminating",
            e.GetText().c_str());
        Terminate(kSessionExitRefused);
        return false;
      }
      if (IsEnding()) return false;
      SendStatus(realaudio::STATUS_CONNECTED, realaudio::kConnectedText);
      if (m_tcpMode) {
        m_clientState = RAW;
        m_serverState = RAW;
      } else {
        m_clientState = CONTROL;
      }
      return true;
    }
    case 1:
      if (length != 2) return true;
      if (payload[0] != 1) {
        Terminate(kSessionExitRefused);
        return false;
      }
      m_clientSocket.Send("\x02\x00\x01\x01", 4);
      return true;
    case 2: {
      SetServerName(payload);
      const CString description = FormatString("RealPlayer: %s", payload.c_str());
      SetDescription(description);
      if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
      Audit(kAuditRequested, "%s", description.c_str());
      Log(kLogRequested, "%s", description.c_str());
      Log(kLogDebug, "RealPlayer: Server name %s", payload.c_str());
      return true;
    }
    case 3:
      if (length != 3) return true;
      SetServerPort(realaudio::Get16(payload, 0));
      Log(kLogDebug, "RealPlayer: Server port number %u", GetServerPort());
      return true;
    case 4:
      if (length == 3) Log(kLogDebug, "RealPlayer: Client port offset %u", realaudio::Get16(payload, 0));
      return true;
    case 5:
      if (length != 2) return true;
      m_tcpMode = payload[0] != 0;
      Log(kLogDebug, "RealPlayer: using TCP mode");
      return true;
    case 6: Log(kLogDebug, "RealPlayer: status %s", payload.c_str()); return true;
    default: Log(kLogDebug, "Received unknown command in RealPlayer Proxy session %u", GetSessionNumber()); return true;
  }
}

void CRealAudioSession::ConnectServer() {
  const CString host = GetServerName();
  uint32_t address = Resolve(host);
  SetServerAddress(address);
  if (CheckRights(AccessStage::Request) == AccessResult::Refused) return;
  auto engine = TheEngine();
  if (engine) engine->CheckDialFirst(this);
  if (address == kUnresolved) {
    address = Resolve(host);
    SetServerAddress(address);
    if (CheckRights(AccessStage::Request) == AccessResult::Refused) return;
  }
  if (IsEnding()) return;
  const Destination who = IsNonProxyRequest() ? Destination::OperatorChosen : Destination::ClientChosen;
  CTwoEndTCPSession::ConnectToServer(host, GetServerPort(), who);
  m_serverAddressText = m_serverSocket.GetPeerAddress();
  uint32_t peer = 0;
  if (TryParseIPAddress(m_serverAddressText, &peer)) SetServerAddress(peer);
  m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
  m_serverSocket.ArmAsyncSelect();
}

void CRealAudioSession::SendStatus(uint8_t code, const CString& text) {
  const std::string r = realaudio::BuildStatusRecord(code, text);
  m_clientSocket.Send(r.data(), r.size());
}

void CRealAudioSession::RelayClientControl() {
  if (!m_clientPreamble) {
    if (m_clientIn.size() < kClientPreambleWait) return;
    m_serverSocket.Send(m_clientIn.data(), kClientPreamble);
    m_clientIn.erase(0, kClientPreamble);
    m_clientPreamble = true;
  }
  std::string m;
  while (m_clientState == CONTROL) {
    const realaudio::Take t = realaudio::TakeControl(m_clientIn, &m);
    if (t == realaudio::Take::Bad) throw BadInput{};
    if (t == realaudio::Take::More) return;
    const uint16_t id = realaudio::Get16(m, 0);
    if (id == 0) {
      m_serverSocket.Send(m.data(), m.size());
      m_clientState = RAW;
      if (!m_clientIn.empty()) {
        m_serverSocket.Send(m_clientIn.data(), m_clientIn.size());
        m_clientIn.clear();
      }
      return;
    }
    if (id == 1) {
      m_clientDataPort = realaudio::Get16(m, 4);
      realaudio::Put16(m, 4, OpenUDP(m_dataUDP));
    } else if (id == 7) {
      m_clientRobustPort = realaudio::Get16(m, 4);
      realaudio::Put16(m, 4, OpenUDP(m_robustUDP));
    }
    m_serverSocket.Send(m.data(), m.size());
    Log(kLogDebug, "Client Message ID %u length %u, received %u", id, static_cast<unsigned>(m.size() - 4),
        static_cast<unsigned>(m.size() - 4));
  }
}

void CRealAudioSession::RelayServerControl() {
  if (!m_serverPreamble) {
    if (m_serverIn.size() < kServerPreamble) return;
    m_clientSocket.Send(m_serverIn.data(), kServerPreamble);
    m_serverIn.erase(0, kServerPreamble);
    m_serverPreamble = true;
  }
  if (m_serverIn.size() < kServerMessage) return;
  std::string m = m_serverIn.substr(0, kServerMessage);
  m_serverIn.erase(0, kServerMessage);
  if (realaudio::AcceptsRobust(m)) {
    m_serverRobustPort = realaudio::Get16(m, 4);
    // Only a robust socket the player asked for can stand in for the server's port.
    if (m_robustUDP.IsOpen()) realaudio::Put16(m, 4, m_robustUDP.GetLocalPort());
  } else {
    Log(kLogDebug, "Robust UDP not supported by server");
    m_robustUDP.Close();
  }
  m_clientSocket.Send(m.data(), m.size());
  m_serverState = RAW;
  if (!m_serverIn.empty()) {
    m_clientSocket.Send(m_serverIn.data(), m_serverIn.size());
    m_serverIn.clear();
  }
}

void CRealAudioSession::MaybeStartRelay() {
  if (m_clientState != RAW || m_serverState != RAW || IsRelaying() || IsEnding()) return;
  std::string toServer, toClient;
  toServer.swap(m_clientIn);
  toClient.swap(m_serverIn);
  StartRelay(toServer, toClient);
}

uint16_t CRealAudioSession::OpenUDP(X1Socket& socket) {
  socket.Close();
  socket.Create(SOCK_DGRAM);
  socket.Bind(0, CString());
  socket.AsyncSelect(FD_READ);
  socket.ArmAsyncSelect();
  return socket.GetLocalPort();
}

void CRealAudioSession::DataRead() {
  CString from;
  uint16_t port = 0;
  size_t n = 0;
  try {
    n = m_dataUDP.ReceiveFrom(m_datagram, sizeof m_datagram, from, port);
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Data datagram dropped: %s", e.GetText().c_str());
    return;
  }
  if (from.empty() || from != m_serverAddressText || m_clientDataPort == 0) return;
  m_dataUDP.SendTo(m_datagram, n, static_cast<uint16_t>(m_clientDataPort), GetClientAddress());
}

void CRealAudioSession::RobustRead() {
  CString from;
  uint16_t port = 0;
  size_t n = 0;
  try {
    n = m_robustUDP.ReceiveFrom(m_datagram, sizeof m_datagram, from, port);
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Robust datagram dropped: %s", e.GetText().c_str());
    return;
  }
  if (from.empty()) return;
  if (from == GetClientAddress() && m_serverRobustPort != 0) {
    m_robustUDP.SendTo(m_datagram, n, static_cast<uint16_t>(m_serverRobustPort), m_serverAddressText);
  } else if (from == m_serverAddressText && m_clientRobustPort != 0) {
    m_robustUDP.SendTo(m_datagram, n, static_cast<uint16_t>(m_clientRobustPort), GetClientAddress());
  }
}

void CRealAudioSession::OnClose(platform::Message& msg) {
  try {
    const bool client = m_clientSocket.TakeEvent(msg);
    const bool server = !client && m_serverSocket.TakeEvent(msg);
    if (!client && !server) return;
    if (server) {
      // What the server sent before its end reaches the player first.
      if (!m_serverIn.empty()) m_clientSocket.Send(m_serverIn.data(), m_serverIn.size());
      char buf[1024];
      size_t n;
      while ((n = m_serverSocket.Receive(buf, sizeof buf)) > 0) m_clientSocket.Send(buf, n);
    }
    m_clientSocket.Close();
    m_serverSocket.Close();
    m_dataUDP.Close();
    m_robustUDP.Close();
    Terminate(server ? 0u : uint32_t{kSessionExitRefused});
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CRealAudioSession::OnClose() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CRealAudioSession::OnClose() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CRealAudioSession::OnEnd() {
  m_dataUDP.Close();
  m_robustUDP.Close();
  CTwoEndTCPSession::OnEnd();
}
