#include "engine/proxy/socks/socks_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/core/interfaces.h"
#include "engine/core/machine.h"
#include "engine/core/service_manager.h"
#include "engine/proxy/common/url_normal.h"
#include "engine/proxy/www/www_service.h"
#include "engine/proxy/www/www_session.h"

TL_IMPLEMENT_DYNAMIC(CSOCKSSession, CTwoEndTCPSession)

namespace {

// Bytes read from the client per receive while a message is being collected.
constexpr size_t kReadChunk = 2048;
// The largest UDP payload plus room for its SOCKS header.
constexpr size_t kDatagramBuffer = 65536 + 262;
constexpr int kDatagramsPerEvent = 256;

}  // namespace

CSOCKSSession::CSOCKSSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("SOCKS: ");
}

CSOCKSSession::~CSOCKSSession() {
  m_bindListener.Close();
  m_udpClient.Close();
  m_udpServer.Close();
}

uint32_t CSOCKSSession::GetAuthenticatedLevel() const {
  return (m_options.UseRFC1929 && m_version != 4 && !m_loggedIn) ? 1 : 0;
}

void CSOCKSSession::SendBytes(const std::string& bytes) {
  try {
    if (m_clientSocket.IsOpen()) m_clientSocket.Send(bytes.data(), bytes.size());
  } catch (const X1SocketException& e) {
    // The client has gone: the session ends anyway, the reply had nobody to go to.
    Log(kLogDebug, "SOCKS reply not sent: %s", e.GetText().c_str());
  }
}

void CSOCKSSession::SendFailure(uint8_t code) {
  if (m_version == 4) SendBytes(socks::SOCKS4Reply(socks::kSOCKS4Failed));
  if (m_version == 5) SendBytes(socks::SOCKS5Reply(code));
}

void CSOCKSSession::SendAccessDenied() {
  switch (m_phase) {
    case Phase::Version: break;  // nothing has been asked yet
    case Phase::Methods: SendBytes(std::string{'\x05', '\xFF'}); break;
    case Phase::Login: SendBytes(std::string{'\x01', '\x01'}); break;
    default: SendFailure(socks::SOCKS5_NOT_ALLOWED); break;
  }
}

void CSOCKSSession::GetProperty(uint32_t code, CTLDataObject& value) const {
  switch (code) {
    case kPropSOCKSVersion: value.SetDWord(m_version); return;
    case kPropSOCKSCommand: value.SetDWord(m_command); return;
    case kPropSOCKSAddressType: value.SetDWord(m_addressType); return;
    default: CTwoEndTCPSession::GetProperty(code, value); return;
  }
}

bool CSOCKSSession::InvolvesHost(const CString& text) const {
  if (CTwoEndTCPSession::InvolvesHost(text)) return true;
  std::lock_guard<std::mutex> g(m_mx);
  if (m_command == socks::SOCKS_BIND)
    return !m_boundPeer.empty() && ::strcasecmp(m_boundPeer.c_str(), text.c_str()) == 0;
  return !m_target.empty() && ::strcasecmp(m_target.c_str(), text.c_str()) == 0;
}

// ---- Events ---------------------------------------------------------------------------------------

void CSOCKSSession::OnMessage(platform::Message& msg) {
  if (msg.message != platform::WM_TIMER) {
    CTwoEndTCPSession::OnMessage(msg);
    return;
  }
  KillTimer(msg.wParam);
  if (IsEnding()) return;
  if (msg.wParam == kSOCKS4WaitTimer && m_socks4Waiting) {
    OnSOCKS4Incomplete();
  } else if (msg.wParam == kSOCKS4EndTimer) {
    Terminate(kSessionExitRefused);
  }
}

void CSOCKSSession::OnSOCKS4Incomplete() {
  m_socks4Waiting = false;
  m_phase = Phase::Done;  // what still comes is not read
  const CString text = "SOCKS4 Session did not send password - terminating";
  SetDescription(text);
  Audit(kAuditRequested, "%s", text.c_str());
  Log(kLogError, "%s", text.c_str());
  if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), text);
  if (!SetTimer(kSOCKS4EndTimer, kSOCKS4EndDelayMs)) Terminate(kSessionExitRefused);
}

