// The WWW session's second half: the cache decision, forwarding the request (to the origin or the
// upstream proxy), the response header, the relay with the cache file, cached answers and the
// CONNECT tunnel.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/core/interfaces.h"
#include "engine/proxy/www/www_session.h"

namespace {

bool EqNoCase(const CString& a, const char* b) { return ::strcasecmp(a.c_str(), b) == 0; }

bool HasToken(const CString& value, const char* token) {
  size_t i = 0;
  while (i < value.size()) {
    size_t j = value.find(',', i);
    if (j == CString::npos) j = value.size();
    std::string_view t(value.data() + i, j - i);
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    if (t.size() == std::strlen(token) && ::strncasecmp(t.data(), token, t.size()) == 0) return true;
    i = j + 1;
  }
  return false;
}

std::optional<uint64_t> ParseContentLength(const CString& v) {
  if (v.empty() || v.size() > 19) return std::nullopt;
  uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n;
}

// The authority as a request line or Host header names it: the port only when not the default.
CString AuthorityText(const CHttpRequest& r) {
  return r.port == 80 || r.port == 0 ? r.host : FormatString("%s:%u", r.host.c_str(), r.port);
}

// One "%s" of the operator's format takes the host; any other "%" is copied as it stands.
CString FillSearchFormat(const CString& format, const CString& host) {
  CString out;
  bool used = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (!used && format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      out += host;
      used = true;
      ++i;
    } else if (format[i] != '\r' && format[i] != '\n') {
      out += format[i];
    }
  }
  return out;
}

}  // namespace

// ---- Cache decision -----------------------------------------------------------------------------

void CWWWSession::CheckCache() {
  m_decision = CCacheDecision();
  m_store = false;
  if (!m_cache) return;
  if (IsNonProxyRequest() && !m_settings.CacheNonProxyRequests) return;
  // A request with a body is sent once: neither a cached copy nor a second request may stand in
  // for it.
  if (m_framing.HasBody()) return;
  CCacheRequest cr;
  cr.scheme = m_req.scheme;
  cr.method = m_req.method;
  cr.key = m_req.CacheKey();
  cr.hasQuery = !m_req.query.empty() || (!m_req.path.empty() && m_req.path.back() == '?');
  cr.hasAuthorization = !m_req.headers.Get("Authorization").empty();
  cr.noCache = HasToken(m_req.headers.Get("Pragma"), "no-cache") ||
               HasToken(m_req.headers.Get("Cache-Control"), "no-cache");
  cr.hasIfModifiedSince = m_req.headers.Has("If-Modified-Since");
  int64_t ims = 0;
  if (cr.hasIfModifiedSince && ParseHttpDate(m_req.headers.Get("If-Modified-Since"), &ims)) cr.ifModifiedSince = ims;
  cr.filters.request = this;
  if (CSessionHost* host = GetSessionHost()) {
    const AccessContext access = host->GetAccessContext();
    cr.filters.users = access.users;
    cr.filters.isProfileConnected = access.isProfileConnected;
  }
  m_decision = m_cache->Decide(cr);
  // A response to a request carrying cookies may be made for that user alone.
  m_store = m_decision.store && !m_req.headers.Has("Cookie");
  if (m_decision.dropBrowserIMS) m_req.headers.RemoveFirst("If-Modified-Since");
  if (m_decision.state == kCacheRevalidate) m_req.headers.Set("If-Modified-Since", m_decision.ifModifiedSince);
}

// ---- Forwarding ---------------------------------------------------------------------------------

bool CWWWSession::TrySearchOrder() {
  for (uint32_t n = 0; n < 100; ++n) {
    const CString format = RegReadString("Settings\\HTTPSearchOrder", FormatString("Format%u", n), "");
    if (format.empty()) return false;
    const CString candidate = FillSearchFormat(format, m_req.host);
    if (candidate.size() >= 7 && ::strncasecmp(candidate.c_str(), "HTTP://", 7) == 0) {
      SendToClient(FormatString("HTTP/1.0 302 Moved Temporarily\r\nLocation: %s\r\nConnection: close\r\n\r\n",
                                candidate.c_str()));
      return true;
    }
    auto engine = TheEngine();
    if (engine && engine->LookupHost(candidate)) {
      SendToClient(FormatString("HTTP/1.0 302 Moved Temporarily\r\nLocation: http://%s\r\nConnection: close\r\n\r\n",
                                candidate.c_str()));
      return true;
    }
  }
  return false;
}

