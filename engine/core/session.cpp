#include "engine/core/session.h"

#include <unistd.h>

#include <charconv>
#include <cinttypes>
#include <condition_variable>
#include <cstdarg>
#include <map>
#include <string>

#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "engine/core/machine.h"
#include "engine/core/service.h"
#include "platform/clock.h"

TL_IMPLEMENT_DYNAMIC(CSession, CObject)
TL_IMPLEMENT_DYNAMIC(CTCPSession, CSession)
TL_IMPLEMENT_DYNAMIC(CUDPSession, CSession)

namespace {

std::atomic<uint32_t> g_lastSessionNumber{0};
std::atomic<CSession::TickSource> g_tickSource{nullptr};


// Fields of log and audit lines come from clients (URLs, user names): a CR, LF or TAB inside one
// would start a forged line or field, so they become spaces.
void AppendField(CString& line, const CString& text) {
  const size_t at = line.size();
  line += text;
  for (size_t i = at; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\r' || c == '\n' || c == '\t' || c == '\0') line[i] = ' ';
  }
}

// A decimal number, padded with zeros to `width` digits.
void AppendNumber(CString& line, uint64_t value, size_t width = 0) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  const size_t n = static_cast<size_t>(end - digits);
  if (n < width) line.append(width - n, '0');
  line.append(digits, n);
}

CString FormatArgs(const char* format, va_list args) {
  CString text;
  if (format) FormatStringV(text, format, args);
  return text;
}

// TCP session threads that have started and not yet ended.
std::mutex g_liveMutex;
std::condition_variable g_liveChanged;
std::map<const CTCPSession*, std::weak_ptr<CTCPSession>> g_live;
size_t g_takingConnection = 0;  // threads between sessions that may start one; under g_liveMutex

}  // namespace


// ---- CSession ---------------------------------------------------------------------------------

CSession::CSession() : m_startTime(time(nullptr)) {}

CSession::CSession(std::shared_ptr<CService> service) : m_startTime(time(nullptr)), m_service(std::move(service)) {}

CSession::CSession(std::shared_ptr<CService> service, platform::MsgThread::NoThread noThread)
    : platform::MsgThread(noThread), m_startTime(time(nullptr)), m_service(std::move(service)) {}

CSession::~CSession() = default;

void CSession::SetTickSource(TickSource source) { g_tickSource.store(source); }

uint64_t CSession::Now() {
  TickSource src = g_tickSource.load();
  return src ? src() : platform::TickCount64();
}

uint32_t CSession::LastSessionNumber() { return g_lastSessionNumber.load(); }

std::shared_ptr<CSession> CSession::SelfPtr() {
  try {
    return std::static_pointer_cast<CSession>(shared_from_this());
  } catch (const std::bad_weak_ptr&) {
    return nullptr;
  }
}

CString CSession::GetClientAddress() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_clientAddress;
}

uint32_t CSession::GetClientPort() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_clientPort;
}

void CSession::SetClient(const CString& address, uint32_t port) {
  std::lock_guard<std::mutex> g(m_mx);
  m_clientAddress = address;
  m_clientPort = port;
}

CString CSession::GetUserName() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_userName;
}

int32_t CSession::GetSecurityLevel() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_securityLevel;
}

void CSession::SetUser(const CString& userName, int32_t level) {
  std::lock_guard<std::mutex> g(m_mx);
  m_userName = userName;
  m_securityLevel = level;
}

std::shared_ptr<CMachine> CSession::GetMachine() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_machine;
}

std::shared_ptr<CService> CSession::GetService() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_service;
}

void CSession::AssignNumber() {
  if (m_sessionNumber.load() != 0) return;
  uint32_t n = ++g_lastSessionNumber;
  if (n == 0) n = ++g_lastSessionNumber;  // 0 means "not attached"; skip it after a wrap
  uint32_t expected = 0;
  m_sessionNumber.compare_exchange_strong(expected, n);
}

