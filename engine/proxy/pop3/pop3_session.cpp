#include "engine/proxy/pop3/pop3_session.h"

#include <strings.h>

#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/proxy/common/url_normal.h"

TL_IMPLEMENT_DYNAMIC(CPOP3Session, CTwoEndTCPSession)

namespace {

constexpr const char* kGreeting = "+OK Trellis Engine POP3 Gateway ready\r\n";
constexpr const char* kAccessDenied = "-ERR Access Denied\r\n";
constexpr const char* kBadUser = "-ERR bad username\r\n";
constexpr size_t kReadChunk = 512;
// A command word longer than any POP3 keyword is shown cut to this in the refusal and the log.
constexpr size_t kShownCommand = 40;

}  // namespace

CPOP3Session::CPOP3Session(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("POP3:");
}

CPOP3Session::~CPOP3Session() = default;

void CPOP3Session::SendClient(const std::string& text) { m_clientSocket.Send(text.data(), text.size()); }

void CPOP3Session::SendAccessDenied() {
  try {
    SendClient(kAccessDenied);
  } catch (const X1SocketException&) {
    // The client has gone: the refusal is logged by the caller all the same.
  }
}

void CPOP3Session::GetProperty(uint32_t code, CTLDataObject& value) const {
  if (code == kPropPOP3UserName) {
    std::lock_guard<std::mutex> g(m_mx);
    value.SetString(m_userName);
    return;
  }
  CTwoEndTCPSession::GetProperty(code, value);
}

void CPOP3Session::OnStart() {
  try {
    SendClient(kGreeting);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CPOP3Session::OnStart() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  }
}

void CPOP3Session::OnRead(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      ReadClient();
    } else if (m_serverSocket.TakeEvent(msg)) {
      ReadServer();
    }
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CPOP3Session::OnRead() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CPOP3Session::OnRead() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CPOP3Session::OnClose(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      Terminate(kSessionExitRefused);
    } else if (m_serverSocket.TakeEvent(msg)) {
      // A server that refuses before the log-in (its "-ERR" line) has its say first.
      ReadServer();
      Terminate(0);
    }
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CPOP3Session::OnClose() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CPOP3Session::OnClose() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CPOP3Session::ReadClient() {
  char buf[kReadChunk];
  for (;;) {
    const size_t n = m_clientSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    m_clientBuffer.append(buf, n);
    if (m_clientBuffer.size() > pop3::kMaxLine * 4) break;
  }
  // Once connected, everything the client sends waits for the upstream log-in (then the relay
  // takes it); it is bounded like a line.
  while (!m_connected && !IsEnding()) {
    std::string line;
    size_t length = 0;
    const pop3::LineResult r = pop3::FirstLine(m_clientBuffer, &line, &length);
    if (r == pop3::LineResult::NeedMore) return;
    if (r == pop3::LineResult::TooLong) break;
    m_clientBuffer.erase(0, length);
    const std::string trimmed = pop3::Trim(line);
    if (trimmed.empty()) continue;
    // A command is its whole first word, read as the server would read it (a keyword, then a space
    // or the line's end): "USERNAME x#host" or "USERX" is no USER, whatever its first four letters,
    // and the answer names the word that was sent.
    const std::string word = trimmed.substr(0, trimmed.find(' '));
    if (::strcasecmp(word.c_str(), "USER") != 0) {
      const std::string shown = Printable(word.substr(0, kShownCommand));
      SendClient("-ERR unrecognised command " + shown + "\r\n");
      Log(kLogError, "Unrecognised command %s", shown.c_str());
      continue;
    }
    HandleUser(pop3::Trim(trimmed.substr(4)));
  }
  if (!IsEnding() && m_clientBuffer.size() > pop3::kMaxLine) {
    Log(kLogError, "Line longer than %zu bytes from the client - terminating", pop3::kMaxLine);
    SendClient("-ERR line too long\r\n");
    Terminate(kSessionExitRefused);
  }
}