bool CWWWSession::ConnectServer(bool tunnel) {
  const CConnectSettings cs = GetConnectSettings();
  const bool viaProxy = cs.ConnectMethod == CONNECT_HTTP_PROXY;
  if (!viaProxy) {
    // A dotless name that does not resolve gets the operator's search order. (Only that decision
    // may ask the resolver again: the connection goes to the address the rights judged.)
    auto engine = TheEngine();
    if (GetServerAddress() == kNoAddress && m_req.host.find('.') == CString::npos &&
        !(engine && engine->ResolveHost(m_req.host) != kNoAddress) && TrySearchOrder()) {
      FinishAnswered(0);
      return false;
    }
    if (IsLoopToSelf(GetServerAddress(), m_req.port)) {
      Log(kLogError, "Request for %s:%u would connect to this gateway - refused", m_req.host.c_str(), m_req.port);
      SendErrorPage(WWWPage::MalformedRequest);
      return false;
    }
  }
  // A non-proxy request forwarded to the operator's fixed server goes where the operator said.
  const Destination who = IsNonProxyRequest() && GetNonProxyAction() == 1 ? Destination::OperatorChosen
                                                                           : Destination::ClientChosen;
  try {
    ConnectToServer(m_req.host, m_req.port, who);
    m_throughProxy = GetConnectSettings().ConnectMethod == CONNECT_HTTP_PROXY;
    m_serverConnected = true;
  } catch (const X1SocketException& e) {
    if (IsEnding()) return false;  // the rights refused once the address was known: answered
    if (e.GetCode() == WSAEACCES && e.GetText() == kDestinationRefusedText) {
      Audit(kAuditFailedAuthorisation, "%s", m_req.Description().c_str());
      SendErrorPage(WWWPage::AccessDenied);
      return false;
    }
    if (tunnel)
      Log(kLogError, "Socket error in SSLPreProcessRequest %s - terminating", e.GetText().c_str());
    else
      Log(kLogError, "Caught socket exception in CWWWSession::HTTPProcessRequest() %s - terminating",
          e.GetText().c_str());
    SendErrorPage(WWWPage::SocketError, e.GetText(),
                  e.GetCode() == WSAETIMEDOUT ? "504 Gateway Timeout" : "502 Bad Gateway");
    return false;
  }
  return true;
}

bool CWWWSession::BuildRequestBytes(std::string* out) {
  try {
    *out = BuildForwardHeader();
  } catch (const std::bad_alloc&) {
    Log(kLogError, "Memory allocation error in ProcessRequest(1) - terminating");
    Terminate(8);
    return false;
  }
  try {
    // A CONNECT's early bytes belong to its tunnel; any other request carries its body's first bytes.
    out->append(m_req.connect ? m_resourceData : m_bodyWire);
  } catch (const std::bad_alloc&) {
    Log(kLogError, "Memory allocation error in ProcessRequest(2) - terminating");
    Terminate(8);
    return false;
  }
  return true;
}