void CSOCKSSession::OnRead(platform::Message& msg) {
  try {
    if (m_clientSocket.TakeEvent(msg)) {
      if (m_phase == Phase::FirstData) {
        OnFirstData();
      } else {
        ReadClient();
      }
    } else if (m_udpClient.TakeEvent(msg)) {
      OnUDPFromClient();
    } else if (m_udpServer.TakeEvent(msg)) {
      OnUDPFromServer();
    }
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CSOCKSSession::OnRead() %s - terminating", e.GetText().c_str());
    SendFailure(socks::SOCKS5_GENERAL_FAILURE);
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CSOCKSSession::OnRead() - terminating");
    SendFailure(socks::SOCKS5_GENERAL_FAILURE);
    Terminate(kSessionExitRefused);
  }
}

void CSOCKSSession::OnClose(platform::Message& msg) {
  if (m_clientSocket.TakeEvent(msg)) {
    // The client has gone before a relay (or it ends a UDP association): nothing is owed to it.
    Terminate(0);
  } else if (m_bindListener.TakeEvent(msg)) {
    Log(kLogError, "SOCKS BIND listener closed - terminating");
    SendFailure(socks::SOCKS5_GENERAL_FAILURE);
    Terminate(kSessionExitRefused);
  }
}

void CSOCKSSession::OnEnd() {
  m_bindListener.Close();
  m_udpClient.Close();
  m_udpServer.Close();
  CTwoEndTCPSession::OnEnd();
}

void CSOCKSSession::ReadClient() {
  char buf[kReadChunk];
  for (;;) {
    const size_t n = m_clientSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    if (m_phase == Phase::Associated || m_phase == Phase::Done) continue;  // nothing more is asked of it
    m_in.append(buf, n);
    if (m_in.size() > socks::kMaxMessage) break;
  }
  if (m_phase == Phase::Associated || m_phase == Phase::Done || m_phase == Phase::Bound) return;
  if (!m_in.empty()) StartRequestDeadline();
  Process();
  if (!IsEnding() && m_phase != Phase::Bound && m_phase != Phase::Relaying && m_phase != Phase::Associated &&
      m_in.size() > socks::kMaxMessage)
    Malformed("message too long");
}

void CSOCKSSession::Malformed(const char* why) {
  Log(kLogError, "Malformed SOCKS%u message (%s) - terminating", m_version, why);
  SendFailure(socks::SOCKS5_GENERAL_FAILURE);
  m_phase = Phase::Done;
  Terminate(kSessionExitRefused);
}

