// The WWW session's first half: reading the request header, parsing it, the requests addressed to
// the gateway itself, the rights check with the request known, and the dispatch.
#include "engine/proxy/www/www_session.h"

#include <strings.h>

#include <algorithm>
#include <new>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/core/interfaces.h"

TL_IMPLEMENT_DYNAMIC(CWWWSession, CTwoEndTCPSession)

namespace {

bool EqNoCase(const CString& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

// Operator texts that end up in a header line lose their line ends.
CString OneLine(CString text) {
  text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }),
             text.end());
  return text;
}

}  // namespace

CWWWSession::CWWWSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("http://");
}

CWWWSession::~CWWWSession() { EndCGI(); }

void CWWWSession::OnEnd() {
  CTwoEndTCPSession::OnEnd();
  m_dataSocket.Close();
  EndCGI();
}

void CWWWSession::SetWWWSettings(const CWWWSettings& settings) { m_settings = settings; }

uint32_t CWWWSession::GetAuthenticatedLevel() const { return m_settings.UseJavaClient ? 2 : 0; }

void CWWWSession::GetProperty(uint32_t code, CTLDataObject& value) const {
  switch (code) {
    case kPropHTTPProtocol: value.SetString(m_req.scheme); return;
    case kPropHTTPMethod: value.SetString(m_req.method); return;
    case kPropHTTPResource: value.SetString(m_req.path); return;
    case kPropHTTPURL: value.SetString(m_req.CacheKey()); return;
    case kPropHTTPPostData: value.SetString(m_postData); return;
    case kPropHTTPQueryString: value.SetString(m_req.query); return;
    case kPropHTTPHeaderField: return;
    case kPropSessionHandedOver: value.SetInteger(m_referred ? 1 : 0); return;
    default: CTwoEndTCPSession::GetProperty(code, value); return;
  }
}

bool CWWWSession::GetHeaderField(const CString& name, CString& value) const {
  value = m_req.headers.Get(name);
  return true;
}

void CWWWSession::SendAccessDenied() {
  try {
    const CString page = BuildErrorPage(WWWPage::AccessDenied);
    m_clientSocket.Send(page.data(), page.size());
  } catch (...) {
    // The browser may have gone; the refusal is logged by the caller.
  }
}

bool CWWWSession::SendToClient(const std::string& bytes) {
  if (!m_clientSocket.IsOpen()) return false;
  m_clientSocket.Send(bytes.data(), bytes.size());
  return true;
}

void CWWWSession::SendErrorPage(WWWPage page, const CString& detail, const char* status, uint32_t reason) {
  if (IsEnding()) return;
  try {
    // Once a response header has gone to the browser a page would be appended to its body.
    if (!m_responseReceived) {
      const CString text = BuildErrorPage(page, detail, status);
      m_clientSocket.Send(text.data(), text.size());
      m_clientSocket.ShutdownSend();
    }
  } catch (...) {
    // The browser has gone: nothing to tell it.
  }
  DiscardCache();
  Terminate(reason);
}

// ---- Reading ------------------------------------------------------------------------------------

int CWWWSession::ReceiveRequest() {
  char buf[kReadChunk];
  try {
    // Read what is waiting, but never much past the cap: the rest is refused anyway.
    while (m_requestBuffer.size() <= kMaxRequestHeader) {
      const size_t n = m_clientSocket.Receive(buf, sizeof buf);
      if (n == 0) break;
      m_requestBuffer.append(buf, n);
    }
  } catch (const std::bad_alloc&) {
    Log(kLogError, "Memory allocation error in ReceiveRequest - terminating");
    Terminate(8);
    return 0;
  } catch (const X1SocketException& e) {
    Log(kLogError, "Socket error in ReceiveRequest in thread %x\n", Id());
    SendErrorPage(WWWPage::SocketError, e.GetText(), "500 Internal Server Error");
    return 0;
  }
  if (!m_requestBuffer.empty()) StartRequestDeadline();
  const CHttpScanResult scan = ScanRequestHeader(m_requestBuffer);
  switch (scan.state) {
    case HttpScan::NeedMore:
      if (!m_requestBuffer.empty()) Log(kLogDebug, "More to come in client request\n");
      return 0;
    case HttpScan::TooLarge:
      Log(kLogError, "Request header longer than %zu bytes - refused", kMaxRequestHeader);
      SendErrorPage(WWWPage::MalformedRequest);
      return 0;
    case HttpScan::Complete: break;
  }
  ClearRequestDeadline();
  m_resourceData = m_requestBuffer.substr(scan.headerLength);
  m_requestBuffer.resize(scan.headerLength);
  if (!m_resourceData.empty())
    Log(kLogDebug, "Client request contains %zu bytes of resource data\n", m_resourceData.size());
  m_requestReceived = true;
  return 1;
}

