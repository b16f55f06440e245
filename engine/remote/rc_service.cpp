#include "engine/remote/rc_service.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/dialer/dialer.h"
#include "engine/proxy/www/www_cache.h"
#include "engine/core/machine.h"
#include "engine/core/nt_service.h"
#include "engine/core/service_manager.h"
#include "engine/remote/frame.h"
#include "engine/remote/link.h"
#include "engine/remote/rc_requests.h"
#include "engine/scheduler/scheduler.h"
#include "platform/clock.h"
#include "platform/eventlog.h"

TL_IMPLEMENT_DYNAMIC(CRemoteControlSession, CTCPSession)

using namespace remote_control;

// The engine's core sends these notifications under names of its own; the console reads the codes.
static_assert(static_cast<uint32_t>(RC_NOTIFY_OPERATOR_MESSAGE) == kNotifyError);
static_assert(static_cast<uint32_t>(RC_NOTIFY_DIALER_PROFILE) == kNotifyDialerProfile);
static_assert(static_cast<uint32_t>(RC_NOTIFY_CACHE_CHANGED) == kNotifyCacheChanged);
static_assert(static_cast<uint32_t>(RC_NOTIFY_MACHINE_ADDED) == kNotifyMachineAdded);
static_assert(static_cast<uint32_t>(RC_NOTIFY_MACHINE_CHANGED) == kNotifyMachineUpdated);
static_assert(static_cast<uint32_t>(RC_NOTIFY_MACHINE_REMOVED) == kNotifyMachineDeleted);
static_assert(static_cast<uint32_t>(RC_NOTIFY_SESSION_ADDED) == kNotifySessionAdded);
static_assert(static_cast<uint32_t>(RC_NOTIFY_SESSION_CHANGED) == kNotifySessionChanged);
static_assert(static_cast<uint32_t>(RC_NOTIFY_SESSION_ENDED) == kNotifySessionDeleted);

namespace {

// A "CRemoteControlService" read from the registry or a console's frame is the running service here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CRemoteControlServiceSettings), &MakeRunningService<CRemoteControlService>);

// A console that stops reading must not hold its session thread in a send for ever.
constexpr int kConsoleSendTimeoutMs = 30000;

struct OutgoingMessage : platform::MsgPayload {
  explicit OutgoingMessage(CTLRCPMessage m) : message(std::move(m)) {}
  CTLRCPMessage message;
};

// A console log-in the access right refuses, or whose user has gone meanwhile, ends with this reason.
constexpr uint32_t kExitLoginRefused = 5;

// A connection's place in the gate is known by the address it came from.
CString PeerAddressOf(int handle) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (handle < 0 || getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET)
    return CString();
  return FormatIPAddress(ntohl(peer.sin_addr.s_addr));
}

// Said once when a stranger's lines start being left out.
constexpr const char* kStrangerLinesLeftOut =
    "Further lines about console connections from %s that did not log in are left out for a minute";

// A failed log-in's wait is slept in steps this long, so that an engine stop ends it soon.
constexpr uint32_t kFailureWaitStepMs = 100;

bool IsBuiltInUser(const CString& name) { return name == "Administrator" || name == "Guest"; }
bool IsBuiltInGroup(const CString& name) { return name == "Administrators" || name == "Users"; }

}  // namespace

// ---- CRemoteControlService --------------------------------------------------------------------

CRemoteControlService::CRemoteControlService() = default;

CRemoteControlService::~CRemoteControlService() = default;

void CRemoteControlService::ValidateBindings(CSysInfo& info) {
  bool emptyAdministratorPassword = true;
  if (CSessionHost* host = GetSessionHost()) {
    if (CGroupMemberDatabase* users = host->GetUserDatabase()) {
      if (auto admin = users->FindUser("Administrator")) {
        CLockGuard g(*admin);
        emptyAdministratorPassword = admin->Password.empty();
      }
    }
  }
  bool changed = false;
  bool dropBindings = false;
  {
    CLockGuard g(*this);
    const bool listWithoutBindings = BindingOption == BINDING_LIST && Bindings.IsEmpty();
    if ((emptyAdministratorPassword || listWithoutBindings) &&
        (BindingOption != BINDING_SPECIFIC || SpecificBinding != kRemoteControlLoopback || !Bindings.IsEmpty())) {
      dropBindings = true;
      BindingOption = BINDING_SPECIFIC;
      SpecificBinding = kRemoteControlLoopback;
      changed = true;
    }
    if (Enabled != 1 || ReuseAddr != 1) changed = true;
    Enabled = 1;
    ReuseAddr = 1;
  }
  if (dropBindings) DeleteAllBindings();
  if (changed) SaveSettings(CString(kServicesKey) + "\\" + GetName());
  CTCPService::ValidateBindings(info);
}