void CSOCKSSession::Process() {
  const char* why = "";
  while (!IsEnding() && !m_in.empty()) {
    const auto* data = reinterpret_cast<const uint8_t*>(m_in.data());
    switch (m_phase) {
      case Phase::Version:
        m_version = data[0];
        if (m_version == 4) {
          socks::Request request;
          const socks::Parse r = socks::ParseSOCKS4Request(data, m_in.size(), &request, &why);
          if (r == socks::Parse::NeedMore) {
            if (m_in.size() >= 8 && !m_socks4Waiting) m_socks4Waiting = SetTimer(kSOCKS4WaitTimer, kSOCKS4WaitMs);
            return;
          }
          if (m_socks4Waiting) {
            KillTimer(kSOCKS4WaitTimer);
            m_socks4Waiting = false;
          }
          if (r == socks::Parse::Bad) return Malformed(why);
          m_in.erase(0, request.length);
          OnRequest(request);
        } else if (m_version == 5) {
          m_phase = Phase::Methods;
        } else {
          Log(kLogError, "Invalid SOCKS version (%u) - terminating", m_version);
          m_version = 0;
          m_phase = Phase::Done;
          Terminate(kSessionExitRefused);
          return;
        }
        break;
      case Phase::Methods: {
        const socks::Parse r = socks::ParseMethods(data, m_in.size(), &m_methods, &why);
        if (r == socks::Parse::NeedMore) return;
        if (r == socks::Parse::Bad) return Malformed(why);
        m_in.erase(0, m_methods.length);
        OnMethods();
        break;
      }
      case Phase::Login: {
        socks::Login login;
        const socks::Parse r = socks::ParseLogin(data, m_in.size(), &login, &why);
        if (r == socks::Parse::NeedMore) return;
        if (r == socks::Parse::Bad) {
          SendBytes(std::string{'\x01', '\x01'});
          m_version = 0;  // the login's own reply has gone; no request reply follows
          return Malformed(why);
        }
        m_in.erase(0, login.length);
        ClearRequestDeadline();
        // The user database keeps names and passwords; the login is judged there.
        bool ok = false;
        CString userName;
        if (CSessionHost* host = GetSessionHost()) {
          if (CGroupMemberDatabase* users = host->GetUserDatabase()) {
            CLockGuard g(*users);
            if (auto user = users->FindUser(login.user)) {
              CLockGuard ug(*user);
              // Stored passwords compare without regard to case across the accounts design.
              ok = user->AccountEnabled && ::strcasecmp(user->Password.c_str(), login.password.c_str()) == 0 &&
                   user->Password.size() == login.password.size();
              userName = user->Name;
            }
          }
        }
        if (ok) {
          m_loggedIn = true;
          if (GetSecurityLevel() < 1) {
            if (::strcasecmp(userName.c_str(), "GUEST") != 0) {
              if (auto machine = GetMachine()) machine->SetIdentity(userName, 1);
            }
            SetUser(userName, 1);
          }
          ok = DecideRights(AccessStage::Accept) == AccessResult::Allowed;
        }
        if (!ok) {
          SendBytes(std::string{'\x01', '\x01'});
          const CString text = FormatString("SOCKS5 login of %s refused", login.user.c_str());
          Audit(kAuditFailedAuthorisation, "%s", text.c_str());
          Log(kLogFailedAuthorisation, "%s", text.c_str());
          Log(kLogError, "Could not negotiate SOCKS5 access - terminating");
          m_phase = Phase::Done;
          Terminate(2);
          return;
        }
        SendBytes(std::string{'\x01', '\x00'});
        m_phase = Phase::Request5;
        break;
      }
      case Phase::Request5: {
        socks::Request request;
        bool badType = false;
        const socks::Parse r = socks::ParseSOCKS5Request(data, m_in.size(), &request, &why, &badType);
        if (r == socks::Parse::NeedMore) return;
        if (r == socks::Parse::Bad) {
          if (badType) {
            Log(kLogError, "Unsupported or invalid address type (%u) in SOCKS5 request - terminating", data[3]);
            SendFailure(socks::SOCKS5_ADDRESS_TYPE_NOT_SUPPORTED);
            m_phase = Phase::Done;
            Terminate(kSessionExitRefused);
            return;
          }
          return Malformed(why);
        }
        m_in.erase(0, request.length);
        OnRequest(request);
        break;
      }
      case Phase::Bound:
      case Phase::FirstData:
      case Phase::Associated:
      case Phase::Relaying:
      case Phase::Done: return;
    }
  }
}

void CSOCKSSession::OnMethods() {
  // The level the session has (its machine's user, or what the right grants by address) may
  // suffice; only otherwise is a login asked for, and only by a method the client offered.
  const AccessResult decision = DecideRights(AccessStage::Accept);
  if (decision == AccessResult::Allowed && m_methods.none) {
    m_loggedIn = true;  // nothing more to prove
    SendBytes(std::string{'\x05', '\x00'});
    m_phase = Phase::Request5;
    return;
  }
  if (decision != AccessResult::Refused && m_options.UseRFC1929 && m_methods.userPass) {
    SendBytes(std::string{'\x05', '\x02'});
    m_phase = Phase::Login;
    return;
  }
  SendBytes(std::string{'\x05', '\xFF'});
  const CString description = GetDescription();
  Audit(kAuditFailedAuthorisation, "%s", description.c_str());
  Log(kLogFailedAuthorisation, "%s", description.c_str());
  Log(kLogError, "Could not negotiate SOCKS5 access - terminating");
  m_phase = Phase::Done;
  Terminate(2);
}

// ---- Requests -------------------------------------------------------------------------------------

CString CSOCKSSession::TargetDisplay() const {
  if (m_addressType == socks::SOCKS_ATYP_IPV4 && m_options.DoReverseLookups) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(m_targetAddress);
    char name[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0, NI_NAMEREQD) ==
        0)
      return CString(name);
  }
  return m_target;
}

bool CSOCKSSession::RequestAllowed() {
  const AccessResult r = CheckRights(AccessStage::Request);
  if (r == AccessResult::Allowed) return true;
  if (r == AccessResult::LoginRequired) {
    // No login is left to ask for at this point: the request is refused as any other.
    SendAccessDenied();
    const CString description = GetDescription();
    Audit(kAuditFailedAuthorisation, "%s", description.c_str());
    Log(kLogFailedAuthorisation, "%s", description.c_str());
    Terminate(kSessionExitRefused);
  }
  m_phase = Phase::Done;
  return false;
}