void CSession::SetMachine(const std::shared_ptr<CMachine>& machine) {
  if (!machine) return;
  {
    std::lock_guard<std::mutex> g(m_mx);
    m_machine = machine;
    m_userName = machine->GetUserName();
    m_securityLevel = static_cast<int32_t>(machine->GetSecurityLevel());
    m_isDHCPClient = machine->IsIdentifiedByDHCP() ? 1 : 0;
    m_netBIOSName = machine->GetComputerName();
    m_macAddress = machine->GetHardwareAddress();
  }
  AssignNumber();
  if (auto self = SelfPtr()) machine->AddSession(self);
}

CString CSession::GetDescription() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_description.size() > kMaxDescription ? m_description.substr(0, kMaxDescription) : m_description;
}

void CSession::SetDescription(const CString& text) {
  std::lock_guard<std::mutex> g(m_mx);
  m_description = text;
}

void CSession::SetLocalAddress(const CString& text) {
  std::lock_guard<std::mutex> g(m_mx);
  m_localAddress = text;
}

CString CSession::GetLocalAddress() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_localAddress;
}

bool CSession::IsOwnAddress(const CString& text) const {
  const CString local = GetLocalAddress();
  return !local.empty() && text == local;
}

// ---- Settings from the service ----------------------------------------------------------------

void CSession::SetNonProxySettings(uint32_t action, const CString& host, uint32_t port) {
  std::lock_guard<std::mutex> g(m_mx);
  m_nonProxyAction = action;
  m_nonProxyHost = host;
  m_nonProxyPort = port;
}

void CSession::UseServiceNonProxySettings(const CService& service) {
  uint32_t action, port;
  CString host;
  {
    const CServiceSettings& settings = service.Settings();
    CLockGuard g(settings);
    action = settings.NonProxyRequestAction;
    host = settings.NonProxyRequestHost;
    port = settings.NonProxyRequestPort;
  }
  SetNonProxySettings(action, host, port);
}

void CSession::SetAccessRight(std::shared_ptr<const CRight> right) {
  std::lock_guard<std::mutex> g(m_mx);
  m_right = std::move(right);
}

void CSession::UseServiceAccessRight(const std::shared_ptr<CService>& service) {
  if (!service) return;
  // The right is a member of the service: an aliasing reference keeps the whole service alive.
  SetAccessRight(std::shared_ptr<const CRight>(service, &service->Settings().AccessRights));
  std::lock_guard<std::mutex> g(m_mx);
  if (!m_service) m_service = service;
}

void CSession::SetLog(uint32_t mask, std::shared_ptr<CLogFile> file) {
  std::lock_guard<std::mutex> g(m_mx);
  m_logMask = mask;
  m_logFile = std::move(file);
}

void CSession::UseServiceLog(const CService& service) {
  uint32_t mask;
  {
    const CServiceSettings& settings = service.Settings();
    CLockGuard g(settings);
    mask = settings.LoggingEnabled ? settings.LogOptions : 0;
  }
  SetLog(mask, service.GetLogFile());
}

void CSession::SetOutgoingInterface(const CInterface& iface, uint32_t method) {
  std::lock_guard<std::mutex> g(m_mx);
  m_outgoingInterface = iface;
  m_interfaceMethod = method;
}

void CSession::UseServiceInterfaces(CService& service) {
  CInterface iface;
  service.GetOutgoingInterface(iface);
  uint32_t method;
  {
    const CServiceSettings& settings = service.Settings();
    CLockGuard g(settings);
    method = settings.InterfaceMethod;
  }
  SetOutgoingInterface(iface, method);
}

CInterface CSession::GetOutgoingInterface() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_outgoingInterface;
}

uint32_t CSession::GetInterfaceMethod() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_interfaceMethod;
}

uint32_t CSession::GetNonProxyAction() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_nonProxyAction;
}

CString CSession::GetNonProxyHost() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_nonProxyHost;
}

uint32_t CSession::GetNonProxyPort() const {
  std::lock_guard<std::mutex> g(m_mx);
  return m_nonProxyPort;
}

// ---- Time-outs --------------------------------------------------------------------------------

void CSession::SetTimeout(bool enabled, uint32_t seconds) {
  m_timeoutEnabled.store(enabled);
  m_timeoutSeconds.store(seconds);
  ResetIdleTimer();
}

void CSession::ResetIdleTimer() { m_idleDeadline.store(Now() + uint64_t{m_timeoutSeconds.load()} * 1000u); }