// ---- Parsing ------------------------------------------------------------------------------------

bool CWWWSession::IsLoopToSelf(uint32_t address, uint32_t port) const {
  if (address == kNoAddress) return false;
  const uint32_t ownPort = m_settings.ServicePort ? m_settings.ServicePort : GetServiceLocalPort();
  if (port != ownPort && port != GetServiceLocalPort()) return false;
  if ((address >> 24) == 127 || address == 0) return true;
  const CString dotted = FormatIPAddress(address);
  if (dotted == GetLocalAddress()) return true;
  auto engine = TheEngine();
  return engine && IsLocalAddress(engine->GetSysInfo(), dotted);
}

uint32_t CWWWSession::GetServiceLocalPort() const {
  return m_clientSocket.GetLocalPort();
}

int CWWWSession::ParseRequest() {
  const char* why = "";
  m_postData.clear();
  if (!ParseHttpRequest(m_requestBuffer, m_req, &why) || !GetRequestFraming(m_req, &m_framing, &why)) {
    Log(kLogError, "Malformed request (%s)", why);
    return kParseMalformed;
  }
  if (m_req.connect) {
    // What follows a CONNECT header belongs to the tunnel, whatever the header says of a body.
    m_framing = CHttpBodyFraming();
  } else {
    // The body bytes that came with the header are read now, so a body that breaks its framing is
    // refused before anything is connected.
    m_body = CHttpBodyReader(m_framing);
    std::string payload;
    const size_t used = m_body.Feed(m_resourceData, &payload);
    if (m_body.Bad()) {
      Log(kLogError, "Malformed request (%s)", m_body.Why());
      return kParseMalformed;
    }
    m_bodyWire.clear();
    m_body.AppendWire(payload, &m_bodyWire);
    DropAfterRequest(m_resourceData.size() - used);
    m_resourceData.clear();
    if (EqNoCase(m_req.method, "POST") && !payload.empty()) {
      const size_t end = std::min({payload.find('\0'), payload.size(), kReadChunk});
      m_postData = payload.substr(0, end);
    }
  }

  bool nonProxy = m_req.relative;
  const uint32_t action = GetNonProxyAction();
  if (nonProxy && action == 1) m_req.authority = FormatString("%s:%u", GetNonProxyHost().c_str(), GetNonProxyPort());
  // The rules judge the request in its normal form, and that form is what goes on: the request
  // line, the Host header and the cache key are built from these fields.
  if (!SplitHttpAuthority(m_req, &why) || !NormalizeHttpRequest(m_req, &why)) {
    Log(kLogError, "Malformed request (%s)", why);
    return kParseMalformed;
  }

  const CString local = GetLocalAddress();
  const bool viaProxy = GetConnectSettings().ConnectMethod == CONNECT_HTTP_PROXY;
  if (m_req.kind == kHttpKindSSL && !viaProxy && !nonProxy) {
    // A tunnel to an own address on another interface becomes one to the address the browser used
    // (before the rights are asked, so they judge where it goes).
    auto engine = TheEngine();
    if (engine && m_req.host != local && IsLocalAddress(engine->GetSysInfo(), m_req.host)) {
      Log(kLogFailedAuthorisation,
          "SSL tunnelling attempted connection back to ourselves on another interface - possible security breach "
          "attempt - denied");
      m_req.host = local;
    }
  }

  // Requests to the gateway itself: by the address and port the client used, or (so that another
  // name or address of this host cannot make the gateway connect to itself over and over) by a
  // resolved own or loopback address on the service's port. The server is named here, with its one
  // lookup when the way out (or that test) needs its address.
  const uint32_t localPort = GetServiceLocalPort();
  bool toGateway = nonProxy || (::strcasecmp(m_req.host.c_str(), local.c_str()) == 0 && m_req.port == localPort);
  const bool loopTest = !toGateway && (m_req.kind == kHttpKindHTTP || m_req.kind == kHttpKindHTTPS) &&
                        (m_req.port == localPort || m_req.port == m_settings.ServicePort);
  NameServer(m_req.host, m_req.port, loopTest);
  if (loopTest) toGateway = IsLoopToSelf(GetServerAddress(), m_req.port);
  if (toGateway) {
    if (m_req.path == "/trellis-internal" || m_req.path.rfind("/trellis-internal/", 0) == 0) {
      // The gateway's own resources, whatever the non-proxy action.
      SetNonProxyRequest(true);
      SetDescription(FormatString("http: %s %s", m_req.method.c_str(), m_req.path.c_str()));
      m_local = m_internal = true;
      return kParseGoOn;
    }
    nonProxy = true;
  }
  SetNonProxyRequest(nonProxy);

  if (nonProxy) {
    switch (action) {
      case 0: return kParseMalformed;
      case 1: {
        const CString host = GetNonProxyHost();
        const uint32_t port = GetNonProxyPort();
        CHttpRequest check;
        check.kind = kHttpKindHTTP;
        check.authority = FormatString("%s:%u", host.c_str(), port ? port : 80);
        if (!SplitHttpAuthority(check, &why)) {
          Log(kLogError, "Non-proxy request host %s is not usable (%s)", host.c_str(), why);
          return kParseMalformed;
        }
        m_req.host = check.host;
        m_req.port = check.port;
        m_req.portText = check.port == 80 ? CString() : check.portText;
        m_req.relative = true;
        if (m_settings.PrependResource) m_req.path = OneLine(m_settings.PrependInfo) + m_req.path;
        // The operator's server and text join the request: judged and sent in normal form too.
        if (!NormalizeHttpRequest(m_req, &why)) {
          Log(kLogError, "Non-proxy request for %s is not usable (%s)", m_req.path.c_str(), why);
          return kParseMalformed;
        }
        NameServer(m_req.host, m_req.port);
        break;
      }
      case 2: {
        const CString reply = FormatString("HTTP/1.0 302 Found\r\nLocation: %s\r\nConnection: close\r\n\r\n",
                                           OneLine(m_settings.RedirectURL).c_str());
        SendToClient(reply);
        return kParseAnswered;
      }
      case 3:
        SetDescription(
            FormatString("http: %s %s", m_req.method.c_str(), m_req.path.empty() ? "/" : m_req.path.c_str()));
        m_local = true;
        return kParseGoOn;
      default: return kParseMalformed;
    }
  }

  const CString description = m_req.Description();
  SetDescription(description);
  RemoveHopByHopHeaders(m_req.headers);
  if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());

  const AccessResult access = CheckRights(AccessStage::Request);
  if (access == AccessResult::Refused) return kParseRefused;
  // The level this session has reached (what the check left it), not the level a login could
  // reach: a guest whose request needs a login is never served before that login.
  if (access == AccessResult::LoginRequired || ClampSecurityLevel(GetSecurityLevel()) < GetRequiredLevel()) {
    // The only login this service knows is the Java client page; without it (or its template) the
    // guest gets the refusal.
    Log(kLogFailedAuthorisation, "%s", description.c_str());
    if (!m_settings.UseJavaClient || !SendJavaClientPage()) SendErrorPage(WWWPage::AccessDenied);
    return kParseAnswered;
  }
  return kParseGoOn;
}

