#include "engine/proxy/ftp/ftp_session.h"

#include <cstring>

#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/proxy/common/url_normal.h"

TL_IMPLEMENT_DYNAMIC(CFTPSession, CTwoEndTCPSession)

namespace {

constexpr const char* kGreeting = "220 Trellis Engine FTP Gateway ready\r\n";
constexpr const char* kAccessDenied = "500 Trellis Engine Access Denied\r\n";
constexpr const char* kBadUser = "500 Bad username format - format is user@host:port\r\n";
constexpr const char* kLoginFirst = "530 Please login with USER user@host first\r\n";
constexpr const char* kNotImplemented = "502 Command not implemented\r\n";
constexpr const char* kPASVOnly = "500 only PASV mode is supported for non-direct proxy connections\r\n";
constexpr const char* kBadPort = "500 Bad Port command\r\n";
constexpr size_t kReadChunk = 2048;
// A data relay moves at most this much per event, so a control line waits for no transfer.
constexpr size_t kDataChunk = 65536;
constexpr int kDataChunksPerEvent = 8;

// A client text in a log line: bounded, one line.
CString ForLog(const std::string& line) { return CString(ftp::TrimLine(line).substr(0, 200)); }

}  // namespace

CFTPSession::CFTPSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("FTP: ");
}

CFTPSession::~CFTPSession() {
  m_dataListener.Close();
  m_dataClient.Close();
  m_dataServer.Close();
}

void CFTPSession::SendAccessDenied() {
  try {
    m_clientSocket.Send(kAccessDenied, strlen(kAccessDenied));
  } catch (const X1SocketException&) {
    // The client has gone: the refusal is logged by the caller all the same.
  }
}

void CFTPSession::GetProperty(uint32_t code, CTLDataObject& value) const {
  if (code == kPropFTPUserName) {
    std::lock_guard<std::mutex> g(m_mx);
    value.SetString(m_upstreamUser);
    return;
  }
  CTwoEndTCPSession::GetProperty(code, value);
}

void CFTPSession::SendClient(const std::string& text) { m_clientSocket.Send(text.data(), text.size()); }

void CFTPSession::SendServer(const std::string& text) { m_serverSocket.Send(text.data(), text.size()); }

void CFTPSession::OnStart() {
  try {
    SendClient(kGreeting);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CFTPSession::OnStart() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  }
}

void CFTPSession::OnEnd() {
  CloseData();
  CTwoEndTCPSession::OnEnd();
}

// ---- Events ---------------------------------------------------------------------------------------

void CFTPSession::OnRead(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      ReadClient();
    } else if (m_serverSocket.TakeEvent(msg)) {
      ReadServer();
    } else if (m_dataClient.TakeEvent(msg)) {
      PumpData(m_dataClient, m_dataServer);
    } else if (m_dataServer.TakeEvent(msg)) {
      PumpData(m_dataServer, m_dataClient);
    }
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CFTPSession::OnRead() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CFTPSession::OnRead() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CFTPSession::OnClose(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      ReadClient();  // what it sent before its end still counts (a QUIT)
      Terminate(kSessionExitRefused);
    } else if (m_serverSocket.TakeEvent(msg)) {
      // The server's last words (a 221 or a 421) reach the client before the end.
      ReadServer();
      Terminate(0);
    } else if (m_dataClient.TakeEvent(msg)) {
      EndData(true);
    } else if (m_dataServer.TakeEvent(msg)) {
      EndData(false);
    } else if (m_dataListener.TakeEvent(msg)) {
      m_dataListener.Close();
    }
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CFTPSession::OnClose() - terminating");
    Terminate(kSessionExitRefused);
  }
}

// ---- Control lines --------------------------------------------------------------------------------