void CSOCKSSession::OnRequest(const socks::Request& request) {
  ClearRequestDeadline();
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_command = request.command;
    m_addressType = request.addressType;
    m_targetAddress = request.address;
    m_targetPort = request.port;
    // A name is taken as the resolver reads it: the rules judge, and the connection goes to, that.
    m_target = request.host.empty() ? FormatIPAddress(request.address) : NormalizeHostName(request.host);
    m_userId = request.userId;
  }
  if (m_target.empty()) return Malformed("a host name that names nothing");
  if (m_version == 5) m_phase = Phase::Request5;  // replies of the request phase from here on
  if (m_version == 5 && request.addressType == socks::SOCKS_ATYP_IPV6) {
    Log(kLogError, "Unsupported or invalid address type (%u) in SOCKS5 request - terminating", request.addressType);
    SendFailure(socks::SOCKS5_ADDRESS_TYPE_NOT_SUPPORTED);
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
    return;
  }
  // Past the version phase a refusal is the request's failure reply.
  if (m_version == 4) m_phase = Phase::Request5;
  switch (request.command) {
    case socks::SOCKS_CONNECT: DoConnect(); return;
    case socks::SOCKS_BIND: DoBind(); return;
    case socks::SOCKS_UDP_ASSOCIATE:
      if (m_version == 5) {
        DoAssociate();
        return;
      }
      break;
    default: break;
  }
  if (m_version == 4) {
    Log(kLogError, "Invalid command received in SOCKS session - terminating");
    SendFailure(0);
  } else {
    Log(kLogError, "Unsupported or invalid command (%u) in SOCKS5 request - terminating", request.command);
    SendFailure(socks::SOCKS5_COMMAND_NOT_SUPPORTED);
  }
  m_phase = Phase::Done;
  Terminate(m_version == 4 ? uint32_t{kSessionExitRefused} : 0u);
}

void CSOCKSSession::DoConnect() {
  const CString description = FormatString("SOCKS%u Connect %s:%u", m_version, TargetDisplay().c_str(), m_targetPort);
  SetDescription(description);
  NameServer(m_target, m_targetPort);
  if (!RequestAllowed()) return;
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
  if (ConnectToOwnService()) return;
  try {
    ConnectToServer(m_target, m_targetPort);
  } catch (const X1SocketException& e) {
    if (IsEnding()) return;  // the rights refused once the address was known: answered
    Log(kLogError, "SOCKS%u connect to %s:%u failed - %s", m_version, m_target.c_str(), m_targetPort,
        e.GetText().c_str());
    SendFailure(socks::ReplyForSocketError(e.GetCode()));
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
    return;
  }
  uint32_t local = 0;
  TryParseIPAddress(m_serverSocket.GetLocalAddress(), &local);
  SendBytes(m_version == 4 ? socks::SOCKS4Reply(socks::kSOCKS4Granted)
                           : socks::SOCKS5Reply(socks::SOCKS5_SUCCEEDED, local, m_serverSocket.GetLocalPort()));
  if (m_options.ReferHTTPRequests && (m_targetPort == 80 || m_targetPort == 8080)) {
    // The first client bytes decide whether a WWW session serves this connection, also when they
    // came in the same write as the request and have been read behind it already.
    m_phase = Phase::FirstData;
    if (!m_in.empty()) OnFirstData();
    return;
  }
  m_phase = Phase::Relaying;
  std::string early;
  early.swap(m_in);
  StartRelay(early);
}

void CSOCKSSession::SendGrantedLocally() {
  uint32_t local = 0;
  TryParseIPAddress(m_clientSocket.GetLocalAddress(), &local);
  SendBytes(m_version == 4 ? socks::SOCKS4Reply(socks::kSOCKS4Granted)
                           : socks::SOCKS5Reply(socks::SOCKS5_SUCCEEDED, local, m_targetPort));
}