// ---- Dispatch -----------------------------------------------------------------------------------

void CWWWSession::DispatchRequest(int result) {
  if (IsEnding()) return;
  switch (result) {
    case kParseMalformed:
      Log(kLogError, "Malformed Request");
      SendErrorPage(WWWPage::MalformedRequest);
      return;
    case kParseAnswered:
      try {
        m_clientSocket.ShutdownSend();
      } catch (...) {
        // The browser may have gone already; the session ends below either way.
      }
      Terminate(0);
      return;
    case kParseRefused: return;
    default: break;
  }
  m_requestDone = true;
  if (m_local) {
    ServeLocal();
    return;
  }
  switch (m_req.kind) {
    case kHttpKindHTTP:
      CheckCache();
      HTTPProcessRequest();
      return;
    case kHttpKindSSL: SSLPreProcessRequest(); return;
    case kHttpKindFTP: FTPProcessRequest(); return;
    default:
      // https:// in a plain request would go out in clear text to port 80: clients use CONNECT.
      Log(kLogError, "Protocol not supported - requested %s", m_req.scheme.c_str());
      SendErrorPage(WWWPage::ProtocolError);
      return;
  }
}

// ---- Events -------------------------------------------------------------------------------------

void CWWWSession::OnStart() {
  CTwoEndTCPSession::OnStart();
  // A request handed over with some of its bytes already read may be whole: no read event would
  // come for it.
  if (!m_requestBuffer.empty()) HandleRead(false);
}

