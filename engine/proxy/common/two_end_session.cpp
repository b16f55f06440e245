#include "engine/proxy/common/two_end_session.h"

#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/core/interfaces.h"
#include "engine/core/service_manager.h"
#include "engine/proxy/common/url_normal.h"
#include "platform/clock.h"

TL_IMPLEMENT_DYNAMIC(CTwoEndTCPSession, CTCPSession)
TL_IMPLEMENT_DYNAMIC(CTwoEndUDPSession, CUDPSession)

namespace {

constexpr uint8_t kSOCKS4Version = 4;
constexpr uint8_t kSOCKS4Connect = 1;
constexpr uint8_t kSOCKS4Granted = 90;
constexpr uint8_t kSOCKS4RejectedFirst = 91;  // 91 rejected, 92 no identd, 93 user id mismatch
constexpr uint8_t kSOCKS4RejectedLast = 93;

// Bytes the relay moves per socket event before it lets the other side's events in: a side that
// never pauses must not starve the other direction. A chunk is what one pass through the kernel
// asks for (as much as the relay's pipe holds): on a fast stream the relay's time is the system
// calls and the wake-ups per pass, so a pass moves as much as there is. It is also the most one
// direction holds in memory while its destination has no room.
constexpr size_t kRelayChunk = 1024 * 1024;
constexpr int kRelayChunksPerEvent = 2;

// The system resolver, IPv4 only (a SOCKS 4 request can carry nothing else).
bool SystemResolve(const CString& host, uint32_t* address) {
  if (TryParseIPAddress(host, address)) return true;
  if (!twoend::IsSafeHostText(host)) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return false;
  bool ok = false;
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
      *address = ntohl(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
      ok = true;
      break;
    }
  }
  freeaddrinfo(res);
  return ok;
}

int MsLeft(uint64_t deadline) {
  const uint64_t now = platform::TickCount64();
  return now >= deadline ? 0 : static_cast<int>(std::min<uint64_t>(deadline - now, INT32_MAX));
}

}  // namespace

CString UpstreamErrorText(const char* key, const char* name, const char* def, const CString& host, uint32_t port) {
  CString format = RegReadString(key, name, "");
  if (format.empty()) format = def;
  // The host comes from a client: it is shown, never used as a format.
  return FormatOperatorText(format, {host, FormatString("%u", port)});
}

// ---- Wire helpers -----------------------------------------------------------------------------

namespace twoend {

std::string BuildSOCKS4Request(uint32_t address, uint16_t port, const CString& userId) {
  std::string out;
  out.reserve(9 + kMaxSOCKS4UserId);
  out.push_back(static_cast<char>(kSOCKS4Version));
  out.push_back(static_cast<char>(kSOCKS4Connect));
  out.push_back(static_cast<char>(port >> 8));
  out.push_back(static_cast<char>(port & 0xFF));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((address >> shift) & 0xFF));
  // A NUL inside the user id would end it early on the wire and let the rest pose as data.
  const size_t nul = userId.find('\0');
  const size_t n = std::min({userId.size(), nul == CString::npos ? userId.size() : nul, kMaxSOCKS4UserId});
  out.append(userId.data(), n);
  out.push_back('\0');
  return out;
}

SOCKS4Reply ParseSOCKS4Reply(const uint8_t reply[8]) {
  // The reply's version byte is 0; anything else is not a SOCKS 4 answer at all.
  if (reply[0] != 0) return SOCKS4Reply::Bad;
  if (reply[1] == kSOCKS4Granted) return SOCKS4Reply::Granted;
  if (reply[1] >= kSOCKS4RejectedFirst && reply[1] <= kSOCKS4RejectedLast) return SOCKS4Reply::Denied;
  return SOCKS4Reply::Bad;
}

bool IsConnectGranted(const CString& statusLine) {
  // "HTTP/1.x SP 2xx" and then a space, the line end or nothing.
  if (statusLine.size() < 12) return false;
  if (strncasecmp(statusLine.c_str(), "HTTP/1.", 7) != 0) return false;
  if (statusLine[7] != '0' && statusLine[7] != '1') return false;
  if (statusLine[8] != ' ') return false;
  if (statusLine[9] != '2' || !isdigit(static_cast<unsigned char>(statusLine[10])) ||
      !isdigit(static_cast<unsigned char>(statusLine[11])))
    return false;
  return statusLine.size() == 12 || statusLine[12] == ' ' || statusLine[12] == '\r' || statusLine[12] == '\n';
}