bool CSOCKSSession::ConnectToOwnService() {
  auto engine = TheEngine();
  uint32_t address = 0;
  if (!engine || !TargetAddress(&address)) return false;  // the connect answers a failed lookup
  // 0.0.0.0 reaches the loopback's listeners.
  const CString dotted = FormatIPAddress(address == 0 ? 0x7F000001u : address);
  const bool own = (address >> 24) == 127 || address == 0 || IsLocalAddress(engine->GetSysInfo(), dotted);
  if (!own) return false;
  std::shared_ptr<CTCPService> service;
  for (const auto& s : engine->GetServiceManager().GetServices()) {
    if (s->Settings().GetTransport() == SERVICE_TRANSPORT_TCP && s->IsBoundTo(dotted, m_targetPort)) {
      service = std::dynamic_pointer_cast<CTCPService>(s);
      break;
    }
  }
  if (!service) return false;  // nothing of the gateway's listens there: judged as any target
  if (dotted != m_clientSocket.GetLocalAddress()) {
    Log(kLogError, "SOCKS%u Connect to %s:%u - another address of this gateway - refused", m_version, dotted.c_str(),
        m_targetPort);
    SendFailure(socks::SOCKS5_CONNECTION_REFUSED);
    m_phase = Phase::Done;
    Terminate(0);
    return true;
  }
  if (service->Settings().GetServiceKind() == SERVICE_KIND_SOCKS) {
    // A SOCKS server handing a client to a SOCKS server only loops.
    Log(kLogFailedAuthorisation, "SOCKS%u Connect to this SOCKS server refused", m_version);
    SendFailure(socks::SOCKS5_NOT_ALLOWED);
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
    return true;
  }
  const CString name = service->Settings().GetName();
  Log(kLogRequested, "SOCKS Session made lame request - passing request to %s", name.c_str());
  SetDescription("handover");
  engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), "handover");
  // The client waits for its reply before it speaks: it goes first, then the connection.
  SendGrantedLocally();
  const int fd = ::fcntl(m_clientSocket.GetHandle(), F_DUPFD_CLOEXEC, 0);
  std::shared_ptr<CTCPSession> made = fd >= 0 ? service->CreateSession(fd) : nullptr;
  if (made && !m_in.empty()) {
    // Bytes the client sent behind its request are the first it meant for that service; only a
    // web session can be given bytes already read.
    if (auto www = std::dynamic_pointer_cast<CWWWSession>(made)) {
      www->SetFirstRequestBytes(std::move(m_in));
    } else {
      Log(kLogError, "SOCKS hand-over to %s: %zu bytes sent before the reply dropped", name.c_str(), m_in.size());
    }
    m_in.clear();
  }
  if (!made || !HandOverClient(service, made)) {
    Log(kLogError, "SOCKS hand-over to %s failed - terminating", name.c_str());
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
  }
  return true;
}

bool CSOCKSSession::HandOverClient(const std::shared_ptr<CTCPService>& service,
                                   const std::shared_ptr<CTCPSession>& made) {
  if (service) service->PrepareSession(*made);
  // Both descriptors name one connection: this one stops watching it and closes only its own.
  m_clientSocket.CancelAsyncSelect();
  if (!made->OnActivity()) return false;
  m_clientSocket.Close();
  m_serverSocket.Close();
  m_phase = Phase::Done;
  Terminate(0);
  return true;
}

namespace {

// Whether the first bytes of a connection begin a web request the WWW service takes over: yes,
// no, or not yet told (fewer bytes than the test needs, all of them a beginning of a request).
enum class WebStart { Yes, No, NotYet };
WebStart LooksLikeWebRequest(std::string_view first) {
  static const char* const kMethods[] = {"GET ", "HEAD", "POST"};
  for (const char* m : kMethods) {
    const size_t n = std::min<size_t>(first.size(), 4);
    if (::strncasecmp(first.data(), m, n) != 0) continue;
    // More than five bytes are asked for, as the hand-over always has.
    return first.size() > 5 ? WebStart::Yes : WebStart::NotYet;
  }
  return WebStart::No;
}

}  // namespace

void CSOCKSSession::OnFirstData() {
  // What is waiting joins what was read behind the request: all of it is the client's first data.
  char buf[kReadChunk];
  while (m_in.size() < socks::kMaxMessage) {
    const size_t got = m_clientSocket.Receive(buf, sizeof buf);
    if (got == 0) break;
    m_in.append(buf, got);
  }
  if (m_in.empty()) return;
  switch (LooksLikeWebRequest(m_in)) {
    case WebStart::Yes: HandOverWebRequest(); return;
    // A request split into small writes is told by its first six bytes all the same.
    case WebStart::NotYet:
      if (m_in.size() < socks::kMaxMessage) return;
      break;
    case WebStart::No: break;
  }
  // Not a web request: what has been read starts the relay.
  m_phase = Phase::Relaying;
  std::string early;
  early.swap(m_in);
  StartRelay(early);
}