void CFTPSession::ReadClient() {
  char buf[kReadChunk];
  for (;;) {
    const size_t n = m_clientSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    if (!m_commands.Append(buf, n)) break;
  }
  std::string line;
  while (!IsEnding() && m_commands.Next(&line)) OnClientLine(line);
  if (!IsEnding() && m_commands.Overflowed()) {
    Log(kLogError, "Command line longer than %zu bytes from the client - terminating", ftp::kMaxLine);
    SendClient("500 Command line too long\r\n");
    Terminate(kSessionExitRefused);
  }
}

void CFTPSession::ReadServer() {
  char buf[kReadChunk];
  for (;;) {
    const size_t n = m_serverSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    if (!m_replies.Append(buf, n)) break;
  }
  std::string line;
  while (!IsEnding() && m_replies.Next(&line)) OnServerLine(line);
  if (!IsEnding() && m_replies.Overflowed()) {
    Log(kLogError, "Reply line longer than %zu bytes from the server - terminating", ftp::kMaxLine);
    Terminate(kSessionExitRefused);
  }
}

void CFTPSession::OnClientLine(const std::string& line) {
  ResetIdleTimer();
  const ftp::Command command = ftp::Classify(line);
  if (!m_serverConnected) {
    switch (command) {
      case ftp::Command::User: HandleUser(line); return;
      case ftp::Command::Empty: return;
      case ftp::Command::Quit:
        SendClient("221 Goodbye\r\n");
        Terminate(0);
        return;
      default: SendClient(kLoginFirst); return;
    }
  }
  if (!m_greetingDone) {
    // The upstream log-in has not gone yet: what the client sent behind its USER follows it, in order.
    m_heldBytes += line.size();
    if (m_heldBytes > ftp::kMaxLine) {
      Log(kLogError, "Too many commands before the server's greeting - terminating");
      Terminate(kSessionExitRefused);
      return;
    }
    m_held.push_back(line);
    return;
  }
  switch (command) {
    case ftp::Command::User: {
      // The server exists: a repeated log-in goes to it, naming the user alone.
      const std::string argument = ftp::Argument(line);
      const size_t at = argument.rfind('@');
      const std::string user = (at == std::string::npos || m_throughProxy) ? argument : argument.substr(0, at);
      {
        std::lock_guard<std::mutex> g(m_mx);
        m_upstreamUser = user;
      }
      SendServer("USER " + user + "\r\n");
      return;
    }
    case ftp::Command::Port: HandlePort(line); return;
    case ftp::Command::Extended: SendClient(kNotImplemented); return;
    case ftp::Command::Pasv:
    default: SendServer(line); return;
  }
}

void CFTPSession::HandleUser(const std::string& line) {
  const std::string argument = ftp::Argument(line);
  if (!ftp::ParseUser(argument, GetNonProxyAction(), GetNonProxyHost(), GetNonProxyPort(), &m_target)) {
    SendClient(kBadUser);
    Log(kLogError, "Bad Username format - user sent %s", ForLog(line).c_str());
    return;
  }
  // The host as the resolver reads it: the rules judge, and the connection goes to, that name.
  m_target.host = NormalizeHostName(m_target.host);
  if (m_target.host.empty()) {
    SendClient(kBadUser);
    Log(kLogError, "Bad Username format - user sent %s", ForLog(line).c_str());
    return;
  }
  SetNonProxyRequest(m_target.nonProxy);
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_upstreamUser = m_target.user;
  }
  const CString description =
      m_target.port == 21
          ? FormatString("FTP: %s at %s", m_target.user.c_str(), m_target.host.c_str())
          : FormatString("FTP: %s at %s:%u", m_target.user.c_str(), m_target.host.c_str(), m_target.port);
  NameServer(m_target.host, m_target.port);
  if (!AnnounceRequest(description)) return;
  const CConnectSettings cs = GetConnectSettings();
  m_throughProxy = cs.ConnectMethod == CONNECT_HTTP_PROXY;
  // The server can connect back only to a gateway it reaches directly (or to the upstream FTP
  // proxy's own PORT handling); through a SOCKS 4 server or a tunnel it cannot.
  m_portAllowed = cs.ConnectMethod == CONNECT_DIRECT || cs.ConnectMethod == CONNECT_HTTP_PROXY;
  try {
    ConnectToServer(m_target.host, m_target.port,
                    m_target.nonProxy ? Destination::OperatorChosen : Destination::ClientChosen);
  } catch (const X1SocketException& e) {
    if (IsEnding()) return;  // the rights refused once the address was known: answered
    Log(kLogError, "FTP connect to %s:%u failed - %s", m_target.host.c_str(), m_target.port, e.GetText().c_str());
    SendClient(FormatString("421 Could not connect to %s:%u\r\n", m_target.host.c_str(), m_target.port));
    Terminate(kSessionExitRefused);
    return;
  }
  m_serverConnected = true;
  m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
  m_serverSocket.ArmAsyncSelect();
}