bool IsSafeHostText(const CString& host) {
  if (host.empty() || host.size() > 255) return false;
  for (unsigned char c : host) {
    if (c <= 0x20 || c == 0x7F || c == '@' || c == '/' || c == '?' || c == '#' || c == '\\') return false;
  }
  return true;
}

}  // namespace twoend

// ---- CTwoEndTCPSession ------------------------------------------------------------------------

CTwoEndTCPSession::CTwoEndTCPSession() = default;

CTwoEndTCPSession::CTwoEndTCPSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTCPSession(std::move(service), acceptedHandle) {}

CTwoEndTCPSession::~CTwoEndTCPSession() { m_serverSocket.Close(); }

void CTwoEndTCPSession::SetConnectSettings(const CConnectSettings& settings) {
  std::lock_guard<std::mutex> g(m_mx);
  m_connect = settings;
}

CConnectSettings CTwoEndTCPSession::GetConnectSettings() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_connect;
}

void CTwoEndTCPSession::UseServiceConnectSettings(const CTCPService& service) {
  SetConnectSettings(service.Settings().GetConnectSettings());
}

void CTwoEndTCPSession::SetServerName(const CString& name) {
  std::lock_guard<std::mutex> g(m_mx);
  if (name != m_serverName) m_serverAddress = kNoAddress;
  m_serverName = name;
}

void CTwoEndTCPSession::SetServerAddress(uint32_t address) {
  std::lock_guard<std::mutex> g(m_mx);
  m_serverAddress = address;
}

void CTwoEndTCPSession::SetServerPort(uint32_t port) {
  std::lock_guard<std::mutex> g(m_mx);
  m_serverPort = port;
}

CString CTwoEndTCPSession::GetServerName() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_serverName;
}

uint32_t CTwoEndTCPSession::GetServerAddress() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_serverAddress;
}

uint32_t CTwoEndTCPSession::GetServerPort() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_serverPort;
}

void CTwoEndTCPSession::GetProperty(uint32_t code, CTLDataObject& value) const {
  switch (code) {
    case kPropServerName: value.SetString(GetServerName()); return;
    case kPropServerPort: value.SetDWord(GetServerPort()); return;
    case kPropServerIPAddress: value.SetString(FormatIPAddress(GetServerAddress())); return;
    default: CTCPSession::GetProperty(code, value); return;
  }
}

bool CTwoEndTCPSession::IsOwnAddress(const CString& text) const {
  if (CTCPSession::IsOwnAddress(text)) return true;
  std::lock_guard<std::mutex> g(m_mx);
  return !m_serverLocalAddress.empty() && text == m_serverLocalAddress;
}

bool CTwoEndTCPSession::InvolvesHost(const CString& text) const {
  if (text.empty()) return false;
  std::lock_guard<std::mutex> g(m_mx);
  if (!m_serverName.empty() && strcasecmp(m_serverName.c_str(), text.c_str()) == 0) return true;
  return m_serverAddress != kNoAddress && FormatIPAddress(m_serverAddress) == text;
}

// ---- The server a request names ---------------------------------------------------------------

bool CTwoEndTCPSession::ReachesServerByAddress() const {
  const CConnectSettings cs = GetConnectSettings();
  return cs.ConnectMethod == CONNECT_DIRECT || cs.ConnectMethod == CONNECT_SOCKS4 || cs.BypassProxyOnLocal;
}

CString CTwoEndTCPSession::NameServer(const CString& host, uint32_t port, bool byAddress) {
  const CString name = NormalizeHostName(host);
  NameServerAs(name, port, byAddress || ReachesServerByAddress());
  return name;
}

void CTwoEndTCPSession::NameServerAs(const CString& host, uint32_t port, bool lookUp) {
  uint32_t address = kNoAddress;
  if (!TryParseIPAddress(host, &address) && !host.empty() && lookUp) {
    // The engine's lookup waits for the link: while a lookup would dial, the address stays unknown
    // and ResolveNamedServer takes it after the dial.
    if (auto engine = TheEngine())
      address = engine->ResolveHost(host);
    else if (!SystemResolve(host, &address))
      address = kNoAddress;
  }
  std::lock_guard<std::mutex> g(m_mx);
  m_serverName = host;
  m_serverPort = port;
  m_serverAddress = address;
}