void CSession::StartRequestDeadline() {
  if (m_requestDeadline.load() != 0) return;
  const uint32_t seconds = m_timeoutEnabled.load() ? m_timeoutSeconds.load() : kRequestBoundSeconds;
  m_requestDeadline.store(Now() + uint64_t{seconds == 0 ? kRequestBoundSeconds : seconds} * 1000u);
}

void CSession::SetEndTime(bool enabled, const CDateTime& endTime) {
  std::lock_guard<std::mutex> g(m_mx);
  m_endTimeEnabled = enabled;
  m_endTime = endTime;
}

uint32_t CSession::GetSecondsOnLine() const {
  const time_t now = time(nullptr);
  return now > m_startTime ? SaturateToDWORD(static_cast<uint64_t>(now - m_startTime)) : 0;
}

bool CSession::OnActivity() {
  ResetIdleTimer();
  return true;
}

bool CSession::IsIdleTimeoutDue() const {
  return m_timeoutEnabled.load() && !m_waitingForDialer.load() && Now() >= m_idleDeadline.load();
}

void CSession::CheckTimeouts() {
  if (IsEnding()) return;
  try {
    if (IsIdleTimeoutDue()) {
      OnIdleTimeout();
      return;
    }
    const uint64_t requestDeadline = m_requestDeadline.load();
    if (requestDeadline != 0 && Now() >= requestDeadline) {
      Log(kLogError, "Request not complete in time - terminating");
      Terminate(kSessionExitIdle);
      return;
    }
    bool endEnabled;
    CDateTime end;
    {
      std::lock_guard<std::mutex> g(m_mx);
      endEnabled = m_endTimeEnabled;
      end = m_endTime;
    }
    if (endEnabled && end.IsValid() && !(CDateTime::GetCurrentTime() < end)) Terminate(kSessionExitEndTime);
  } catch (...) {
    // A failing check must not end the machine's pass.
  }
}

// ---- Ending -----------------------------------------------------------------------------------

void CSession::Terminate(uint32_t reason) {
  // Only the first caller acts, whichever thread it is on (engine time-out pass, console request,
  // the session itself): the lines, the crediting and the quit must happen exactly once.
  if (m_endGuard.fetch_add(1) != 0) return;
  try {
    bool removed = false;
    if (auto machine = GetMachine()) removed = machine->RemoveSession(GetSessionNumber(), reason, this);
    // Without a machine, or when the machine no longer lists it, the session ends itself.
    if (!removed) Exit(reason);
  } catch (...) {
    Log(kLogDebug, "Caught Exception in CSession::Terminate");
  }
}

void CSession::Exit(uint32_t code) {
  if (m_exited.exchange(true)) return;
  try {
    // One look in the user database for both lines.
    if (std::shared_ptr<CUser> user = FindAuditingUser(kAuditTraffic | kAuditTerminated)) {
      WriteAuditLine(*user, kAuditTraffic, CString());
      WriteAuditLine(*user, kAuditTerminated, FormatString("exit code %u", code));
    }
  } catch (...) {
    // An audit line is never worth failing the session that writes it.
  }
  Log(kLogTraffic);
  Log(kLogTerminated, "exit code %u", code);
}

// ---- Rights -----------------------------------------------------------------------------------

AccessResult CSession::CheckRights(AccessStage stage) {
  const AccessResult result = DecideRights(stage);
  if (result == AccessResult::Refused) {
    try {
      SendAccessDenied();
    } catch (...) {
      // The client may have gone; the refusal is logged and audited below all the same.
    }
    const CString description = GetDescription();
    Audit(kAuditFailedAuthorisation, "%s", description.c_str());
    Log(kLogFailedAuthorisation, "%s", description.c_str());
    Terminate(kSessionExitRefused);
  }
  return result;
}