void CWWWSession::OnRead(platform::Message& msg) {
  const bool client = m_clientSocket.TakeEvent(msg);
  const bool server = !client && m_serverSocket.TakeEvent(msg);
  if (!client && !server) return;
  HandleRead(server);
}

void CWWWSession::HandleRead(bool server) {
  try {
    if (IsEnding()) return;
    ResetIdleTimer();
    if (server) {
      if (m_cgi)
        OnCGIOutput(false);
      else
        OnServerData(false);
      return;
    }
    if (!m_requestReceived) {
      if (ReceiveRequest() != 1) return;
      DispatchRequest(ParseRequest());
      return;
    }
    OnClientData();
  } catch (const std::bad_alloc&) {
    Log(kLogError, "Memory allocation error in CWWWSession::OnRead() - terminating");
    DiscardCache();
    ResetClientIfCut();
    Terminate(8);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CWWWSession::OnRead() %s - terminating", e.GetText().c_str());
    DiscardCache();
    ResetClientIfCut();
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CWWWSession::OnRead() - terminating");
    DiscardCache();
    ResetClientIfCut();
    Terminate(kSessionExitRefused);
  }
}

void CWWWSession::OnClientData() {
  char buf[kReadChunk];
  // A bounded number of reads per event keeps the server's events flowing during a long upload.
  for (int i = 0; i < 16; ++i) {
    const size_t n = m_clientSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    if (m_bodyPipe && m_serverConnected) {
      ForwardBody(buf, n);
      if (IsEnding()) return;
    } else if (!m_requestDone) {
      m_earlyData = true;
      m_resourceData.append(buf, n);
    } else {
      DropAfterRequest(n);
    }
  }
}

void CWWWSession::ForwardBody(const char* data, size_t n) {
  std::string payload;
  const size_t used = m_body.Feed(std::string_view(data, n), &payload);
  if (m_body.Bad()) {
    Log(kLogError, "Malformed request body (%s) - terminating", m_body.Why());
    // Closing before the body's end is how the origin learns that the request was not whole.
    m_serverSocket.Close();
    m_serverConnected = false;
    m_awaitingResponse.store(false);
    SendErrorPage(WWWPage::MalformedRequest);
    return;
  }
  std::string wire;
  m_body.AppendWire(payload, &wire);
  if (!wire.empty()) m_serverSocket.Send(wire.data(), wire.size());
  if (m_body.Done() && m_bodyPipe) {
    m_bodyPipe = false;
    // A program reads its input to the end: the end of the body is that end.
    if (m_cgi) m_serverSocket.ShutdownSend();
    // The request is whole: from now on a wait is the server's.
    if (!m_responseReceived) m_awaitingResponse.store(true);
  }
  DropAfterRequest(n - used);
}

void CWWWSession::DropAfterRequest(size_t n) {
  if (n == 0) return;
  // One request per connection: what follows a request's end would be a next request, which is
  // neither read nor passed on behind this one's back.
  if (m_droppedAfterRequest == 0)
    Log(kLogError, "Client sent %zu bytes after the end of its request - dropped", n);
  else
    Log(kLogDebug, "WWW Session has already received a request in thread %x\n", Id());
  m_droppedAfterRequest += n;
}