bool CTwoEndTCPSession::ResolveNamedServer() {
  CString name;
  {
    std::lock_guard<std::mutex> g(m_mx);
    if (m_serverAddress != kNoAddress || m_serverName.empty()) return true;
    name = m_serverName;
  }
  const uint32_t address = ResolveDestination(name);
  {
    std::lock_guard<std::mutex> g(m_mx);
    if (m_serverName == name) m_serverAddress = address;
  }
  // Rules on the server's address could not be judged before the link was up: they are now,
  // before anything is connected there.
  if (CheckRights(AccessStage::Request) == AccessResult::Allowed) return true;
  if (!IsEnding()) {
    // A login cannot be asked for at this point: the request is refused as any other.
    SendAccessDenied();
    const CString description = GetDescription();
    Audit(kAuditFailedAuthorisation, "%s", description.c_str());
    Log(kLogFailedAuthorisation, "%s", description.c_str());
    Terminate(kSessionExitRefused);
  }
  return false;
}

// ---- Connecting out ---------------------------------------------------------------------------

void CTwoEndTCPSession::BindOutgoing(X1Socket& socket) {
  if (GetInterfaceMethod() == INTERFACE_METHOD_ANY) return;
  CInterface iface = GetOutgoingInterface();
  const CString address = iface.GetAddressText();
  // An interface without an address now (a dial-up connection that is down) leaves the choice to
  // the routing table rather than failing every connection.
  uint32_t ip = 0;
  if (!TryParseIPAddress(address, &ip) || ip == 0) return;
  socket.Bind(0, address);
}

uint32_t CTwoEndTCPSession::ResolveDestination(const CString& host) const {
  uint32_t address = 0;
  if (TryParseIPAddress(host, &address)) return address;
  {
    // The named server's address is the one its rules were judged on.
    std::lock_guard<std::mutex> g(m_mx);
    if (host == m_serverName && m_serverAddress != kNoAddress) return m_serverAddress;
  }
  if (auto engine = TheEngine()) return engine->ResolveHostOrThrow(host);
  if (!SystemResolve(host, &address)) throw X1SocketException(WSAEINVAL, HostnameLookupFailedText(host));
  return address;
}

const char* JudgeClientDestination(const CSession& session, uint32_t address, uint32_t port, uint32_t transport) {
  auto engine = TheEngine();
  const bool loopback = (address >> 24) == 127 || address == 0;
  // 0.0.0.0 reaches the loopback's listeners; judge it as the address it stands for.
  const CString dotted = FormatIPAddress(address == 0 ? 0x7F000001u : address);
  const bool own = loopback || (engine && IsLocalAddress(engine->GetSysInfo(), dotted));
  if (!own) return nullptr;
  if (engine) {
    for (const auto& service : engine->GetServiceManager().GetServices()) {
      if (service->Settings().GetTransport() == transport && service->IsBoundTo(dotted, port))
        return "one of this gateway's own services";
    }
  }
  if (!loopback) return nullptr;
  // A client on the gateway itself reaches its loopback anyway; for anyone else it is the
  // gateway's private side (services bound to 127.0.0.1 trust their callers to be local).
  const CString client = session.GetClientAddress();
  uint32_t clientAddress = 0;
  const bool clientOnGateway =
      TryParseIPAddress(client, &clientAddress) &&
      ((clientAddress >> 24) == 127 || (engine && IsLocalAddress(engine->GetSysInfo(), client)));
  return clientOnGateway ? nullptr : "the gateway's loopback";
}

bool RefuseRoadBack(const CSession& session, const CString& destination, const std::vector<loopguard::Hop>& hops) {
  if (hops.empty()) return false;
  auto service = session.GetService();
  if (!service) return false;
  const CString road = loopguard::FindRoadBack(service.get(), hops, loopguard::EngineGraph());
  if (road.empty()) return false;
  service->ReportLoopRefused(destination, road);
  return true;
}

const char* CTwoEndTCPSession::JudgeDestination(uint32_t address, uint32_t port, uint32_t transport) const {
  return JudgeClientDestination(*this, address, port, transport);
}