AccessResult CSession::DecideRights(AccessStage stage) {
  AccessResult result = AccessResult::Refused;
  try {
    std::shared_ptr<const CRight> right;
    AccessRequest request;
    {
      std::lock_guard<std::mutex> g(m_mx);
      right = m_right;
      request.userName = m_userName;
      request.level = ClampSecurityLevel(m_securityLevel);
      uint32_t addr = 0;
      if (TryParseIPAddress(m_clientAddress, &addr)) request.clientAddress = addr;
    }
    request.authenticatedLevel = GetAuthenticatedLevel();
    request.variables = this;
    CSessionHost* host = GetSessionHost();
    // No rights object or no engine to ask: nothing can grant the request.
    if (right && host) {
      const AccessContext ctx = host->GetAccessContext();
      const AccessDecision d = right->Decide(request, ctx, stage);
      m_requiredLevel.store(d.level);
      if (d.result != AccessResult::Refused) {
        std::lock_guard<std::mutex> g(m_mx);
        m_securityLevel = static_cast<int32_t>(d.sessionLevel);
        // The latest decision says when the permission ends: a later check granted without a
        // time restriction lifts the end an earlier timed grant had set.
        m_endTimeEnabled = d.endTimeEnabled;
        m_endTime = d.endTimeEnabled ? d.endTime : CDateTime();
        result = d.result;
      }
    }
  } catch (...) {
    result = AccessResult::Refused;
  }
  return result;
}

// ---- Request variables ------------------------------------------------------------------------

bool CSession::GetAccountProperty(uint32_t code, CTLDataObject& value) const {
  CSessionHost* host = GetSessionHost();
  CGroupMemberDatabase* users = host ? host->GetUserDatabase() : nullptr;
  if (!users) return false;
  const CString name = GetUserName();
  CLockGuard g(*users);
  std::shared_ptr<CUser> user = users->FindUser(name);
  if (!user) return false;
  CLockGuard ug(*user);
  switch (code) {
    case kPropUserBytesSentToClient: value.SetDWord(SaturateToDWORD(user->ClientSendTraffic)); break;
    case kPropUserBytesReceivedFromClient: value.SetDWord(SaturateToDWORD(user->ClientRecvTraffic)); break;
    case kPropUserBytesSentForClient: value.SetDWord(SaturateToDWORD(user->NonClientSendTraffic)); break;
    case kPropUserBytesReceivedForClient: value.SetDWord(SaturateToDWORD(user->NonClientRecvTraffic)); break;
    case kPropUserSecondsOnLine: value.SetDWord(SaturateToDWORD(user->TimeOnLine)); break;
    case kPropUserAccountBalance: {
      // The closing balance is brought up to the traffic and time credited so far before it is
      // reported; nothing else keeps it current between the scheduler's accounting actions.
      user->UpdateBalance();
      int64_t whole = user->ClosingBalance.IsValid() ? user->ClosingBalance.GetUnits() / CCurrency::kScale : 0;
      if (whole > INT32_MAX) whole = INT32_MAX;
      if (whole < INT32_MIN) whole = INT32_MIN;
      value.SetInteger(static_cast<int32_t>(whole));
      break;
    }
    default: return false;
  }
  return true;
}

void CSession::GetProperty(uint32_t code, CTLDataObject& value) const {
  switch (code) {
    case kPropClientIP: value.SetString(GetClientAddress()); return;
    case kPropClientPort: value.SetDWord(GetClientPort()); return;
    case kPropUserName: value.SetString(GetUserName()); return;
    case kPropUserLevel: value.SetInteger(GetSecurityLevel()); return;
    case kPropUserBytesSentToClient:
    case kPropUserBytesReceivedFromClient:
    case kPropUserBytesSentForClient:
    case kPropUserBytesReceivedForClient:
    case kPropUserSecondsOnLine:
    case kPropUserAccountBalance:
      // An unknown user leaves the caller's value as it was.
      GetAccountProperty(code, value);
      return;
    case kPropSessionDescription: value.SetString(GetDescription()); return;
    case kPropClientNetBIOSName: {
      std::lock_guard<std::mutex> g(m_mx);
      value.SetString(m_netBIOSName);
      return;
    }
    case kPropClientMACAddress: {
      std::lock_guard<std::mutex> g(m_mx);
      value.SetString(m_macAddress);
      return;
    }
    case kPropIsNonProxyRequest: value.SetInteger(static_cast<int32_t>(m_isNonProxyRequest.load())); return;
    case kPropIsDHCPClient: {
      std::lock_guard<std::mutex> g(m_mx);
      value.SetInteger(static_cast<int32_t>(m_isDHCPClient));
      return;
    }
    case kPropServerIPAddress: value.SetString("255.255.255.255"); return;
    default: value.SetInteger(0); return;
  }
}

