#include "engine/proxy/telnet/telnet_session.h"

#include <strings.h>

#include <algorithm>

#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/core/machine.h"
#include "engine/proxy/common/url_normal.h"

TL_IMPLEMENT_DYNAMIC(CTelnetSession, CTwoEndTCPSession)

namespace {

constexpr size_t kReadChunk = 2048;
constexpr size_t kRelayChunk = 65536;
constexpr int kRelayChunksPerEvent = 8;

}  // namespace

CTelnetSession::CTelnetSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("Telnet:");
}

CTelnetSession::~CTelnetSession() = default;

void CTelnetSession::SetTelnetOptions(const CTelnetOptions& options) {
  m_options = options;
  m_loginPending = options.EnableLogin != 0;
}

void CTelnetSession::Send(const std::string& text) { m_clientSocket.Send(text.data(), text.size()); }

void CTelnetSession::SendAccessDenied() {
  try {
    Send("Access Denied\r\n");
  } catch (const X1SocketException&) {
    // The client has gone: the refusal is logged by the caller all the same.
  }
}

void CTelnetSession::ShowPrompt() { Send(std::string(m_options.Prompt)); }

void CTelnetSession::OnStart() {
  try {
    Send(std::string(telnet::kGreeting, sizeof telnet::kGreeting - 1));
    // A client whose level already suffices goes straight to the host prompt.
    if (m_loginPending && DecideRights(AccessStage::Accept) == AccessResult::LoginRequired) {
      m_state = State::User;
      Send("Login: ");
    } else {
      m_loginPending = false;
      m_state = State::Host;
      ShowPrompt();
    }
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CTelnetSession::OnStart() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  }
}

void CTelnetSession::OnRead(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      if (m_state == State::Connected) {
        ClientToServer();
      } else {
        FrontEnd();
      }
    } else if (m_serverSocket.TakeEvent(msg)) {
      for (int i = 0; i < kRelayChunksPerEvent; ++i) {
        if (m_serverSocket.RelayTo(m_clientSocket, kRelayChunk) == 0) break;
        ResetIdleTimer();
      }
    }
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CTelnetSession::OnRead() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CTelnetSession::OnRead() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CTelnetSession::OnClose(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      if (m_state != State::Connected) {
        Terminate(kSessionExitRefused);
        return;
      }
      ClientToServer();
      EndDirection(true);
    } else if (m_serverSocket.TakeEvent(msg)) {
      while (m_serverSocket.RelayTo(m_clientSocket, kRelayChunk) > 0) {
      }
      EndDirection(false);
    }
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Telnet relay ended with an error: %s", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CTelnetSession::OnClose() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CTelnetSession::EndDirection(bool clientSide) {
  bool& ended = clientSide ? m_clientEnded : m_serverEnded;
  if (ended) return;
  ended = true;
  X1Socket& to = clientSide ? m_serverSocket : m_clientSocket;
  (clientSide ? m_clientSocket : m_serverSocket).CancelAsyncSelect();
  try {
    to.ShutdownSend();
  } catch (const X1SocketException&) {
    // The other side is gone already: its own end arrives as its close event.
  }
  if (m_clientEnded && m_serverEnded) Terminate(0);
}

void CTelnetSession::ClientToServer() {
  char buf[kReadChunk];
  for (int i = 0; i < kRelayChunksPerEvent * 32; ++i) {
    const size_t n = m_clientSocket.Receive(buf, sizeof buf);
    if (n == 0) return;
    // A raw TCP service knows no Telnet line ends: the NUL of a bare CR becomes a line feed.
    if (m_port != 23) std::replace(buf, buf + n, '\0', '\n');
    m_serverSocket.Send(buf, n);
    ResetIdleTimer();
  }
}

// ---- Front end ------------------------------------------------------------------------------------

void CTelnetSession::FrontEnd() {
  uint8_t buf[kReadChunk];
  for (;;) {
    const size_t n = m_clientSocket.Receive(buf, sizeof buf);
    if (n == 0) return;
    std::string out;
    for (size_t i = 0; i < n && !IsEnding(); ++i) {
      const telnet::CParser::Item item = m_parser.Feed(buf[i]);
      if (item.kind == telnet::CParser::Kind::Option) {
        out += telnet::AnswerOption(item.verb, item.option, m_answered);
        continue;
      }
      if (item.kind != telnet::CParser::Kind::Data) continue;
      const uint8_t c = item.byte;
      if (c == 0 || c == '\n') {
        out += "\r\n";
        Send(out);
        out.clear();
        OnLine();
        if (m_state == State::Connected || IsEnding()) {
          // What came behind the host line belongs to the remote host.
          if (!IsEnding() && i + 1 < n) {
            std::string rest(reinterpret_cast<const char*>(buf + i + 1), n - i - 1);
            if (m_port != 23) std::replace(rest.begin(), rest.end(), '\0', '\n');
            m_serverSocket.Send(rest.data(), rest.size());
          }
          return;
        }
      } else if (c == 8 || c == 127) {
        if (!m_line.empty()) {
          m_line.pop_back();
          out += "\b \b";
        }
      } else if (c == '\r') {
        // The line ends with the LF or NUL that follows.
      } else if (m_line.size() < kMaxLine) {
        m_line.push_back(static_cast<char>(c));
        out.push_back(m_state == State::Password ? '*' : static_cast<char>(c));
      }
    }
    if (!out.empty() && !IsEnding()) Send(out);
  }
}