void CTwoEndTCPSession::ConnectToServer(X1Socket& socket, const CString& host, uint32_t port, Destination who) {
  CConnectSettings cs = GetConnectSettings();
  if (port > 0xFFFF) throw X1SocketException(WSAEINVAL);
  const uint16_t port16 = static_cast<uint16_t>(port);

  // Looked up once: the address judged is the address connected to. An upstream HTTP proxy or
  // tunnel resolves the name itself, on its side of the network.
  const bool needAddress =
      cs.ConnectMethod == CONNECT_DIRECT || cs.ConnectMethod == CONNECT_SOCKS4 || cs.BypassProxyOnLocal;
  uint32_t address = 0;
  if (needAddress) address = ResolveDestination(host);
  if (who == Destination::ClientChosen && needAddress) {
    if (const char* why = JudgeDestination(address, port)) {
      Log(kLogFailedAuthorisation, "Connection to %s:%u (%s) refused - %s", host.c_str(), port,
          FormatIPAddress(address).c_str(), why);
      throw X1SocketException(WSAEACCES, kDestinationRefusedText);
    }
  }
  // No road may lead back into this service: an operator's destination is followed as it is (a
  // client's was judged above, and its own services refused), and an upstream proxy is where
  // every connection goes first.
  std::vector<loopguard::Hop> hops;
  if (who == Destination::OperatorChosen)
    hops.push_back({needAddress ? CString() : host, address, port, SERVICE_TRANSPORT_TCP});
  if (cs.ConnectMethod != CONNECT_DIRECT && !cs.ProxyServer.empty())
    hops.push_back({cs.ProxyServer, 0, cs.ProxyPort, SERVICE_TRANSPORT_TCP});
  if (RefuseRoadBack(*this, FormatString("%s:%u", host.c_str(), port), hops))
    throw X1SocketException(WSAEACCES, kLoopRefusedText);

  if (cs.BypassProxyOnLocal && cs.ConnectMethod != CONNECT_DIRECT) {
    // The designed heuristic: a host that answers one ICMP echo counts as local and is reached
    // directly. It costs up to two seconds per connection to a host that does not answer.
    if (auto engine = TheEngine()) {
      if (engine->Ping(address)) cs.ConnectMethod = CONNECT_DIRECT;
    }
  }

  const bool link = socket.IsLinkEnabled();
  switch (cs.ConnectMethod) {
    case CONNECT_DIRECT:
      BindOutgoing(socket);
      socket.Connect(FormatIPAddress(address), port16);
      return;
    case CONNECT_HTTP_PROXY:
      // The protocol speaks HTTP to the proxy itself; an enciphered link would have to be spoken
      // by the proxy, which cannot.
      if (link) throw X1SocketException(WSAEINVAL, "An enciphered connection cannot go through an HTTP proxy");
      if (cs.ProxyPort == 0 || cs.ProxyPort > 0xFFFF) throw X1SocketException(WSAEINVAL);
      BindOutgoing(socket);
      socket.Connect(cs.ProxyServer, static_cast<uint16_t>(cs.ProxyPort));
      return;
    case CONNECT_SOCKS4:
    case CONNECT_HTTP_TUNNEL: break;
    default: throw X1SocketException(WSAEINVAL, FormatString("Unknown connect method %u", cs.ConnectMethod));
  }

  if (cs.ProxyPort == 0 || cs.ProxyPort > 0xFFFF) throw X1SocketException(WSAEINVAL);
  // The link's handshake belongs to the far end of the tunnel: the proxy never sends a challenge.
  // Connect to the proxy plainly, negotiate, then run the handshake through the tunnel.
  socket.EnableLink(false);
  try {
    BindOutgoing(socket);
    socket.Connect(cs.ProxyServer, static_cast<uint16_t>(cs.ProxyPort));
    if (cs.ConnectMethod == CONNECT_SOCKS4) {
      ConnectSOCKS4(socket, host, address, port16, cs);
    } else {
      ConnectTunnel(socket, host, port16, cs);
    }
  } catch (...) {
    socket.EnableLink(link);
    throw;
  }
  socket.EnableLink(link);
  if (link && socket.GetLink()) socket.GetLink()->ClientHandshake(socket);
}