void CFTPSession::HandlePort(const std::string& line) {
  if (!m_portAllowed) {
    Log(kLogError,
        "User sent PORT command, but we are configured for connection out through a proxy - only PASV is supported "
        "for this");
    SendClient(kPASVOnly);
    return;
  }
  uint32_t address = 0;
  uint16_t port = 0;
  uint32_t client = 0;
  // The data connection goes back to the client itself, never to a third host it names.
  if (!ftp::ParseHostPort(ftp::Argument(line), &address, &port) || port == 0 ||
      !TryParseIPAddress(GetClientAddress(), &client) || address != client) {
    SendClient(kBadPort);
    Log(kLogError, "Bad Port command - user sent %s", ForLog(line).c_str());
    return;
  }
  const CString local = m_serverSocket.GetLocalAddress();
  const uint16_t listening =
      OpenDataListener(local, m_serverSocket.GetPeerAddress(), FormatIPAddress(address), port, false);
  uint32_t localAddress = 0;
  TryParseIPAddress(local, &localAddress);
  SendServer("PORT " + ftp::FormatHostPort(localAddress, listening) + "\r\n");
}

void CFTPSession::OnServerLine(const std::string& line) {
  ResetIdleTimer();
  bool last = false;
  const int code = ftp::ReplyCode(line, &last);
  if (!m_greetingDone) {
    if (code == 0 || !last) return;  // the greeting's other lines
    if (code != 220) {
      SendClient(line);  // a refusal (421 ...) is the client's to read; the server's end follows
      return;
    }
    m_greetingDone = true;
    const std::string user =
        m_throughProxy
            ? (m_target.port == 21 ? m_target.user + "@" + m_target.host
                                   : m_target.user + "@" + m_target.host + ":" + std::to_string(m_target.port))
            : m_target.user;
    SendServer("USER " + user + "\r\n");
    std::vector<std::string> held;
    held.swap(m_held);
    m_heldBytes = 0;
    for (const auto& l : held) {
      if (IsEnding()) break;
      OnClientLine(l);
    }
    return;
  }
  if (code == 227 && last) {
    HandlePassiveReply(line);
    return;
  }
  SendClient(line);
}

void CFTPSession::HandlePassiveReply(const std::string& line) {
  uint32_t address = 0;
  uint16_t port = 0;
  if (!ftp::ParsePassiveReply(line, &address, &port) || port == 0) {
    Log(kLogError, "Bad passive reply from the server: %s", ForLog(line).c_str());
    SendClient("425 Cannot open data connection\r\n");
    return;
  }
  // The data connection goes to the server the session talks to, whatever address the reply
  // names: a server must not send the gateway elsewhere.
  const CString local = m_clientSocket.GetLocalAddress();
  const uint16_t listening = OpenDataListener(local, GetClientAddress(), m_serverSocket.GetPeerAddress(), port, true);
  uint32_t localAddress = 0;
  TryParseIPAddress(local, &localAddress);
  SendClient(FormatString("227 Entering passive mode (%s)\r\n", ftp::FormatHostPort(localAddress, listening).c_str()));
}

// ---- Data connections -----------------------------------------------------------------------------