void CSOCKSSession::HandOverWebRequest() {
  auto engine = TheEngine();
  SetDescription("handover");
  if (engine) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), "handover");
  std::shared_ptr<CWWWService> policy;
  if (m_options.UseSpecifiedPolicy) {
    if (engine)
      policy = std::dynamic_pointer_cast<CWWWService>(engine->GetServiceManager().FindService(m_options.HTTPPolicy));
    if (!policy) {
      Log(kLogError, "Could not lookup specified WWW Server for HTTP Handover");
      m_phase = Phase::Done;
      Terminate(kSessionExitRefused);
      return;
    }
  }
  const int fd = ::fcntl(m_clientSocket.GetHandle(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    Log(kLogError, "SOCKS web hand-over failed - relaying");
    m_phase = Phase::Relaying;
    std::string early;
    early.swap(m_in);
    StartRelay(early);
    return;
  }
  std::shared_ptr<CWWWSession> www;
  std::shared_ptr<CTCPService> preparer;
  if (policy) {
    // The named WWW service's rights, log and settings.
    www = std::dynamic_pointer_cast<CWWWSession>(policy->CreateSession(fd));
    if (www) policy->PrepareSession(*www);
  } else {
    // This session's rights and log, a WWW session's defaults otherwise.
    www = std::make_shared<CWWWSession>(GetService(), fd);
    if (auto own = std::dynamic_pointer_cast<CTCPService>(GetService())) {
      www->UseServiceAccessRight(own);
      www->UseServiceLog(*own);
      www->UseServiceInterfaces(*own);
      www->SetTimeout(IsTimeoutEnabled(), GetTimeoutSeconds());
    }
    if (engine) www->SetCache(engine->GetWWWCache());
  }
  if (!www) {
    Log(kLogError, "SOCKS web hand-over failed - terminating");
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
    return;
  }
  // The connection's requests name no host: they go to this CONNECT's target, directly.
  CWWWSettings settings = policy ? policy->GetWWWSettings() : CWWWSettings();
  settings.CacheNonProxyRequests = m_options.CacheReferredHTTPRequests;
  www->SetWWWSettings(settings);
  www->SetNonProxySettings(1, m_target, m_targetPort);
  www->SetConnectSettings(CConnectSettings());
  www->SetReferred(true);
  // The bytes read from the connection so far are the start of its request.
  www->SetFirstRequestBytes(std::move(m_in));
  m_in.clear();
  if (!HandOverClient(nullptr, www)) {
    Log(kLogError, "SOCKS web hand-over failed - terminating");
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
  }
}

bool CSOCKSSession::TargetAddress(uint32_t* out) const {
  // The one lookup made when the server was named: never a second one that could answer otherwise.
  if (GetServerName() != m_target) return false;
  const uint32_t a = GetServerAddress();
  if (a == kNoAddress) return false;
  *out = a;
  return true;
}

bool CSOCKSSession::InterfaceAddressToward(uint32_t target, uint32_t* out) const {
  // A datagram socket "connected" to the target sends nothing; the system only picks the route and
  // with it the source address a peer out there would reach this machine at.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(target == 0 ? 0x7F000001u : target);
  sa.sin_port = htons(m_targetPort ? m_targetPort : 9);
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ok = ok && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
  ::close(fd);
  if (!ok || local.sin_addr.s_addr == 0) return false;
  *out = ntohl(local.sin_addr.s_addr);
  return true;
}