// ---- Log and audit ----------------------------------------------------------------------------

void CSession::Log(uint32_t type, const char* format, ...) {
  {
    // Most lines are of a type the service does not log: they are not even formatted.
    std::lock_guard<std::mutex> g(m_mx);
    if (!m_logFile || !(m_logMask & type)) return;
  }
  try {
    va_list args;
    va_start(args, format);
    CString text = FormatArgs(format, args);
    va_end(args);
    WriteLogLine(type, text);
  } catch (...) {
    // A line that cannot be written is dropped; the session goes on.
  }
}

void CSession::WriteLogLine(uint32_t type, const CString& text) {
  const char* label;
  switch (type) {
    case kLogFailedAuthorisation: label = "Failed authorisation:\t"; break;
    case kLogCreated: label = "Created:\t"; break;
    case kLogRequested: label = "Requested:\t"; break;
    case kLogTraffic: label = "Traffic\t "; break;
    case kLogTerminated: label = "Terminated "; break;
    case kLogError: label = "Error:\t"; break;
    case kLogDebug: label = "Debug:\t"; break;
    default: return;
  }
  std::shared_ptr<CLogFile> file;
  // Built piece by piece into one string: a busy service writes several lines per session, and
  // printf and the temporaries of chained concatenation cost more than the line itself.
  CString line = LogTimeStamp();
  {
    std::lock_guard<std::mutex> g(m_mx);
    if (!m_logFile || !(m_logMask & type)) return;
    file = m_logFile;
    line.reserve(line.size() + m_clientAddress.size() + m_userName.size() + text.size() + 96);
    line += '\t';
    AppendField(line, m_clientAddress);
    line += '\t';
    AppendField(line, m_userName);
  }
  line += '\t';
  AppendNumber(line, GetSessionNumber(), 10);
  line += '\t';
  line += label;
  if (type == kLogTraffic) {
    AppendNumber(line, GetClientBytesSent());
    line += '\t';
    AppendNumber(line, GetClientBytesReceived());
    line += '\t';
    AppendNumber(line, GetServerBytesSent());
    line += '\t';
    AppendNumber(line, GetServerBytesReceived());
    line += '\t';
    AppendNumber(line, GetSecondsOnLine());
    line += 's';
  } else {
    AppendField(line, text);
  }
  line += "\r\n";
  SubmitLogLine(file, std::move(line));
}

void CSession::Audit(uint32_t type, const char* format, ...) {
  try {
    // Most users audit few types or none: the text is made only for a line that is written.
    std::shared_ptr<CUser> user = FindAuditingUser(type);
    if (!user) return;
    va_list args;
    va_start(args, format);
    CString text = FormatArgs(format, args);
    va_end(args);
    WriteAuditLine(*user, type, text);
  } catch (...) {
    // An audit line is never worth failing the session that writes it.
  }
}

std::shared_ptr<CUser> CSession::FindAuditingUser(uint32_t types) const {
  CSessionHost* host = GetSessionHost();
  CGroupMemberDatabase* users = host ? host->GetUserDatabase() : nullptr;
  if (!users) return nullptr;
  const CString name = GetUserName();
  std::shared_ptr<CUser> user;
  {
    // The user database is only searched under its lock; the user keeps itself alive and locks
    // itself, so the line is made and handed on without holding up every other session.
    CLockGuard g(*users);
    user = users->FindUser(name);
  }
  return user && user->Audits(types) ? user : nullptr;
}

void CSession::WriteAuditLine(CUser& user, uint32_t type, const CString& text) {
  const CString address = GetClientAddress();
  const uint32_t number = GetSessionNumber();
  if (type == kAuditTraffic) {
    user.AuditTraffic(address, number, GetClientBytesSent(), GetClientBytesReceived(), GetServerBytesSent(),
                      GetServerBytesReceived(), GetSecondsOnLine());
  } else {
    user.Audit(type, address, number, text);
  }
}

void CSession::NotifyAdded() const {
  if (CSessionHost* host = GetSessionHost(); host && host->HasControllers()) {
    host->NotifyControllers(kNotifySessionAdded, GetClientAddress(), FormatString("%u", GetSessionNumber()),
                            GetDescription());
  }
}