std::string CWWWSession::BuildForwardHeader() const {
  std::string h;
  const CString version = m_req.version.empty() ? CString("HTTP/1.0") : m_req.version;
  if (m_throughProxy) {
    if (m_req.kind == kHttpKindSSL) {
      h = FormatString("CONNECT %s:%u", m_req.host.c_str(), m_req.port);
    } else {
      CString authority = AuthorityText(m_req);
      if (m_req.kind == kHttpKindFTP) {
        // The upstream proxy logs in for the browser: the URL's credentials go with it.
        authority =
            m_req.port == 21 || m_req.port == 0 ? m_req.host : FormatString("%s:%u", m_req.host.c_str(), m_req.port);
        if (m_req.urlLogin) authority = m_req.ftpUser + ":" + m_req.ftpPassword + "@" + authority;
      }
      h = m_req.method + " " + m_req.scheme + "://" + authority + (m_req.path.empty() ? "/" : m_req.path);
    }
  } else {
    h = m_req.method + " " + (m_req.path.empty() ? CString("/") : m_req.path);
  }
  if (!m_req.query.empty()) h += "?" + m_req.query;
  h += " " + version + "\r\n";
  CHttpHeaderList headers = m_req.headers;
  // The origin chooses its site by Host: it must name what the rights, filters and cache saw.
  if (m_req.kind != kHttpKindSSL) headers.Set("Host", AuthorityText(m_req));
  // The body's framing is this proxy's own reading of it, whatever else the client's headers said
  // (a Connection header may even have named them away).
  switch (m_framing.kind) {
    case HttpBody::None: headers.RemoveAll("Content-Length"); break;
    case HttpBody::Length:
      headers.Set("Content-Length", FormatString("%llu", static_cast<unsigned long long>(m_framing.length)));
      break;
    case HttpBody::Chunked:
      headers.RemoveAll("Content-Length");
      headers.Set("Transfer-Encoding", "chunked");
      break;
  }
  // One request per connection: neither side may keep it open for another.
  headers.Set("Connection", "close");
  for (const auto& [name, value] : headers.Items()) h += name + ": " + value + "\r\n";
  h += "\r\n";
  return h;
}

CWWWSession::CacheAnswer CWWWSession::AnswerFromCache() {
  if (m_decision.state == kCacheNotModified) {
    SendToClient("HTTP/1.0 304 Use cached copy\r\nConnection: close\r\n\r\n");
    FinishAnswered(0);
    return CacheAnswer::kAnswered;
  }
  if (m_decision.state != kCacheServe) return CacheAnswer::kNotFromCache;
  if (SendCachedResource()) {
    FinishAnswered(0);
    return CacheAnswer::kAnswered;
  }
  m_decision.state = kCacheDownload;
  return CacheAnswer::kCopyMissing;
}

void CWWWSession::HTTPProcessRequest() {
  switch (AnswerFromCache()) {
    case CacheAnswer::kAnswered:
      return;
    case CacheAnswer::kCopyMissing:
      Log(kLogError, "Cache file did not exist - downloading from server again");
      break;
    case CacheAnswer::kNotFromCache:
      break;
  }
  Log(kLogDebug, "WWW Session sending server request in thread %x\n", Id());
  // A time-out during the connection is taken on this thread once the connection has been made
  // (or has failed with its own page).
  m_awaitingResponse.store(true);
  if (!ConnectServer()) return;
  m_responseBuffer.clear();
  m_responseReceived = false;
  m_headerProcessing = true;
  std::string out;
  if (!BuildRequestBytes(&out)) return;
  try {
    m_serverSocket.Send(out.data(), out.size());
    m_bodyWire.clear();
    // The rest of the body follows as the browser sends it; until it has, a wait is the browser's.
    m_bodyPipe = !m_body.Done();
    m_awaitingResponse.store(m_body.Done());
    // The wait for the answer gets the whole time-out, however long the connection took.
    ResetIdleTimer();
    m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
    m_serverSocket.ArmAsyncSelect();
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CWWWSession::HTTPProcessRequest() %s - terminating",
        e.GetText().c_str());
    SendErrorPage(WWWPage::SocketError, e.GetText(), "502 Bad Gateway");
  }
}

// ---- Responses ----------------------------------------------------------------------------------

void CWWWSession::OnServerData(bool drain) {
  char buf[kRelayChunk];
  // A bounded number of reads per event (all of them when the server has closed).
  for (int i = 0; drain || i < 16; ++i) {
    if (IsEnding() || !m_serverSocket.IsOpen()) return;
    if (m_responseReceived && !m_writer) {
      // Nothing to store: the body goes from connection to connection without passing through here.
      const size_t n = m_serverSocket.RelayTo(m_clientSocket, 4 * kRelayChunk);
      if (n == 0) break;
      m_bodyRelayed += n;
      continue;
    }
    const size_t n = m_serverSocket.Receive(buf, m_responseReceived ? kRelayChunk : kReadChunk);
    if (n == 0) break;
    if (m_responseReceived) {
      RelayToClient(buf, n);
      continue;
    }
    try {
      m_responseBuffer.append(buf, n);
    } catch (const std::bad_alloc&) {
      Log(kLogError, "Memory allocation error in HTTPReceiveResponse - terminating");
      DiscardCache();
      Terminate(8);
      return;
    }
    if (HTTPReceiveResponse()) ProcessResponse();
  }
  // Read to its end: a reset or a failure there is no end of the response, whatever was read.
  if (drain && !IsEnding() && !ResponseComplete()) {
    if (const uint32_t error = m_serverSocket.GetEndError(); error != 0) {
      AbortResponse(error);
      return;
    }
  }
  if (drain && !m_responseReceived && !IsEnding()) {
    if (m_responseBuffer.empty()) {
      SendErrorPage(WWWPage::SocketError, "The server closed the connection without a response", "502 Bad Gateway");
      return;
    }
    // The server closed before its header ended.
    TakeUnendedHeader("Server closed before the end of its response header - passing data unmodified");
    m_responseReceived = true;
    m_awaitingResponse.store(false);
    ProcessResponse();
  }
}