void CTwoEndTCPSession::ConnectSOCKS4(X1Socket& socket, const CString& host, uint32_t address, uint32_t port,
                                      const CConnectSettings& cs) {
  const std::string request = twoend::BuildSOCKS4Request(address, static_cast<uint16_t>(port), cs.SOCKS4Password);
  socket.Send(request.data(), request.size());
  uint8_t reply[8] = {};
  const size_t got = socket.ReceiveBlocking(reply, sizeof reply);
  twoend::SOCKS4Reply r = got == sizeof reply ? twoend::ParseSOCKS4Reply(reply) : twoend::SOCKS4Reply::Bad;
  switch (r) {
    case twoend::SOCKS4Reply::Granted: return;
    case twoend::SOCKS4Reply::Denied:
      throw X1SocketException(kUpstreamProxyError, UpstreamErrorText(kSOCKSErrorStringsKey, "AccessDenied",
                                                                     kSOCKSAccessDeniedDefault, host, port));
    case twoend::SOCKS4Reply::Bad:
      throw X1SocketException(kUpstreamProxyError, UpstreamErrorText(kSOCKSErrorStringsKey, "NoResponse",
                                                                     kSOCKSNoResponseDefault, host, port));
  }
}

void CTwoEndTCPSession::ConnectTunnel(X1Socket& socket, const CString& host, uint32_t port,
                                      const CConnectSettings& /*cs*/) {
  auto bad = [&]() {
    return X1SocketException(kUpstreamProxyError,
                             UpstreamErrorText(kSSLErrorStringsKey, "BadResponse", kSSLBadResponseDefault, host, port));
  };
  // The host goes into the request line: a space or a line end in it would forge the request.
  if (!twoend::IsSafeHostText(host)) throw X1SocketException(WSAEINVAL, HostnameLookupFailedText(host));
  socket.Printf("CONNECT %s:%u HTTP/1.0\r\n\r\n", host.c_str(), port);

  // The reply header is read line by line up to its blank line, within one time budget and one
  // size bound; whatever follows the blank line stays in the socket for the tunnel.
  const uint64_t deadline = platform::TickCount64() + static_cast<uint64_t>(twoend::kConnectReplyTimeoutMs);
  size_t total = 0;
  CString line;
  socket.ReceiveLine(line, MsLeft(deadline));
  total += line.size();
  if (line.empty() || line.back() != '\n' || !twoend::IsConnectGranted(line)) throw bad();
  for (;;) {
    const int left = MsLeft(deadline);
    if (left == 0) throw bad();
    socket.ReceiveLine(line, left);
    total += line.size();
    if (line.empty() || line.back() != '\n' || total > twoend::kMaxConnectReplyHeader) throw bad();
    if (line == "\r\n" || line == "\n") return;
  }
}

void CTwoEndTCPSession::ConnectToServer(const CString& host, uint32_t port, Destination who) {
  // The server is named first: whether the link must be dialled depends on where it goes.
  bool named;
  {
    std::lock_guard<std::mutex> g(m_mx);
    named = host == m_serverName && port == m_serverPort;
  }
  // A server nobody named before the rights were asked gets its address looked up after the dial,
  // and the rights asked again with it.
  if (!named) NameServerAs(host, port, false);
  if (auto engine = TheEngine()) engine->CheckDialFirst(this);
  if (ReachesServerByAddress() && !ResolveNamedServer()) throw X1SocketException(WSAEACCES, kRefusedByRightsText);
  m_serverSocket.Create(SOCK_STREAM);
  ConnectToServer(m_serverSocket, host, port, who);
  const CConnectSettings cs = GetConnectSettings();
  uint32_t peer = 0;
  if (cs.ConnectMethod == CONNECT_DIRECT && TryParseIPAddress(m_serverSocket.GetPeerAddress(), &peer)) {
    SetServerAddress(peer);
  }
  const CString local = m_serverSocket.GetLocalAddress();
  std::lock_guard<std::mutex> g(m_mx);
  m_serverLocalAddress = local;
}

// ---- Relay ------------------------------------------------------------------------------------

void CTwoEndTCPSession::StartRelay(const std::string& prefixToServer, const std::string& prefixToClient) {
  if (!m_serverSocket.IsOpen() || !m_clientSocket.IsOpen()) throw X1SocketException(WSAENOTCONN);
  if (!prefixToServer.empty()) m_serverSocket.Send(prefixToServer.data(), prefixToServer.size());
  if (!prefixToClient.empty()) m_clientSocket.Send(prefixToClient.data(), prefixToClient.size());
  m_relaying.store(true);
  m_relayDone = false;
  m_held[0].clear();
  m_held[1].clear();
  m_sourceEnded[0] = m_sourceEnded[1] = false;
  // Events of both sockets come to this thread: the server socket was made here and the client
  // socket was attached here.
  m_clientSocket.AsyncSelect(FD_READ | FD_CLOSE);
  m_clientSocket.ArmAsyncSelect();
  m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
  m_serverSocket.ArmAsyncSelect();
}