void CSession::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    std::lock_guard<std::mutex> g(m_mx);
    ar << GetSessionNumber();
    // The archive's time form is 32 bits; read as unsigned it lasts until 2106.
    ar << static_cast<uint32_t>(m_startTime);
    ar << (m_description.size() > kMaxDescription ? m_description.substr(0, kMaxDescription) : m_description);
    ar << m_clientAddress;
    ar << m_clientPort;
  } else {
    uint32_t number = 0, start = 0, port = 0;
    CString description, address;
    ar >> number >> start >> description >> address >> port;
    std::lock_guard<std::mutex> g(m_mx);
    m_sessionNumber.store(number);
    m_startTime = static_cast<time_t>(start);
    m_description = description;
    m_clientAddress = address;
    m_clientPort = port;
  }
}

// ---- CTCPSession ------------------------------------------------------------------------------

CTCPSession::CTCPSession() = default;

CTCPSession::CTCPSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CSession(std::move(service)), m_acceptedHandle(acceptedHandle) {}

CTCPSession::~CTCPSession() {
  // A session whose thread never ran still owns the accepted descriptor.
  const int h = m_acceptedHandle.exchange(-1);
  if (h >= 0) ::close(h);
  m_clientSocket.Close();
  Uncount();
}

size_t CTCPSession::LiveCount() {
  std::lock_guard<std::mutex> g(g_liveMutex);
  return g_live.size();
}

void CTCPSession::TerminateAll(uint32_t reason) {
  std::vector<std::shared_ptr<CTCPSession>> sessions;
  {
    std::lock_guard<std::mutex> g(g_liveMutex);
    for (const auto& [key, weak] : g_live) {
      if (auto s = weak.lock()) sessions.push_back(std::move(s));
    }
  }
  // Outside the registry's lock: ending a session takes machine and user locks.
  for (const auto& s : sessions) s->Terminate(reason);
}

bool CTCPSession::WaitForAll(int timeoutMs) {
  std::unique_lock<std::mutex> lk(g_liveMutex);
  auto none = [] { return g_live.empty() && g_takingConnection == 0; };
  if (timeoutMs < 0) {
    g_liveChanged.wait(lk, none);
    return true;
  }
  return g_liveChanged.wait_for(lk, std::chrono::milliseconds(timeoutMs), none);
}

void CTCPSession::BeginTakingConnection() {
  std::lock_guard<std::mutex> g(g_liveMutex);
  ++g_takingConnection;
}

void CTCPSession::EndTakingConnection() {
  std::lock_guard<std::mutex> g(g_liveMutex);
  --g_takingConnection;
  g_liveChanged.notify_all();
}

void CTCPSession::Uncount() {
  if (!m_counted.exchange(false)) return;
  std::lock_guard<std::mutex> g(g_liveMutex);
  g_live.erase(this);
  g_liveChanged.notify_all();
}

bool CTCPSession::OnActivity() {
  CSession::OnActivity();
  return StartThread(false);
}

bool CTCPSession::StartAfterCurrent() {
  CSession::OnActivity();
  return StartThread(true);
}

bool CTCPSession::StartThread(bool afterCurrent) {
  if (HasEnded() || m_counted.load()) return true;  // already started
  auto self = std::static_pointer_cast<CTCPSession>(SelfPtr());
  {
    std::lock_guard<std::mutex> g(g_liveMutex);
    g_live[this] = self;
  }
  m_counted.store(true);
  if (self && ((afterCurrent && CreateThreadAfterCurrent()) || CreateThread())) return true;
  // No thread (the system's thread limit): the connection is closed at once rather than left
  // open with nobody serving it.
  Uncount();
  const int h = m_acceptedHandle.exchange(-1);
  if (h >= 0) ::close(h);
  MarkEnded();
  return false;
}