namespace {

// The three characters where a status line has its code ("HTTP/1.x 200"), or what there is of them.
std::string StatusCodeText(const std::string& response) {
  return response.size() > 9 ? response.substr(9, 3) : std::string();
}

}  // namespace

void CWWWSession::TakeUnendedHeader(const char* noEnd200) {
  const std::string code = StatusCodeText(m_responseBuffer);
  m_responseHeaderLength = 0;
  m_resp = CHttpResponse();
  if (code == "304") {
    // Taken as a 304 without header lines: a revalidated copy can still answer the browser.
    Log(kLogError, "No End of Header in server 304 response (broken CGI?)");
    m_resp.status = 304;
    return;
  }
  m_headerProcessing = false;
  if (code == "200")
    Log(kLogError, "%s", noEnd200);
  else
    Log(kLogError, "No End of Header in server response - not 200 code, so piping unmodified to client (broken CGI?)");
}

bool CWWWSession::HTTPReceiveResponse() {
  const CHttpResponseScanResult scan = ScanResponseHeader(m_responseBuffer);
  switch (scan.state) {
    case HttpResponseScan::NeedMore:
      // Every status waits for the end of its header, not only a 200: a header passed on unread
      // would carry the server's hop-by-hop and keep-alive lines to the browser.
      Log(kLogDebug, "More to come in server response server response %s\n",
          StatusCodeText(m_responseBuffer).c_str());
      return false;
    case HttpResponseScan::NoHeader:
      Log(kLogDebug,
          "No HTTP/1.x tag in server response - passing data unmodified. This is probably caused by a NPH-CGI "
          "with no headers in the CGI");
      m_headerProcessing = false;
      break;
    case HttpResponseScan::PassThrough:
      TakeUnendedHeader("No End of Header in server response within the header limit - piping unmodified to client");
      break;
    case HttpResponseScan::Header:
      ParseHttpResponse(std::string_view(m_responseBuffer).substr(0, scan.headerLength), m_resp);
      m_responseHeaderLength = scan.headerLength;
      if (m_resp.status == 0 || m_resp.version.empty()) m_headerProcessing = false;
      break;
  }
  m_responseReceived = true;
  m_awaitingResponse.store(false);
  if (m_responseBuffer.size() > m_responseHeaderLength && m_headerProcessing)
    Log(kLogDebug, "Server response contains %zu bytes of resource data\n",
        m_responseBuffer.size() - m_responseHeaderLength);
  return true;
}