std::shared_ptr<CTCPSession> CRemoteControlService::CreateSession(int handle) {
  const CString address = PeerAddressOf(handle);
  const CConsoleGate::Admission admission = m_gate->Admit(address, platform::TickCount64());
  if (admission != CConsoleGate::Admission::ADMITTED) {
    if (handle >= 0) ::close(handle);
    const CConsoleGate::Lines lines = m_gate->TakeLines(address, platform::TickCount64());
    if (lines == CConsoleGate::Lines::LEAVE_OUT) return nullptr;
    if (admission == CConsoleGate::Admission::ADDRESS_FULL)
      Log(LOG_ERROR, "Console connection from %s refused: log-ins from that address already under way",
          address.c_str());
    else
      Log(LOG_ERROR, "Console connection from %s refused: %zu log-ins already under way", address.c_str(),
          CConsoleGate::kMaxWaiting);
    if (lines == CConsoleGate::Lines::WRITE_LAST) Log(LOG_ERROR, kStrangerLinesLeftOut, address.c_str());
    return nullptr;
  }
  return std::make_shared<CRemoteControlSession>(shared_from_this(), handle, m_gate, address);
}

// ---- CRemoteControlSession: start and end ------------------------------------------------------

CRemoteControlSession::CRemoteControlSession(std::shared_ptr<CService> service, int acceptedHandle,
                                             std::shared_ptr<CConsoleGate> gate, CString gateAddress)
    : CTCPSession(std::move(service), acceptedHandle),
      m_gate(std::move(gate)),
      m_gateAddress(std::move(gateAddress)),
      m_place(m_gate ? PLACE_WAITING : PLACE_NONE) {}

CRemoteControlSession::~CRemoteControlSession() { ReleasePlace(); }

void CRemoteControlSession::ReleasePlace() {
  const int place = m_place.exchange(PLACE_NONE);
  if (place != PLACE_NONE && m_gate) m_gate->Release(m_gateAddress, place == PLACE_CONSOLE);
}

void CRemoteControlSession::WaitAfterFailedLogin() {
  const CConsoleGate::Failure failure = m_gate->RecordFailure(m_gateAddress, platform::TickCount64());
  if (failure.report) {
    const CString text = FormatString("%u failed console log-ins from %s - its further log-ins are slowed down",
                                      failure.count, m_gateAddress.c_str());
    platform::eventlog::Report("TrellisEngine", platform::eventlog::kWarning, EVMSG_DEBUG, text);
    Log(kLogFailedAuthorisation, "%s", text.c_str());
  }
  for (uint32_t waited = 0; waited < failure.delayMs && !IsEnding(); waited += kFailureWaitStepMs)
    platform::SleepMs(std::min(kFailureWaitStepMs, failure.delayMs - waited));
}

bool CRemoteControlSession::KeepStrangerLines() {
  if (!m_gate || m_place.load() == PLACE_CONSOLE) return true;
  switch (m_gate->TakeLines(m_gateAddress, platform::TickCount64())) {
    case CConsoleGate::Lines::WRITE: return true;
    case CConsoleGate::Lines::WRITE_LAST: Log(kLogError, kStrangerLinesLeftOut, m_gateAddress.c_str()); return true;
    case CConsoleGate::Lines::LEAVE_OUT:
      // Neither this line nor the session's end lines, in the log or in an audit file.
      SetLog(0, nullptr);
      SetUser(CString(), 0);
      return false;
  }
  return true;
}