bool CTCPSession::InitInstance() {
  try {
    const int h = m_acceptedHandle.exchange(-1);
    // Ended before it ran (the engine stopping): WM_QUIT is queued; the connection just closes.
    if (IsEnding()) {
      if (h >= 0) ::close(h);
      return true;
    }
    if (h < 0) throw X1SocketException(WSAENOTSOCK);
    m_clientSocket.AttachAccepted(h);
    SetClient(m_clientSocket.GetPeerAddress(), m_clientSocket.GetPeerPort());
    SetLocalAddress(m_clientSocket.GetLocalAddress());
    if (GetSessionNumber() == 0) {
      CSessionHost* host = GetSessionHost();
      auto self = SelfPtr();
      if (host && self && host->GetMachineMap().AttachSession(self, host)) NotifyAdded();
    }
    // Ended while joining (engine stopping, console request): WM_QUIT is already queued.
    if (IsEnding()) return true;
    const CString description = GetDescription();
    Audit(kAuditCreated, "%s", description.c_str());
    Log(kLogCreated, "%s", description.c_str());
    if (CheckRights(AccessStage::Accept) != AccessResult::Refused) {
      m_clientSocket.AsyncSelect(FD_READ | FD_CLOSE);
      m_clientSocket.ArmAsyncSelect();
      OnStart();
    }
  } catch (const X1SocketException& e) {
    m_clientSocket.Close();
    Log(kLogError, "Caught socket exception in CTCPSession::InitInstance() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    // Without events the thread would idle for ever when time-outs are off: end it here too.
    Log(kLogError, "Caught unknown exception in CTCPSession::InitInstance() - terminating");
    Terminate(kSessionExitRefused);
  }
  return true;
}

int CTCPSession::Run() {
  try {
    platform::Message msg;
    while (GetMessage(&msg)) OnMessage(msg);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CTCPSession::Run() - terminating");
    Terminate(kSessionExitRefused);
  }
  return ExitInstance();
}

int CTCPSession::ExitInstance() {
  const uint32_t code = static_cast<uint32_t>(QuitCode());
  // Whatever ended the thread, the session leaves its machine before it goes: a WM_QUIT from
  // elsewhere is ended like a Terminate, and a Terminate that raced with the session joining its
  // machine is completed (the entry that arrived after it is taken out; lines are not repeated).
  Terminate(code);
  try {
    if (auto machine = GetMachine()) machine->RemoveSession(GetSessionNumber(), code, this);
  } catch (...) {
    // The session ends anyway; its machine drops it at the next idle check.
  }
  try {
    OnEnd();
  } catch (...) {
    // The thread is ending; a failing end hook must not keep it alive.
  }
  m_clientSocket.Close();
  // While this session still counts as live (so an engine stop waits for what starts here), the
  // next waiting connection of the service may start on this thread instead of waking another.
  // When none waits, this OS thread may wait a while for the next one once the session has ended.
  if (platform::CurrentThreadId() == Id()) {
    try {
      if (auto tcp = std::dynamic_pointer_cast<CTCPService>(GetService())) {
        if (!tcp->TakeNextConnection()) tcp->WaitForNextConnectionAfterCurrent();
      }
    } catch (...) {
      // The connection stays with the engine thread's accept; this session ends either way.
    }
  }
  Uncount();
  return static_cast<int>(code);
}

void CTCPSession::OnMessage(platform::Message& msg) {
  switch (msg.message) {
    case platform::WM_SOCKET_ACCEPT: OnAccept(msg); break;
    case platform::WM_SOCKET_READ: OnRead(msg); break;
    case platform::WM_SOCKET_CLOSE: OnClose(msg); break;
    default: break;
  }
}

void CTCPSession::Exit(uint32_t code) {
  m_clientSocket.Close();
  CSession::Exit(code);
  PostQuit(static_cast<int>(code));
}

// ---- CUDPSession ------------------------------------------------------------------------------

CUDPSession::CUDPSession() : CSession(nullptr, platform::MsgThread::NoThread{}) {}

CUDPSession::CUDPSession(std::shared_ptr<CService> service, std::weak_ptr<CUDPSessionOwner> owner,
                         const CString& clientAddress, uint32_t clientPort)
    : CSession(std::move(service), platform::MsgThread::NoThread{}), m_owner(std::move(owner)) {
  SetClient(clientAddress, clientPort);
}

void CUDPSession::Exit(uint32_t code) {
  CSession::Exit(code);
  if (auto owner = m_owner.lock()) {
    if (auto self = std::static_pointer_cast<CUDPSession>(SelfPtr())) owner->RemoveUDPSession(self);
  }
}