void CWWWSession::ProcessResponse() {
  std::string pending = std::move(m_responseBuffer);
  m_responseBuffer.clear();
  if (!m_headerProcessing) {
    m_store = false;
    RelayToClient(pending.data(), pending.size());
    return;
  }
  const size_t headerLength = m_responseHeaderLength;
  m_resp.headers.RemoveFirst("connection");
  Log(kLogDebug, "WWW Session processing HTTP response in thread %x - response code %u \n", Id(), m_resp.status);
  CCacheVerdict verdict;
  if (m_resp.status == 200) {
    if (m_decision.state == kCacheRevalidate || m_decision.state == kCachePassIMS) m_decision.state = kCacheDownload;
    verdict = m_cache ? CWWWCache::CheckResponse(200, m_resp.headers.Items(), m_cache->Now())
                      : CWWWCache::CheckResponse(200, m_resp.headers.Items());
    m_expires = verdict.expires;
    if (m_store && HasToken(m_resp.headers.Get("Pragma"), "no-cache")) {
      Log(kLogDebug, "Pragma: no-cache in server response - disabling caching");
      m_store = false;
    } else if (m_store && !verdict.storable) {
      Log(kLogDebug, "%s - disabling caching", verdict.reason);
      m_store = false;
    }
  } else if (m_resp.status == 304) {
    if (m_decision.state == kCacheRevalidate) {
      m_decision.state = kCacheServe;
      // The origin vouched for our copy: a lifetime it sent with the 304 is the copy's from now.
      if (m_cache)
        m_cache->Refresh(m_decision.entry, CWWWCache::ExplicitExpiry(m_resp.headers.Items(), m_cache->Now()));
    } else if (m_decision.state == kCachePassIMS) {
      m_decision.state = kCacheNotModified;
    }
    m_store = false;
  } else {
    Log(kLogDebug, "Unintercepted Server Response code %u\n", m_resp.status);
    m_decision.state = kCacheDownload;
    m_store = false;
  }
  switch (AnswerFromCache()) {
    case CacheAnswer::kAnswered:
      return;
    case CacheAnswer::kNotFromCache:
      break;
    case CacheAnswer::kCopyMissing:
      // The copy the origin confirmed has gone meanwhile: ask again without a condition.
      Log(kLogError, "Cache file does not exist - downloading server copy");
      m_store = m_decision.store && !m_req.headers.Has("Cookie");
      m_req.headers.RemoveFirst("If-Modified-Since");
      m_serverSocket.Close();
      m_serverConnected = false;
      m_responseReceived = false;
      m_resp = CHttpResponse();
      HTTPProcessRequest();
      return;
  }
  m_contentLength = ParseContentLength(m_resp.headers.Get("Content-Length"));
  if (m_store && m_cache && !EqNoCase(m_req.method, "HEAD")) {
    m_writer = m_cache->BeginStore(m_req.CacheKey());
    if (!m_writer) {
      Log(kLogError, "Cache entry creation failed");
      Log(kLogDebug, "Cache entry creation failed");
    }
  }
  // A 304 taken from a header that never ended has no status line of its own to pass on.
  if (m_resp.status != 0 && !m_resp.version.empty()) {
    std::string header =
        FormatString("%s %3u %s\r\n", m_resp.version.c_str(), m_resp.status, m_resp.reason.c_str());
    CHttpHeaderList headers = m_resp.headers;
    headers.Set("Connection", "close");
    for (const auto& [name, value] : headers.Items()) header += name + ": " + value + "\r\n";
    header += "\r\n";
    SendToClient(header);
  }
  if (pending.size() > headerLength) RelayToClient(pending.data() + headerLength, pending.size() - headerLength);
}

void CWWWSession::RelayToClient(const char* data, size_t n) {
  if (n == 0) return;
  m_bodyRelayed += n;
  if (m_writer && !m_writer->Write(data, n)) {
    Log(kLogError, "Error (%u) writing to cache file - deleting file, stopping caching",
        static_cast<unsigned>(m_writer->GetError()));
    m_writer.reset();
  }
  // A body whose declared length is complete is stored before its last bytes go out: a browser
  // that asks again the moment it has them must find the copy.
  if (m_writer && m_contentLength && m_writer->BytesWritten() == *m_contentLength) CommitCache(false);
  m_clientSocket.Send(data, n);
}

bool CWWWSession::SendCachedResource() {
  CCachedCopy copy;
  if (!m_cache || !m_cache->OpenCachedCopy(m_decision.entry, &copy)) return false;
  Log(kLogDebug, "WWW Session sending cached resource to client in thread %x\n", Id());
  if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), "cached");
  const CString header = FormatString(
      "HTTP/1.0 200 Document Follows\r\nDate: %s\r\nServer: %s\r\nContent-Type: %s\r\nLast-Modified: %s\r\n"
      "Content-Length: %llu\r\nConnection: close\r\n\r\n",
      CWWWCache::FormatHttpDate(static_cast<int64_t>(::time(nullptr))).c_str(), "Trellis Engine",
      copy.contentType.c_str(), CWWWCache::FormatHttpDate(copy.lastModified).c_str(),
      static_cast<unsigned long long>(copy.size));
  m_responseReceived = true;
  try {
    SendToClient(header);
    m_clientSocket.SendFile(copy.fd);
  } catch (const X1SocketException&) {
    // The browser went away during the copy: the answer counts as given.
    Log(kLogError, "Caught exception in SendCachedResource()\n");
  }
  return true;
}