// ---- Time-out -----------------------------------------------------------------------------------

void CWWWSession::OnMessage(platform::Message& msg) {
  if (msg.message == platform::WM_SESSION_TIMEOUT) {
    AnswerResponseTimeout();
    return;
  }
  CTwoEndTCPSession::OnMessage(msg);
}

void CWWWSession::OnIdleTimeout() {
  if (m_awaitingResponse.load() && !IsEnding()) {
    // The browser is owed the time-out page, and only the session's thread may send it.
    const uint64_t posted = m_timeoutPostedAt.load();
    if (posted == 0) {
      m_timeoutPostedAt.store(Now());
      if (Post(platform::WM_SESSION_TIMEOUT)) return;
      m_timeoutPostedAt.store(0);
    } else if (Now() - posted < kTimeoutAnswerGraceMs) {
      return;
    }
  }
  CTwoEndTCPSession::OnIdleTimeout();
}

void CWWWSession::AnswerResponseTimeout() {
  m_timeoutPostedAt.store(0);
  if (IsEnding()) return;
  if (!m_serverConnected || m_responseReceived) {
    // The answer has begun since the time-out was posted: the idle check goes on as for any session.
    m_awaitingResponse.store(false);
    return;
  }
  // Traffic may have put the time-out off meanwhile.
  if (!IsIdleTimeoutDue()) return;
  m_awaitingResponse.store(false);
  if (m_cgi) {
    Log(kLogError, "CGI program gave no answer within %u seconds - killed", GetTimeoutSeconds());
    m_serverSocket.Close();
    m_serverConnected = false;
    EndCGI();
    SendErrorPage(WWWPage::SocketError, "The CGI program did not answer in time", "504 Gateway Timeout",
                  kSessionExitIdle);
    return;
  }
  Log(kLogError, "No response from the server within %u seconds - terminating", GetTimeoutSeconds());
  m_serverSocket.Close();
  m_serverConnected = false;
  SendErrorPage(WWWPage::GatewayTimeout, CString(), nullptr, kSessionExitIdle);
}

void CWWWSession::OnClose(platform::Message& msg) {
  const bool client = m_clientSocket.TakeEvent(msg);
  const bool server = !client && m_serverSocket.TakeEvent(msg);
  if (!client && !server) return;
  try {
    if (IsEnding()) return;
    if (server && m_cgi) {
      OnCGIOutput(true);
      if (IsEnding()) return;
      m_serverSocket.Close();
      m_serverConnected = false;
      m_awaitingResponse.store(false);
      Log(kLogDebug, "CGI program ended its output in thread %x", Id());
      FinishAnswered(0);
      return;
    }
    if (server) {
      OnServerData(true);
      if (IsEnding()) return;
      CommitCache(false);
      m_serverSocket.Close();
      Log(kLogDebug, "Server closed connection in thread %x", Id());
      try {
        m_clientSocket.ShutdownSend();
      } catch (...) {
        // The browser may have gone already; the session ends below either way.
      }
      Terminate(0);
      return;
    }
    // The browser has ended its sending. One request per connection, so its end is never the
    // end of a request it still waits to have answered: the browser has gone. Whatever stage the
    // request is at, the exchange is aborted: the origin connection closes at once (a body cut
    // short is an abort the origin sees as such, rather than a wait for the rest until it times
    // out), a CGI program is ended with its group (OnEnd), and the session ends, so neither the
    // client's connection nor the origin's is left half-closed. Tunnels pass a half-close on
    // instead; they run in the relay and never come here.
    if (m_bodyPipe) Log(kLogError, "Client closed before the end of its request body - request aborted");
    CommitCache(true);
    m_serverSocket.Close();
    m_serverConnected = false;
    m_awaitingResponse.store(false);
    Log(kLogDebug, "Client closed connection in thread %x", Id());
    Terminate(kSessionExitRefused);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CWWWSession::OnClose() %s - terminating", e.GetText().c_str());
    DiscardCache();
    ResetClientIfCut();
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CWWWSession::OnClose() - terminating");
    DiscardCache();
    ResetClientIfCut();
    Terminate(kSessionExitRefused);
  }
}