void CSOCKSSession::DoBind() {
  const CString description = FormatString("SOCKS%u Bind %s:%u", m_version, TargetDisplay().c_str(), m_targetPort);
  SetDescription(description);
  // Only the named peer may connect: its address is needed whatever the way out.
  NameServer(m_target, m_targetPort, true);
  if (!RequestAllowed()) return;
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
  // The peer will come from outside: the link there may have to be dialled first.
  try {
    if (auto engine = TheEngine()) engine->CheckDialFirst(this);
    if (!ResolveNamedServer()) return;
  } catch (const X1SocketException& e) {
    Log(kLogError, "SOCKS%u Bind %s:%u failed - %s", m_version, m_target.c_str(), m_targetPort, e.GetText().c_str());
    SendFailure(socks::ReplyForSocketError(e.GetCode()));
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
    return;
  }
  uint32_t target = 0;
  uint32_t iface = 0;
  if (!TargetAddress(&target) || !InterfaceAddressToward(target, &iface)) {
    Log(kLogError, "Could not obtain interface address for BIND to %s:%u", m_target.c_str(), m_targetPort);
    SendFailure(socks::SOCKS5_HOST_UNREACHABLE);
    m_phase = Phase::Done;
    Terminate(kSessionExitRefused);
    return;
  }
  m_targetAddress = target;
  m_bindListener.Create(SOCK_STREAM);
  m_bindListener.Bind(0, FormatIPAddress(iface));
  m_bindListener.Listen(5);
  m_bindListener.AsyncSelect(FD_ACCEPT | FD_CLOSE);
  m_bindListener.ArmAsyncSelect();
  const uint16_t port = m_bindListener.GetLocalPort();
  SendBytes(m_version == 4 ? socks::SOCKS4Reply(socks::kSOCKS4Granted, iface, port)
                           : socks::SOCKS5Reply(socks::SOCKS5_SUCCEEDED, iface, port));
  m_phase = Phase::Bound;
}

void CSOCKSSession::OnAccept(platform::Message& msg) {
  if (!m_bindListener.TakeEvent(msg) || m_phase != Phase::Bound) return;
  try {
    int handle = -1;
    try {
      handle = m_bindListener.Accept();
    } catch (const X1SocketException& e) {
      if (e.GetCode() == WSAEWOULDBLOCK) return;  // the peer gave up before it was taken
      throw;
    }
    m_serverSocket.AttachAccepted(handle);
    const CString peer = m_serverSocket.GetPeerAddress();
    const uint16_t peerPort = m_serverSocket.GetPeerPort();
    uint32_t peerAddress = 0;
    if (!TryParseIPAddress(peer, &peerAddress) || peerAddress != m_targetAddress) {
      // Anyone else could otherwise take the connection the client waits for.
      Log(kLogError, "SOCKS%u Bind %s:%u - connection from %s refused - terminating", m_version, m_target.c_str(),
          m_targetPort, peer.c_str());
      m_serverSocket.Close();
      SendFailure(socks::SOCKS5_NOT_ALLOWED);
      m_phase = Phase::Done;
      Terminate(kSessionExitRefused);
      return;
    }
    {
      std::lock_guard<std::mutex> g(m_mx);
      m_boundPeer = peer;
    }
    m_bindListener.Close();
    const CString description =
        FormatString("SOCKS%u Bind %s:%u - connected", m_version, TargetDisplay().c_str(), m_targetPort);
    SetDescription(description);
    if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
    Audit(kAuditRequested, "%s", description.c_str());
    Log(kLogRequested, "%s", description.c_str());
    SendBytes(m_version == 4 ? socks::SOCKS4Reply(socks::kSOCKS4Granted, peerAddress, peerPort)
                             : socks::SOCKS5Reply(socks::SOCKS5_SUCCEEDED, peerAddress, peerPort));
    m_phase = Phase::Relaying;
    std::string early;
    early.swap(m_in);
    StartRelay(early);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CSOCKSSession::OnAccept() %s - ignoring", e.GetText().c_str());
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CSOCKSSession::OnAccept() - ignoring");
  }
}

void CSOCKSSession::DoAssociate() {
  const CString description = FormatString("SOCKS5 UDP Associate %s:%u", TargetDisplay().c_str(), m_targetPort);
  SetDescription(description);
  // The request names where the client will send from, no server: nothing is looked up.
  SetServerName(m_target);
  SetServerPort(m_targetPort);
  if (!RequestAllowed()) return;
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
  // The request names where the client will send from; only its port is taken, since the address
  // is always the control connection's (a client behind a translation cannot know its own).
  m_udpClientAddress = m_clientSocket.GetPeerAddress();
  m_udpClientPort = m_targetPort;
  const CString local = m_clientSocket.GetLocalAddress();
  m_datagram.resize(kDatagramBuffer);
  m_udpClient.Create(SOCK_DGRAM);
  m_udpClient.Bind(0, local);
  m_udpClient.AsyncSelect(FD_READ);
  m_udpClient.ArmAsyncSelect();
  // Toward the servers: any free port (the client's port is its own, on its own host).
  m_udpServer.Create(SOCK_DGRAM);
  m_udpServer.Bind(0);
  m_udpServer.AsyncSelect(FD_READ);
  m_udpServer.ArmAsyncSelect();
  uint32_t localAddress = 0;
  TryParseIPAddress(local, &localAddress);
  SendBytes(socks::SOCKS5Reply(socks::SOCKS5_SUCCEEDED, localAddress, m_udpClient.GetLocalPort()));
  m_phase = Phase::Associated;
  m_in.clear();
}