bool CTwoEndTCPSession::AnnounceRequest(const CString& description) {
  SetDescription(description);
  if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
  if (CheckRights(AccessStage::Request) != AccessResult::Allowed) {
    if (!IsEnding()) {
      // A log-in of these protocols cannot raise the level: the request is refused as any other.
      SendAccessDenied();
      Audit(kAuditFailedAuthorisation, "%s", description.c_str());
      Log(kLogFailedAuthorisation, "%s", description.c_str());
      Terminate(kSessionExitRefused);
    }
    return false;
  }
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
  return true;
}

void CTwoEndTCPSession::OnMessage(platform::Message& msg) {
  if (m_relaying.load() && X1Socket::EventOfMessage(msg.message) != 0) {
    if (RelayEvent(msg)) return;
  }
  CTCPSession::OnMessage(msg);
}

bool CTwoEndTCPSession::RelayEvent(platform::Message& msg) {
  const bool fromClient = m_clientSocket.TakeEvent(msg);
  const bool fromServer = !fromClient && m_serverSocket.TakeEvent(msg);
  if (!fromClient && !fromServer) return false;
  if (m_relayDone) return true;
  const uint32_t event = X1Socket::EventOfMessage(msg.message);
  try {
    if (event == FD_READ) {
      Pump(fromClient);
    } else if (event == FD_CLOSE) {
      // The peer has ended its sending: what it sent before arrives first, then its end is passed
      // on to the other side, whose direction stays open.
      m_sourceEnded[fromClient ? 0 : 1] = true;
      Pump(fromClient);
    } else if (event == FD_WRITE) {
      // Room on this socket: it is the destination of the other direction.
      Resume(!fromClient);
    }
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Caught socket exception in CTwoEndTCPSession relay %s", e.GetText().c_str());
    RelayFailed("socket");
  } catch (...) {
    RelayFailed("unknown");
  }
  return true;
}

void CTwoEndTCPSession::Pump(bool clientSide) {
  const int d = clientSide ? 0 : 1;
  X1Socket& from = clientSide ? m_clientSocket : m_serverSocket;
  X1Socket& to = clientSide ? m_serverSocket : m_clientSocket;
  if (!m_held[d].empty() || (clientSide ? m_clientEnded : m_serverEnded).load()) return;
  // Through the kernel (splice) when neither side is enciphered: no copy through the process.
  for (int i = 0; m_sourceEnded[d] || i < kRelayChunksPerEvent; ++i) {
    if (from.RelayTo(to, kRelayChunk, &m_held[d]) == 0) {
      if (m_sourceEnded[d]) EndDirection(clientSide);
      return;
    }
    ResetIdleTimer();
    if (!m_held[d].empty()) {
      SelectEvents();
      return;
    }
  }
}

void CTwoEndTCPSession::Resume(bool clientSide) {
  const int d = clientSide ? 0 : 1;
  X1Socket& to = clientSide ? m_serverSocket : m_clientSocket;
  if (m_held[d].empty()) return;
  if (!to.SendHeld(m_held[d])) return;  // still no room: the next FD_WRITE
  ResetIdleTimer();
  SelectEvents();
  Pump(clientSide);
}

void CTwoEndTCPSession::SelectEvents() {
  for (int side = 0; side < 2; ++side) {
    X1Socket& socket = side == 0 ? m_clientSocket : m_serverSocket;
    // A socket is the source of direction `side` and the destination of the other one.
    const bool reading = !(side == 0 ? m_clientEnded : m_serverEnded).load();
    const uint32_t mask = (reading ? FD_READ | FD_CLOSE : 0u) | (m_held[1 - side].empty() ? 0u : FD_WRITE);
    if (socket.GetEventMask() != mask) socket.AsyncSelect(mask);
  }
}

void CTwoEndTCPSession::EndDirection(bool clientSide) {
  std::atomic<bool>& ended = clientSide ? m_clientEnded : m_serverEnded;
  if (ended.exchange(true)) return;
  X1Socket& to = clientSide ? m_serverSocket : m_clientSocket;
  // The source is not read any more; it may still wait for room for the other direction.
  SelectEvents();
  try {
    to.ShutdownSend();
  } catch (const X1SocketException&) {
    // The other side is gone already: its own end arrives as its close event.
  }
  if (m_clientEnded.load() && m_serverEnded.load()) {
    m_relayDone = true;
    OnRelayEnded(false);
  }
}