void CPOP3Session::HandleUser(const std::string& argument) {
  m_throughProxy = GetConnectSettings().ConnectMethod == CONNECT_HTTP_PROXY;
  const pop3::UserResult r = pop3::ParseUser(argument, m_delimiter, m_throughProxy, GetNonProxyAction(),
                                             GetNonProxyHost(), GetNonProxyPort(), &m_target);
  if (r != pop3::UserResult::Done) {
    if (r == pop3::UserResult::Rejected) {
      Log(kLogError, "Non proxy request rejected - client sent %s", Printable(argument.substr(0, 200)).c_str());
      SendClient(kBadUser);
      Terminate(kSessionExitRefused);
    } else {
      Log(kLogError, "Bad username - client sent %s", Printable(argument.substr(0, 200)).c_str());
      SendClient(kBadUser);
    }
    return;
  }
  // The host as the resolver reads it: the rules judge, and the connection goes to, that name.
  if (!m_target.host.empty()) {
    m_target.host = NormalizeHostName(m_target.host);
    if (m_target.host.empty()) {
      Log(kLogError, "Bad username - client sent %s", Printable(argument.substr(0, 200)).c_str());
      SendClient(kBadUser);
      return;
    }
  }
  SetNonProxyRequest(m_target.nonProxy);
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_userName = m_target.user;
  }
  CString description;
  if (m_target.host.empty()) {
    description = FormatString("POP3: user %s piped through proxy", m_target.user.c_str());
  } else if (m_target.hasPort && m_target.port != 110) {
    description = FormatString("POP3: %s at %s:%u", m_target.user.c_str(), m_target.host.c_str(), m_target.port);
  } else {
    description = FormatString("POP3: %s at %s", m_target.user.c_str(), m_target.host.c_str());
  }
  // Through an upstream proxy without a host, the proxy itself is the server.
  const CString server = m_target.host.empty() ? GetConnectSettings().ProxyServer : CString(m_target.host);
  NameServer(server, m_target.port);
  if (!AnnounceRequest(description)) return;
  try {
    ConnectToServer(GetServerName(), m_target.port,
                    m_target.nonProxy ? Destination::OperatorChosen : Destination::ClientChosen);
  } catch (const X1SocketException& e) {
    if (IsEnding()) return;  // the rights refused once the address was known: answered
    Log(kLogError, "POP3 connect to %s:%u failed - %s", m_target.host.c_str(), m_target.port, e.GetText().c_str());
    SendClient(FormatString("-ERR could not connect to %s:%u\r\n", m_target.host.c_str(), m_target.port));
    Terminate(kSessionExitRefused);
    return;
  }
  m_connected = true;
  m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
  m_serverSocket.ArmAsyncSelect();
}

void CPOP3Session::ReadServer() {
  if (IsRelaying()) return;
  char buf[kReadChunk];
  for (;;) {
    const size_t n = m_serverSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    m_serverBuffer.append(buf, n);
    if (m_serverBuffer.size() > pop3::kMaxLine) break;
  }
  std::string line;
  size_t length = 0;
  const pop3::LineResult r = pop3::FirstLine(m_serverBuffer, &line, &length);
  if (r == pop3::LineResult::NeedMore) return;
  if (r == pop3::LineResult::TooLong) {
    Log(kLogError, "Greeting longer than %zu bytes from the server - terminating", pop3::kMaxLine);
    SendClient("-ERR bad greeting from the server\r\n");
    Terminate(kSessionExitRefused);
    return;
  }
  std::string toClient;
  std::string toServer;
  if (::strncasecmp(line.c_str(), "+OK", 3) == 0) {
    // The server's greeting is the gateway's business; the client has had the gateway's.
    if (m_throughProxy && !m_target.host.empty()) {
      toServer = m_target.port != 110
                     ? FormatString("USER %s#%s:%u\r\n", m_target.user.c_str(), m_target.host.c_str(), m_target.port)
                     : FormatString("USER %s#%s\r\n", m_target.user.c_str(), m_target.host.c_str());
    } else {
      toServer = "USER " + m_target.user + "\r\n";
    }
  } else {
    toClient = line;
  }
  // Whatever followed the greeting, and what the client sent behind its USER, go on in order.
  toClient += m_serverBuffer.substr(length);
  toServer += m_clientBuffer;
  m_serverBuffer.clear();
  m_clientBuffer.clear();
  StartRelay(toServer, toClient);
}