void CSOCKSSession::OnUDPFromClient() {
  // Bounded per event so a flood cannot hold the thread; what is left brings another event.
  for (int i = 0; i < kDatagramsPerEvent; ++i) {
    CString from;
    uint16_t fromPort = 0;
    size_t n = 0;
    try {
      n = m_udpClient.ReceiveFrom(m_datagram.data(), m_datagram.size(), from, fromPort);
    } catch (const X1SocketException& e) {
      Log(kLogDebug, "SOCKS5 UDP receive from client failed: %s", e.GetText().c_str());
      continue;  // that datagram is gone; the next may be fine
    }
    if (from.empty()) return;
    if (from != m_udpClientAddress || (m_udpClientPort != 0 && fromPort != m_udpClientPort)) {
      Log(kLogDebug, "SOCKS5 UDP datagram from %s:%u dropped: not the associated client", from.c_str(), fromPort);
      continue;
    }
    socks::Request header;
    const char* why = "";
    if (socks::ParseUDPHeader(m_datagram.data(), n, &header, &why) != socks::Parse::Done ||
        header.addressType == socks::SOCKS_ATYP_IPV6) {
      Log(kLogDebug, "SOCKS5 UDP datagram dropped: %s", header.addressType == socks::SOCKS_ATYP_IPV6 ? "IPv6" : why);
      continue;
    }
    m_udpClientPort = fromPort;
    uint32_t address = header.address;
    if (!header.host.empty()) {
      auto engine = TheEngine();
      address = engine ? engine->ResolveHost(header.host) : 0xFFFFFFFFu;
      if (address == 0xFFFFFFFFu) {
        Log(kLogDebug, "SOCKS5 UDP datagram dropped: %s not found", header.host.c_str());
        continue;
      }
    }
    if (const char* refused = JudgeDestination(address, header.port)) {
      Log(kLogFailedAuthorisation, "SOCKS5 UDP datagram to %s:%u refused - %s", FormatIPAddress(address).c_str(),
          header.port, refused);
      continue;
    }
    const auto peer = std::make_pair(address, header.port);
    if (!m_udpPeers.count(peer)) {
      if (m_udpPeers.size() >= kMaxUDPPeers) {
        Log(kLogDebug, "SOCKS5 UDP datagram to %s:%u dropped: too many destinations", FormatIPAddress(address).c_str(),
            header.port);
        continue;
      }
      m_udpPeers.insert(peer);
    }
    try {
      m_udpServer.SendTo(m_datagram.data() + header.length, n - header.length, header.port, FormatIPAddress(address));
    } catch (const X1SocketException& e) {
      Log(kLogDebug, "SOCKS5 UDP send to %s:%u failed: %s", FormatIPAddress(address).c_str(), header.port,
          e.GetText().c_str());
    }
  }
}

void CSOCKSSession::OnUDPFromServer() {
  for (int i = 0; i < kDatagramsPerEvent; ++i) {
    CString from;
    uint16_t fromPort = 0;
    size_t n = 0;
    const size_t room = m_datagram.size() - 10;
    try {
      n = m_udpServer.ReceiveFrom(m_datagram.data() + 10, room, from, fromPort);
    } catch (const X1SocketException& e) {
      // A refused earlier send comes back as an error on a later receive; the association goes on.
      Log(kLogDebug, "SOCKS5 UDP receive from server failed: %s", e.GetText().c_str());
      continue;
    }
    if (from.empty()) return;
    uint32_t address = 0;
    if (!TryParseIPAddress(from, &address) || !m_udpPeers.count(std::make_pair(address, fromPort)) ||
        m_udpClientPort == 0)
      continue;  // only answers from where the client has sent to go back
    const std::string header = socks::UDPHeader(address, fromPort);
    std::copy(header.begin(), header.end(), m_datagram.begin());
    try {
      m_udpClient.SendTo(m_datagram.data(), n + 10, m_udpClientPort, m_udpClientAddress);
    } catch (const X1SocketException& e) {
      Log(kLogDebug, "SOCKS5 UDP send to client failed: %s", e.GetText().c_str());
    }
  }
}