void CTelnetSession::OnLine() {
  std::string line;
  line.swap(m_line);
  const std::string trimmed = [&] {
    size_t b = 0, e = line.size();
    while (b < e && line[b] == ' ') ++b;
    while (e > b && line[e - 1] == ' ') --e;
    return line.substr(b, e - b);
  }();
  switch (m_state) {
    case State::User:
      m_user = trimmed;
      m_state = State::Password;
      Send("Password: ");
      return;
    case State::Password:
      m_line = trimmed;
      Login();
      m_line.clear();
      return;
    case State::Host:
      if (trimmed.empty()) {
        ShowPrompt();
      } else {
        ProcessConnectRequest(trimmed);
      }
      return;
    case State::Connected: return;
  }
}

void CTelnetSession::Login() {
  const std::string password = m_line;
  bool ok = false;
  CString userName;
  if (CSessionHost* host = GetSessionHost()) {
    if (CGroupMemberDatabase* users = host->GetUserDatabase()) {
      CLockGuard g(*users);
      if (auto user = users->FindUser(m_user)) {
        CLockGuard ug(*user);
        // Stored passwords compare without regard to case across the accounts design.
        ok = user->AccountEnabled && user->Password.size() == password.size() &&
             ::strcasecmp(user->Password.c_str(), password.c_str()) == 0;
        userName = user->Name;
      }
    }
  }
  if (!ok) {
    SendAccessDenied();
    const std::string shown = Printable(std::string(m_user).substr(0, 200));
    Audit(kAuditFailedAuthorisation, "user %s failed login", shown.c_str());
    Log(kLogFailedAuthorisation, "user %s failed login", shown.c_str());
    Terminate(kSessionExitRefused);
    return;
  }
  if (GetSecurityLevel() < 1) {
    if (::strcasecmp(userName.c_str(), "GUEST") != 0) {
      if (auto machine = GetMachine()) machine->SetIdentity(userName, 1);
    }
    SetUser(userName, 1);
  }
  m_state = State::Host;
  m_loginPending = false;
  if (CheckRights(AccessStage::Accept) != AccessResult::Allowed) {
    if (!IsEnding()) {
      SendAccessDenied();
      Terminate(kSessionExitRefused);
    }
    return;
  }
  ShowPrompt();
}

void CTelnetSession::ProcessConnectRequest(const std::string& line) {
  if (::strcasecmp(line.c_str(), "QUIT") == 0 || ::strcasecmp(line.c_str(), "EXIT") == 0) {
    Terminate(0);
    return;
  }
  std::string host;
  uint16_t port = 23;
  // The host as the resolver reads it: the rules judge, and the connection goes to, that name.
  if (!telnet::ParseHostLine(line, &host, &port) || (host = NormalizeHostName(host)).empty()) {
    Send("Bad host - type host, host:port or host port\r\n");
    ShowPrompt();
    return;
  }
  const CString description =
      port == 23 ? FormatString("Telnet: %s", host.c_str()) : FormatString("Telnet: %s:%u", host.c_str(), port);
  SetDescription(description);
  if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
  NameServer(host, port);
  if (CheckRights(AccessStage::Request) != AccessResult::Allowed) {
    if (!IsEnding()) {
      SendAccessDenied();
      Audit(kAuditFailedAuthorisation, "%s", description.c_str());
      Log(kLogFailedAuthorisation, "%s", description.c_str());
      Terminate(kSessionExitRefused);
    }
    return;
  }
  Send(FormatString("Connecting to host %s...", host.c_str()));
  try {
    ConnectToServer(host, port);
  } catch (const X1SocketException& e) {
    if (IsEnding()) return;  // the rights refused once the address was known: answered
    Log(kLogError, "Caught socket exception in CTelnetSession::ProcessConnectRequest() %s", e.GetText().c_str());
    Send(std::string(e.GetText()) + "\r\n");
    ShowPrompt();
    return;
  }
  m_port = port;
  Send("Connected\r\n");
  m_state = State::Connected;
  m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
  m_serverSocket.ArmAsyncSelect();
}