void CWWWSession::CommitCache(bool browserClosed) {
  if (!m_writer) return;
  CCacheCommit info;
  info.contentLength = m_contentLength;
  int64_t lm = 0;
  if (ParseHttpDate(m_resp.headers.Get("Last-Modified"), &lm)) info.lastModified = lm;
  info.contentType = m_resp.headers.Get("Content-Type");
  if (info.contentType.empty()) info.contentType = GetMimeType(m_req.path);
  info.requireLength = browserClosed;
  info.expires = m_expires;
  if (m_writer->Commit(info))
    Log(kLogDebug, "Stored %s in the cache", m_req.CacheKey().c_str());
  else
    Log(kLogDebug, "Download of %s not stored: its length is not right", m_req.CacheKey().c_str());
  m_writer.reset();
}

void CWWWSession::DiscardCache() {
  if (m_writer) m_writer->Abort();
  m_writer.reset();
}

bool CWWWSession::ResponseComplete() const {
  if (!m_responseReceived || !m_headerProcessing || m_resp.status == 0) return false;
  if (EqNoCase(m_req.method, "HEAD") || m_resp.status < 200 || m_resp.status == 204 || m_resp.status == 304)
    return true;
  return m_contentLength && m_bodyRelayed >= *m_contentLength;
}

void CWWWSession::AbortResponse(uint32_t error) {
  DiscardCache();
  const CString text = X1SocketException(error).GetText();
  if (!m_responseReceived) {
    Log(kLogError, "Server connection failed before the end of its response header (%s) - terminating", text.c_str());
    SendErrorPage(WWWPage::SocketError, text, "502 Bad Gateway");
    return;
  }
  Log(kLogError,
      "Server connection failed after %llu bytes of its response body (%s) - resetting the browser connection",
      static_cast<unsigned long long>(m_bodyRelayed), text.c_str());
  ResetClientIfCut();
  m_serverSocket.Close();
  Terminate(kSessionExitRefused);
}

void CWWWSession::ResetClientIfCut() {
  if (!m_responseReceived || ResponseComplete()) return;
  try {
    m_clientSocket.ResetOnClose();
  } catch (const X1SocketException&) {
    // The browser's connection has gone already: there is nothing left to reset.
  }
}

void CWWWSession::FinishAnswered(uint32_t reason) {
  if (IsEnding()) return;
  try {
    m_clientSocket.ShutdownSend();
  } catch (...) {
    // The browser may have gone already; the session ends below either way.
  }
  Terminate(reason);
}

// ---- CONNECT tunnel -----------------------------------------------------------------------------

void CWWWSession::SSLPreProcessRequest() {
  Log(kLogDebug, "WWW Session processing SSL TUNNELING request in thread %x\n", Id());
  try {
    if (GetConnectSettings().ConnectMethod == CONNECT_HTTP_PROXY) {
      // The upstream proxy opens the tunnel (the request goes the way of HTTPProcessRequest); its
      // answer reaches the browser through the relay.
      if (!ConnectServer()) return;
      std::string request;
      if (!BuildRequestBytes(&request)) return;
      m_tunnel = true;
      StartRelay(request);
      return;
    }
    // (An own address on another interface has become the one the browser used while parsing.)
    if (!ConnectServer(true)) return;
    SendToClient("HTTP/1.0 200 Connection established\r\n\r\n");
    m_responseReceived = true;
    m_bodyPipe = true;
    m_tunnel = true;
    StartRelay(m_resourceData);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Socket error in SSLPreProcessRequest %s - terminating", e.GetText().c_str());
    SendErrorPage(WWWPage::SocketError, e.GetText(), "502 Bad Gateway");
  }
}

void CWWWSession::OnRelayEnded(bool failed) {
  Log(kLogDebug, failed ? "Tunnel failed in thread %x" : "Tunnel closed in thread %x", Id());
  CTwoEndTCPSession::OnRelayEnded(failed);
}