bool CRemoteControlSession::InitInstance() {
  try {
    const int h = TakeAcceptedHandle();
    if (IsEnding()) {
      if (h >= 0) ::close(h);
      return true;
    }
    if (h < 0) throw X1SocketException(WSAENOTSOCK);
    m_clientSocket.AttachAccepted(h);
    m_clientSocket.SetSendTimeout(kConsoleSendTimeoutMs);
    SetClient(m_clientSocket.GetPeerAddress(), m_clientSocket.GetPeerPort());
    SetLocalAddress(m_clientSocket.GetLocalAddress());

    // The console proves its user before anything of it reaches the machine table.
    X1Link& link = SetHandshake(m_clientSocket, LINK_CLIENT_CONSOLE, false, false, CString(), CString());
    link.SetUserLookup([](const CString& name, CString* password) {
      CSessionHost* host = GetSessionHost();
      CGroupMemberDatabase* users = host ? host->GetUserDatabase() : nullptr;
      if (!users) return LinkUserState::NoSuchUser;
      CLockGuard g(*users);
      auto user = users->FindUser(name);
      if (!user) return LinkUserState::NoSuchUser;
      CLockGuard ug(*user);
      if (!user->AccountEnabled) return LinkUserState::Disabled;
      *password = user->Password;
      return LinkUserState::Found;
    });
    if (m_gate) link.SetFailureWait([this] { WaitAfterFailedLogin(); });
    link.ServerHandshake(m_clientSocket);
    const CString user = link.GetUserName();
    if (m_gate) {
      if (!m_gate->Promote(m_gateAddress)) {
        m_clientSocket.Close();
        Log(kLogError, "Console connection refused: %zu consoles already connected",
            CRemoteControlService::kMaxConsoles);
        Terminate(kSessionExitRefused);
        return true;
      }
      m_place = PLACE_CONSOLE;
    }

    const bool hadNumber = GetSessionNumber() != 0;
    CSessionHost* host = GetSessionHost();
    auto self = SelfPtr();
    const bool attached = !hadNumber && host && self && host->GetMachineMap().AttachSession(self, host);
    // The console's identity is this session's alone; the machine keeps what the engine assumes
    // for the address.
    SetUser(user, kLevelAuthenticated);
    if (IsEnding()) return true;
    if (host) {
      if (attached) {
        NotifyAdded();
      } else if (hadNumber) {
        host->NotifyControllers(kNotifySessionChanged, GetClientAddress(), FormatString("%u", GetSessionNumber()),
                                GetDescription());
      }
    }
    const CString description = GetDescription();
    Audit(kAuditCreated, "%s", description.c_str());
    Log(kLogCreated, "%s", description.c_str());
    m_clientSocket.AsyncSelect(FD_READ | FD_CLOSE);
    m_clientSocket.ArmAsyncSelect();
    OnStart();
  } catch (const X1SocketException& e) {
    m_clientSocket.Close();
    if (KeepStrangerLines())
      Log(kLogError, "Caught socket exception in CRemoteControlSession::InitInstance() %s - terminating",
          e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    if (KeepStrangerLines())
      Log(kLogError, "Caught unknown exception in CRemoteControlSession::InitInstance() - terminating");
    Terminate(kSessionExitRefused);
  }
  return true;
}

void CRemoteControlSession::OnStart() { CheckLogin(); }

void CRemoteControlSession::SendAccessDenied() {
  // Sent on this thread now: a queued message would never go out, since the session ends before
  // its queue is served again.
  SendNow(RC_NOTIFY_OPERATOR_MESSAGE, "Access Denied", "You are not allowed to log in");
}

void CRemoteControlSession::CheckLogin() {
  const CString name = GetUserName();
  if (DecideRights(AccessStage::Accept) == AccessResult::Refused) {
    try {
      SendAccessDenied();
    } catch (...) {
      // The console may have gone already; the refusal is logged and the session ends below.
    }
    Audit(kAuditFailedAuthorisation, "User %s cannot log in - Access denied", name.c_str());
    Log(kLogFailedAuthorisation, "User %s cannot log in - Access denied", name.c_str());
    Terminate(kExitLoginRefused);
    return;
  }
  CSessionHost* host = GetSessionHost();
  CGroupMemberDatabase* users = host ? host->GetUserDatabase() : nullptr;
  bool mustChange = false;
  bool found = false;
  if (users) {
    CLockGuard g(*users);
    if (auto user = users->FindUser(name)) {
      CLockGuard ug(*user);
      found = true;
      mustChange = user->UserMustChangePassword != 0;
    }
  }
  if (!found) {
    Log(kLogFailedAuthorisation, "User cannot log in - no such user");
    Terminate(kExitLoginRefused);
    return;
  }
  QueueNotification(mustChange ? RC_NOTIFY_MUST_CHANGE_PASSWORD : RC_NOTIFY_LOGGED_IN, CString(), CString(), CString());
  Audit(kAuditLoggedIn, "Logged in");
}

void CRemoteControlSession::OnClose(platform::Message& msg) {
  if (m_clientSocket.TakeEvent(msg)) Terminate(0);
}

void CRemoteControlSession::OnEnd() {
  ReleasePlace();
  TheEngine()->RemoveMonitor(this);
  Audit(kAuditLoggedOut, "Logged out");
}

// ---- Outgoing ----------------------------------------------------------------------------------

bool CRemoteControlSession::QueueNotification(uint32_t code, const CString& text1, const CString& text2,
                                              const CString& text3) {
  if (IsEnding() || HasEnded()) return false;
  if (m_queued.load() >= kMaxQueuedNotifications) {
    // The console stopped reading; it is dropped rather than letting the engine's memory fill.
    Log(kLogError, "Console does not read its notifications - terminating");
    Terminate(kSessionExitRefused);
    return false;
  }
  ++m_queued;
  auto payload =
      std::make_unique<OutgoingMessage>(CTLRCPMessage(static_cast<uint16_t>(code), text1, text2, text3));
  if (!Post(platform::WM_RC_OUTGOING, 0, std::move(payload))) {
    --m_queued;
    return false;
  }
  return true;
}

void CRemoteControlSession::OnMessage(platform::Message& msg) {
  if (msg.message == platform::WM_RC_OUTGOING) {
    --m_queued;
    auto* out = dynamic_cast<OutgoingMessage*>(msg.payload.get());
    if (!out || IsEnding()) return;
    try {
      ProcessOutgoingMessage(out->message);
    } catch (const X1SocketException& e) {
      Log(kLogError, "Caught socket exception in CRemoteControlSession::ProcessOutgoingMessage() %s - terminating",
          e.GetText().c_str());
      Terminate(kSessionExitRefused);
    } catch (...) {
      Log(kLogError, "Caught unknown exception in CRemoteControlSession::ProcessOutgoingMessage() - terminating");
      Terminate(kSessionExitRefused);
    }
    return;
  }
  if (msg.message == platform::WM_TIMER) return;
  CTCPSession::OnMessage(msg);
}

void CRemoteControlSession::SendNow(uint16_t code, const CString& text1, const CString& text2, const CString& text3) {
  SendRCPMessage(m_clientSocket, code, text1, text2, text3);
}

void CRemoteControlSession::Reply(uint16_t code, const CString& text1) { SendNow(code, text1); }

void CRemoteControlSession::ProcessOutgoingMessage(const CTLRCPMessage& message) {
  const uint16_t code = message.m_code;
  const RCNotificationInfo* info = FindRCNotification(code);
  // A console sees changes of a kind only while it holds the right to see that kind.
  if (info && info->right >= 0 && !HasSystemRight(info->right)) return;
  auto engine = TheEngine();
  // The objects are resolved now; a notification whose object has gone is dropped (its deletion
  // is announced by its own code), so the console never waits for a frame that does not come.
  std::vector<std::vector<uint8_t>> frames;
  switch (code) {
    case RC_NOTIFY_USER_ADDED:
    case RC_NOTIFY_USER_CHANGED: {
      auto user = engine->Users().FindUser(message.m_text1);
      if (!user) return;
      frames.push_back(BuildFrame(*PublicCopy(*user)));
      break;
    }
    case RC_NOTIFY_GROUP_ADDED:
    case RC_NOTIFY_GROUP_CHANGED: {
      auto group = engine->Users().FindGroup(message.m_text1);
      if (!group) return;
      frames.push_back(BuildFrame(*GroupCopy(*group)));
      break;
    }
    case RC_NOTIFY_SERVICE_ADDED:
    case RC_NOTIFY_SERVICE_CHANGED: {
      auto service = engine->GetServiceManager().FindService(message.m_text1);
      if (!service) return;
      frames.push_back(BuildTaggedFrame(service->Settings()));
      break;
    }
    case RC_NOTIFY_POLICIES_CHANGED:
      ForEachConsoleRight(*engine, [&](CRight& right) { frames.push_back(BuildFrame(right)); });
      break;
    case RC_NOTIFY_ASSUMPTIONS_CHANGED:
      frames.push_back(BuildFrame(engine->GetLocations()));
      frames.push_back(BuildFrame(engine->GetMachineNameMap()));
      break;
    case RC_NOTIFY_MACHINE_ADDED:
    case RC_NOTIFY_MACHINE_CHANGED: {
      auto machine = engine->GetMachineMap().Find(message.m_text1);
      if (!machine) return;
      frames.push_back(BuildFrame(*machine));
      break;
    }
    case RC_NOTIFY_CACHE_CHANGED: {
      auto cache = TheEngine()->GetWWWCache();
      if (!cache) return;
      frames.push_back(BuildFrame(*cache));
      break;
    }
    case RC_NOTIFY_DIALER_CHANGED: {
      auto dialer = engine->GetDialer();
      if (!dialer) return;
      frames.push_back(BuildFrame(*dialer));
      break;
    }
    case RC_NOTIFY_SCHEDULER_CHANGED: {
      auto scheduler = engine->GetScheduler();
      if (!scheduler) return;
      frames.push_back(BuildFrame(static_cast<CSchedulerSettings&>(*scheduler)));
      break;
    }
    default:
      break;
  }
  SendNow(code, message.m_text1, message.m_text2, message.m_text3);
  for (const auto& f : frames) SendFrameBytes(m_clientSocket, f);
  if (code == RC_NOTIFY_LOGGED_IN) m_loggedIn = true;
}

// ---- Requests ----------------------------------------------------------------------------------

bool CRemoteControlSession::HasSystemRight(int32_t code) {
  auto engine = TheEngine();
  CRight* right = engine->GetRight(code);
  if (!right) return false;
  // The request is known: ban and request restrictions apply, and one this engine cannot evaluate
  // refuses.
  return right->IsGranted(ConsoleAccessRequest(), engine->GetAccessContext(), AccessStage::Request);
}

AccessRequest CRemoteControlSession::ConsoleAccessRequest() {
  AccessRequest request;
  request.userName = GetUserName();
  request.level = kLevelAuthenticated;
  request.authenticatedLevel = kLevelAuthenticated;
  uint32_t address = 0;
  if (TryParseIPAddress(GetClientAddress(), &address)) request.clientAddress = address;
  request.variables = this;
  return request;
}

bool CRemoteControlSession::HasRights(const CTLRCPMessage& message) {
  try {
    const RCRequestInfo* info = FindRCRequest(message.m_code);
    if (!info) return false;
    auto engine = TheEngine();
    {
      auto user = engine->Users().FindUser(GetUserName());
      if (!user) return false;
      CLockGuard g(*user);
      if (!user->AccountEnabled) return false;
    }
    if (message.m_code != RC_REQ_CHANGE_PASSWORD && !m_loggedIn) return false;
    if (info->optional && !ServesOptionalRequest(message.m_code)) return false;
    const CString& t1 = message.m_text1;
    switch (message.m_code) {
      case RC_REQ_DELETE_USER:
        if (IsBuiltInUser(t1)) return false;
        break;
      case RC_REQ_DELETE_GROUP:
        if (IsBuiltInGroup(t1)) return false;
        break;
      case RC_REQ_DELETE_SERVICE:
        if (t1 == kRemoteControlServiceName) return false;
        break;
      case RC_REQ_START_STOP_SERVICE:
        // The consoles' own service is not stopped from a console: nothing could start it again.
        if (t1 == kRemoteControlServiceName && message.m_text2 == "0") return false;
        break;
      default: break;
    }
    switch (info->right) {
      case RC_RIGHT_NONE: return true;
      case RC_RIGHT_OWN_USER: return t1 == GetUserName();
      case RC_RIGHT_SERVICE_EDIT:
      case RC_RIGHT_SERVICE_START_STOP: {
        auto service = engine->GetServiceManager().FindService(t1);
        if (!service) return false;
        const CRight& right = info->right == RC_RIGHT_SERVICE_EDIT ? service->Settings().EditRights
                                                                  : service->Settings().StartStopRights;
        return right.IsGranted(ConsoleAccessRequest(), engine->GetAccessContext(), AccessStage::Request);
      }
      default: return HasSystemRight(info->right);
    }
  } catch (...) {
    // Whatever broke the decision, the answer is the safe one: the request is refused (reply 2).
    return false;
  }
}

bool CRemoteControlSession::ServesOptionalRequest(uint16_t code) {
  if (IsCacheRequest(code)) return TheEngine()->GetWWWCache() != nullptr;
  return ServesDialerOrSchedulerRequest(code);
}

bool CRemoteControlSession::IsOwnCommand(const CTLRCPMessage& message) const {
  if (message.m_text1 != GetClientAddress()) return false;
  if (message.m_code == RC_REQ_TERMINATE_MACHINE) return true;
  return message.m_code == RC_REQ_TERMINATE_SESSION && message.m_text2 == FormatString("%u", GetSessionNumber());
}

void CRemoteControlSession::OnRead(platform::Message& msg) {
  if (!m_clientSocket.TakeEvent(msg)) return;
  ResetIdleTimer();
  if (m_clientSocket.BytesAvailable() == 0) return;
  try {
    CTLRCPMessage message;
    ReceiveObject(m_clientSocket, message);
    HandleRequest(message);
  } catch (const CFrameException& e) {
    // Nothing of a broken frame is applied and the stream cannot be trusted after it, so the
    // session ends where a looser reader would go on with half an object ("- terminating").
    if (e.IsTagged()) {
      Log(kLogDebug, "Caught exception in ReceiveUnknownObject\n");
    } else {
      Log(kLogError, "Caught CException in CRemoteControlSession::ReceiveObject() - terminating");
    }
    Log(kLogError, "Bad frame from the console - closing the connection: %s", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (const CFrameSendException& e) {
    Log(kLogError, "Caught SocketException in CRemoteControlSession::SendObject() - terminating");
    Terminate(kSessionExitRefused);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CRemoteControlSession::OnRead() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CRemoteControlSession::OnRead() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CRemoteControlSession::HandleRequest(CTLRCPMessage& message) {
  const CString text = GetCommandText(message);
  if (!HasRights(message)) {
    Reply(RC_REPLY_REFUSED);
    Audit(kAuditFailedAuthorisation, "%s", text.c_str());
    Log(kLogFailedAuthorisation, "%s", text.c_str());
    return;
  }
  Reply(RC_REPLY_ACCEPTED);
  // A command that ends this very session is answered before it is carried out.
  const bool own = IsOwnCommand(message);
  if (own) Reply(RC_REPLY_DONE);
  bool ok = false;
  try {
    ok = ProcessIncomingMessage(message);
  } catch (const CFrameException& e) {
    // All of a malformed frame was read: the console still hears the failure before the close.
    if (e.StreamInStep()) Reply(RC_REPLY_FAILED, kRCInternalErrorText);
    throw;
  } catch (const X1SocketException&) {
    throw;
  } catch (...) {
    // The stream is still in step (frame and socket errors went on above): the console hears
    // reply 4 and the failure is logged below, like a handler that returned false.
    ok = false;
  }
  if (!own) {
    if (ok) {
      Reply(RC_REPLY_DONE);
    } else {
      Reply(RC_REPLY_FAILED, kRCInternalErrorText);
      Log(kLogError, "Internal server error - ignoring");
    }
  }
  // A session its own command ended announces nothing more (it would reappear on other consoles).
  if (IsEnding()) return;
  Audit(kAuditText, "%s", text.c_str());
  Log(kLogRequested, "%s", text.c_str());
  AuditCommand(message, ok);
  if (CSessionHost* host = GetSessionHost())
    host->NotifyControllers(kNotifySessionChanged, GetClientAddress(), FormatString("%u", GetSessionNumber()),
                            GetDescription());
  if (m_shutdownRequested) {
    // The engine's stop ends every session, this one included, and waits for them: it runs on a
    // thread of its own.
    auto engine = TheEngine();
    std::thread([engine] { engine->Shutdown(1); }).detach();
  }
}

void CRemoteControlSession::AuditCommand(const CTLRCPMessage& message, bool ok) {
  const uint16_t code = message.m_code;
  CString description = "Trellis Login: " + GetCommandText(message);
  auto engine = TheEngine();
  std::shared_ptr<CService> service;
  const bool namesService =
      code == RC_REQ_ADD_SERVICE || code == RC_REQ_MODIFY_SERVICE || code == RC_REQ_START_STOP_SERVICE;
  if (namesService) service = engine->GetServiceManager().FindService(message.m_text1);
  if (code == RC_REQ_START_STOP_SERVICE) {
    const uint32_t wanted = message.m_text2 == "0" ? SERVICE_STOPPED : SERVICE_RUNNING;
    const uint32_t state = service ? service->Settings().GetRunningState() : SERVICE_PARTIAL;
    if (!ok || state != wanted) description += " - Failed";
  }
  SetDescription(description);
  if (!ok) return;
  // A service's running state is announced from the service itself, not from the request's texts.
  if (const RCRequestInfo* info = FindRCRequest(code); info && info->forwardAs && code != RC_REQ_START_STOP_SERVICE)
    engine->NotifyControllers(info->forwardAs, message.m_text1, message.m_text2, message.m_text3);
  if (namesService && service)
    engine->NotifyControllers(RC_NOTIFY_SERVICE_STATE, message.m_text1,
                              FormatString("%i", static_cast<int>(service->Settings().GetRunningState())), CString());
  if (code == RC_REQ_SHUTDOWN) m_shutdownRequested = true;
}

bool CRemoteControlSession::ProcessIncomingMessage(CTLRCPMessage& message) {
  switch (message.m_code) {
    case RC_REQ_GET_SYSTEM_INFO:
    case RC_REQ_SAVE_CONFIGURATION:
    case RC_REQ_RELOAD_CONFIGURATION:
    case RC_REQ_CHANGE_PASSWORD:
    case RC_REQ_SHUTDOWN: return SystemRequest(message);

    case RC_REQ_GET_USERS:
    case RC_REQ_UPLOAD_USERS:
    case RC_REQ_ADD_USER:
    case RC_REQ_DELETE_USER:
    case RC_REQ_MODIFY_USER:
    case RC_REQ_ADD_GROUP:
    case RC_REQ_DELETE_GROUP:
    case RC_REQ_MODIFY_GROUP: return UserRequest(message);

    case RC_REQ_GET_SERVICES:
    case RC_REQ_UPLOAD_SERVICES:
    case RC_REQ_ADD_SERVICE:
    case RC_REQ_DELETE_SERVICE:
    case RC_REQ_MODIFY_SERVICE:
    case RC_REQ_START_STOP_SERVICE: return ServiceRequest(message);

    case RC_REQ_GET_POLICIES:
    case RC_REQ_UPLOAD_POLICIES:
    case RC_REQ_MODIFY_POLICIES:
    case RC_REQ_GET_ASSUMPTIONS:
    case RC_REQ_MODIFY_ASSUMPTIONS: return RightsRequest(message);

    case RC_REQ_GET_ACTIVITY:
    case RC_REQ_TERMINATE_MACHINE:
    case RC_REQ_TERMINATE_SESSION:
    case RC_REQ_REGISTER_ALL:
    case RC_REQ_REGISTER_ALERTS:
    case RC_REQ_REGISTER_MESSAGES:
    case RC_REQ_REGISTER_ACTIVITY:
    case RC_REQ_REGISTER_DIALER:
    case RC_REQ_SEND_MESSAGE:
    case RC_REQ_SEND_SIGNAL: return ActivityRequest(message);

    case RC_REQ_GET_CACHE:
    case RC_REQ_UPDATE_CACHE:
    case RC_REQ_PURGE_CACHE:
    case RC_REQ_REMOVE_CACHE_ENTRY:
    case RC_REQ_REBUILD_CACHE_INDEX: return CacheRequest(message);

    case RC_REQ_GET_DIALER:
    case RC_REQ_UPLOAD_DIALER:
    case RC_REQ_MODIFY_DIALER:
    case RC_REQ_DIAL_OR_HANG_UP: return DialerRequest(message);

    case RC_REQ_GET_SCHEDULER:
    case RC_REQ_UPDATE_SCHEDULER:
    case RC_REQ_RUN_SCHEDULE_EVENT: return SchedulerRequest(message);

    // The codes without an effect.
    default: return true;
  }
}