void CTwoEndTCPSession::RelayFailed(const char* what) {
  if (m_relayDone) return;
  m_relayDone = true;
  m_clientSocket.CancelAsyncSelect();
  m_serverSocket.CancelAsyncSelect();
  Log(kLogDebug, "Relay ended by a %s error", what);
  OnRelayEnded(true);
}

void CTwoEndTCPSession::OnRelayEnded(bool failed) { Terminate(failed ? uint32_t{kSessionExitRefused} : 0u); }

void CTwoEndTCPSession::OnEnd() {
  m_relaying.store(false);
  m_serverSocket.Close();
}

// ---- CTwoEndUDPSession ------------------------------------------------------------------------

CTwoEndUDPSession::CTwoEndUDPSession() = default;

CTwoEndUDPSession::CTwoEndUDPSession(std::shared_ptr<CService> service, std::weak_ptr<CUDPSessionOwner> owner,
                                     const CString& clientAddress, uint32_t clientPort)
    : CUDPSession(std::move(service), std::move(owner), clientAddress, clientPort) {}

CTwoEndUDPSession::~CTwoEndUDPSession() { m_serverSocket.Close(); }

void CTwoEndUDPSession::SetServerName(const CString& name) {
  std::lock_guard<std::mutex> g(m_mx);
  m_serverName = name;
}

void CTwoEndUDPSession::SetServerAddress(uint32_t address) {
  std::lock_guard<std::mutex> g(m_mx);
  m_serverAddress = address;
}

void CTwoEndUDPSession::SetServerPort(uint32_t port) {
  std::lock_guard<std::mutex> g(m_mx);
  m_serverPort = port;
}

CString CTwoEndUDPSession::GetServerName() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_serverName;
}

uint32_t CTwoEndUDPSession::GetServerAddress() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_serverAddress;
}

uint32_t CTwoEndUDPSession::GetServerPort() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_serverPort;
}

void CTwoEndUDPSession::GetProperty(uint32_t code, CTLDataObject& value) const {
  switch (code) {
    case kPropServerName: value.SetString(GetServerName()); return;
    case kPropServerPort: value.SetDWord(GetServerPort()); return;
    case kPropServerIPAddress: value.SetString(FormatIPAddress(GetServerAddress())); return;
    default: CUDPSession::GetProperty(code, value); return;
  }
}

void CTwoEndUDPSession::OpenServerSocket() {
  m_serverSocket.Create(SOCK_DGRAM);
  CString address;
  if (GetInterfaceMethod() != INTERFACE_METHOD_ANY) {
    CInterface iface = GetOutgoingInterface();
    uint32_t ip = 0;
    if (TryParseIPAddress(iface.GetAddressText(), &ip) && ip != 0) address = iface.GetAddressText();
  }
  m_serverSocket.Bind(0, address);
  m_serverSocket.AsyncSelect(FD_READ);
  m_serverSocket.ArmAsyncSelect();
}

const char* CTwoEndUDPSession::JudgeDestination(uint32_t address, uint32_t port) const {
  return JudgeClientDestination(*this, address, port, SERVICE_TRANSPORT_UDP);
}

bool CTwoEndUDPSession::RefuseClientDestination(uint32_t address, uint32_t port) {
  const char* why = JudgeDestination(address, port);
  if (!why) return false;
  Log(kLogFailedAuthorisation, "Connection to %s:%u refused - %s", FormatIPAddress(address).c_str(), port, why);
  return true;
}

bool CTwoEndUDPSession::LoopsBack(const CString& host, uint32_t address, uint32_t port) {
  return RefuseRoadBack(*this, FormatString("%s:%u", host.c_str(), port),
                        {{CString(), address, port, SERVICE_TRANSPORT_UDP}});
}

void CTwoEndUDPSession::ForwardToServer(const void* buffer, size_t length) {
  AddClientBytesReceived(length);
  const uint32_t address = GetServerAddress();
  const uint32_t port = GetServerPort();
  if (address == 0 || port == 0 || port > 0xFFFF || !m_serverSocket.IsOpen()) return;
  m_serverSocket.SendTo(buffer, length, static_cast<uint16_t>(port), FormatIPAddress(address));
  ResetIdleTimer();
}

void CTwoEndUDPSession::Exit(uint32_t code) {
  m_serverSocket.Close();
  CUDPSession::Exit(code);
}