uint16_t CFTPSession::OpenDataListener(const CString& localAddress, const CString& expectedPeer, const CString& target,
                                       uint16_t port, bool toServer) {
  CloseData();
  m_dataListener.Create(SOCK_STREAM);
  m_dataListener.Bind(0, localAddress);
  m_dataListener.Listen(5);
  m_dataListener.AsyncSelect(FD_ACCEPT | FD_CLOSE);
  m_dataListener.ArmAsyncSelect();
  m_dataExpectedPeer = expectedPeer;
  m_dataTarget = target;
  m_dataTargetPort = port;
  m_dataTargetIsServer = toServer;
  return m_dataListener.GetLocalPort();
}

void CFTPSession::OnAccept(platform::Message& msg) {
  if (!m_dataListener.TakeEvent(msg)) return;
  try {
    int handle = -1;
    try {
      handle = m_dataListener.Accept();
    } catch (const X1SocketException& e) {
      if (e.GetCode() == WSAEWOULDBLOCK) return;
      throw;
    }
    X1Socket& accepted = m_dataTargetIsServer ? m_dataClient : m_dataServer;
    X1Socket& other = m_dataTargetIsServer ? m_dataServer : m_dataClient;
    accepted.AttachAccepted(handle);
    if (accepted.GetPeerAddress() != m_dataExpectedPeer) {
      // Anyone else could take the transfer (or feed one): only the expected peer may connect.
      Log(kLogError, "Data connection from %s refused - expected %s", accepted.GetPeerAddress().c_str(),
          m_dataExpectedPeer.c_str());
      accepted.Close();
      return;
    }
    m_dataListener.Close();
    other.Create(SOCK_STREAM);
    const CConnectSettings cs = GetConnectSettings();
    if (m_dataTargetIsServer && (cs.ConnectMethod == CONNECT_SOCKS4 || cs.ConnectMethod == CONNECT_HTTP_TUNNEL)) {
      // Through the same upstream way as the control connection, to the server by its name.
      ConnectToServer(other, m_target.host, m_dataTargetPort, Destination::OperatorChosen);
    } else {
      // Toward the server from the control connection's own address: a server that checks its
      // data connections refuses one from any other address of the gateway.
      if (m_dataTargetIsServer) BindOutgoing(other);
      other.Connect(m_dataTarget, m_dataTargetPort);
    }
    m_dataClientEnded = m_dataServerEnded = false;
    m_dataClient.AsyncSelect(FD_READ | FD_CLOSE);
    m_dataClient.ArmAsyncSelect();
    m_dataServer.AsyncSelect(FD_READ | FD_CLOSE);
    m_dataServer.ArmAsyncSelect();
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CFTPSession::OnAccept() %s - ignoring", e.GetText().c_str());
    CloseData();
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CFTPSession::OnAccept() - ignoring");
    CloseData();
  }
}

void CFTPSession::PumpData(X1Socket& from, X1Socket& to) {
  if (!to.IsOpen()) return;
  for (int i = 0; i < kDataChunksPerEvent; ++i) {
    if (from.RelayTo(to, kDataChunk) == 0) return;
    ResetIdleTimer();
  }
}

void CFTPSession::EndData(bool clientSide) {
  X1Socket& from = clientSide ? m_dataClient : m_dataServer;
  X1Socket& to = clientSide ? m_dataServer : m_dataClient;
  bool& ended = clientSide ? m_dataClientEnded : m_dataServerEnded;
  try {
    // What the side sent before its end goes on first, then its end.
    if (to.IsOpen()) {
      while (from.RelayTo(to, kDataChunk) > 0) {
      }
      to.ShutdownSend();
    }
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Data connection ended with an error: %s", e.GetText().c_str());
    CloseData();
    return;
  }
  from.CancelAsyncSelect();
  ended = true;
  if (m_dataClientEnded && m_dataServerEnded) CloseData();
}

void CFTPSession::CloseData() {
  m_dataListener.Close();
  m_dataClient.Close();
  m_dataServer.Close();
  m_dataClientEnded = m_dataServerEnded = false;
}
