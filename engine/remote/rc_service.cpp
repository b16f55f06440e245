#include "engine/remote/rc_service.h"

#include <unistd.h>

#include <array>
#include <mutex>
#include <thread>

#include "engine/access/location.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/proxy/www/www_cache.h"
#include "engine/core/machine.h"
#include "engine/core/service_manager.h"
#include "engine/remote/frame.h"
#include "engine/remote/link.h"

TL_IMPLEMENT_DYNAMIC(CRemoteControlSession, CTCPSession)

namespace {

// A "CRemoteControlService" read from the registry or a console's frame is the running service here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CRemoteControlServiceSettings), &MakeRunningService<CRemoteControlService>);

// A console that stops reading must not hold its session thread in a send for ever.
constexpr int kConsoleSendTimeoutMs = 30000;

struct OutgoingMessage : platform::MsgPayload {
  explicit OutgoingMessage(CTLRCPMessage m) : message(std::move(m)) {}
  CTLRCPMessage message;
};

CString UserKey(const CString& name) { return CString(kUserDatabaseKey) + "\\" + name; }

// A session number as the console writes it: decimal digits only, no sign, fits 32 bits.
bool ParseDecimal(const CString& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool IsBuiltInUser(const CString& name) { return name == "Administrator" || name == "Guest"; }
bool IsBuiltInGroup(const CString& name) { return name == "Administrators" || name == "Users"; }

// What the engine sends of a user: everything but the password.
std::shared_ptr<CUser> PublicCopy(const CUser& user) {
  std::shared_ptr<CUser> copy;
  {
    CLockGuard g(user);
    copy = std::make_shared<CUser>(user);
  }
  copy->Password = kRCPasswordUnchanged;
  return copy;
}

std::shared_ptr<CGroup> GroupCopy(const CGroup& group) {
  CLockGuard g(group);
  return std::make_shared<CGroup>(group);
}

// The archived form of an object, for comparing two services' settings.
std::vector<uint8_t> ArchivedForm(CObject& obj) {
  CArchive ar(CArchive::store);
  obj.Serialize(ar);
  return ar.TakeBytes();
}

// Copies the archived settings of one service into a fresh object of its class, so a replacement
// starts from everything the live one holds and the frame then changes what it carries.
std::shared_ptr<CService> FreshCopy(CService& live) {
  auto fresh = CServiceManager::CreateService(live.Settings().GetRuntimeClass()->m_lpszClassName);
  if (!fresh) return nullptr;
  std::vector<uint8_t> bytes = ArchivedForm(live.Settings());
  CArchive ar(bytes.data(), bytes.size());
  fresh->Settings().Serialize(ar);
  return fresh;
}

// Puts a new service object in the place of the live one: the old listeners close, the new object
// enters the manager under its lock, and it listens in its stead when the old one was running.
// Sessions of the old object finish with the settings they started with.
void SwapService(CServiceManager& manager, const std::shared_ptr<CService>& live,
                 const std::shared_ptr<CService>& fresh) {
  const bool wasRunning = live->Settings().GetRunningState() != SERVICE_STOPPED;
  live->Stop();
  live->CloseLogFile();
  {
    CLockGuard g(fresh->Settings());
    fresh->Settings().RestartNeeded = 0;
  }
  {
    CLockGuard g(manager);
    manager.RemoveService(live->Settings().GetName());
    manager.AddService(fresh);
  }
  fresh->OpenLogFile();
  if (wasRunning) fresh->Start();
  fresh->Log(LOG_CONFIGURATION, "Service configuration changed by a console");
}

// The console always deals in all 13 rights; right 11 has no meaning, so a default one with its
// number stands in for any the engine does not hold.
template <class Fn>
void ForEachConsoleRight(CTrellisEngine& engine, Fn&& fn) {
  CRight placeholder;
  for (int32_t i = 0; i < kRCRightCount; ++i) {
    CRight* right = engine.GetRight(i);
    if (!right) {
      placeholder.RightType = i;
      right = &placeholder;
    }
    fn(*right);
  }
}

enum class StoreMode { Add, Modify, Upload };

// Applies a user received from a console. Counters and the audit file stay the engine's; the
// password stays when the console sent the "unchanged" mark. Add refuses an existing name; Modify
// of an unknown name drops the user (true: the frame was read and nothing is wrong).
bool StoreUser(CGroupMemberDatabase& db, const CString& name, const CUser& in, StoreMode mode) {
  if (!IsValidObjectName(name)) return false;
  CLockGuard g(db);
  auto existing = db.Find(name);
  auto live = db.FindUser(name);
  if (mode == StoreMode::Add && existing) return false;
  if (mode == StoreMode::Modify && !live) return true;
  if (existing && !live) return false;  // a group of that name
  if (live) {
    CLockGuard ul(*live);
    const CString password = live->Password;
    const uint64_t cs = live->ClientSendTraffic, cr = live->ClientRecvTraffic, ns = live->NonClientSendTraffic,
                   nr = live->NonClientRecvTraffic, t = live->TimeOnLine;
    const CCurrency closing = live->ClosingBalance;
    *live = in;
    live->Name = name;
    if (in.Password == kRCPasswordUnchanged) live->Password = password;
    live->ClientSendTraffic = cs;
    live->ClientRecvTraffic = cr;
    live->NonClientSendTraffic = ns;
    live->NonClientRecvTraffic = nr;
    live->TimeOnLine = t;
    live->ClosingBalance = closing;
    const bool ok = live->SaveToRegistry(UserKey(name));
    live->OpenAuditFile();
    return ok;
  }
  auto user = std::make_shared<CUser>(in);
  user->Name = name;
  if (in.Password == kRCPasswordUnchanged) user->Password.clear();
  user->ClientSendTraffic = user->ClientRecvTraffic = user->NonClientSendTraffic = user->NonClientRecvTraffic = 0;
  user->TimeOnLine = 0;
  user->ClosingBalance = user->OpeningBalance;
  if (!db.Add(user)) return false;
  user->OpenAuditFile();
  return true;
}

bool StoreGroup(CGroupMemberDatabase& db, const CString& name, const CGroup& in, StoreMode mode) {
  if (!IsValidObjectName(name)) return false;
  CLockGuard g(db);
  auto existing = db.Find(name);
  auto live = db.FindGroup(name);
  if (mode == StoreMode::Add && existing) return false;
  if (mode == StoreMode::Modify && !live) return true;
  if (existing && !live) return false;  // a user of that name
  if (live) {
    {
      CLockGuard gl(*live);
      *live = in;
      live->Name = name;
    }
    return live->SaveToRegistry(UserKey(name));
  }
  auto group = std::make_shared<CGroup>(in);
  group->Name = name;
  return db.Add(group);
}

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
  if (GetSessionCount() >= kMaxConsoles) {
    if (handle >= 0) ::close(handle);
    Log(LOG_ERROR, "Console connection refused: %zu consoles already connected", kMaxConsoles);
    return nullptr;
  }
  return std::make_shared<CRemoteControlSession>(shared_from_this(), handle);
}

// ---- CRemoteControlSession: start and end ------------------------------------------------------

CRemoteControlSession::CRemoteControlSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTCPSession(std::move(service), acceptedHandle) {}

CRemoteControlSession::~CRemoteControlSession() = default;

bool CRemoteControlSession::InitInstance() {
  try {
    const int h = TakeAcceptedHandle();
    if (IsEnding()) {
      if (h >= 0) ::close(h);
      return true;
    }
    if (h < 0) throw X1SocketException(WSAENOTSOCK);
    m_clientSocket.Attach(h);
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
    link.ServerHandshake(m_clientSocket);
    const CString user = link.GetUserName();

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
    Log(kLogError, "Caught socket exception in CRemoteControlSession::InitInstance() %s - terminating",
        e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
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
  if (CheckRights(AccessStage::Accept) == AccessResult::Refused) {
    Log(kLogFailedAuthorisation, "User %s cannot log in - Access denied", name.c_str());
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
    Terminate(kSessionExitEndTime);
    return;
  }
  QueueNotification(mustChange ? RC_NOTIFY_MUST_CHANGE_PASSWORD : RC_NOTIFY_LOGGED_IN, CString(), CString(), CString());
  Audit(kAuditLoggedIn, "Logged in");
}

void CRemoteControlSession::OnClose(platform::Message& msg) {
  if (m_clientSocket.TakeEvent(msg)) Terminate(0);
}

void CRemoteControlSession::OnEnd() {
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
  const uint16_t code = message.m_nCode;
  const RCNotificationInfo* info = FindRCNotification(code);
  // A console sees changes of a kind only while it holds the right to see that kind.
  if (info && info->right >= 0 && !HasSystemRight(info->right)) return;
  auto engine = TheEngine();
  // The objects are resolved now; a notification whose object has gone is dropped (its deletion
  // is announced by its own code), so the console never waits for a frame that does not come.
  std::vector<std::vector<uint8_t>> frames;
  switch (code) {
    case 22:
    case 24: {
      auto user = engine->Users().FindUser(message.m_strText1);
      if (!user) return;
      frames.push_back(BuildFrame(*PublicCopy(*user)));
      break;
    }
    case 25:
    case 27: {
      auto group = engine->Users().FindGroup(message.m_strText1);
      if (!group) return;
      frames.push_back(BuildFrame(*GroupCopy(*group)));
      break;
    }
    case 32:
    case 34: {
      auto service = engine->GetServiceManager().FindService(message.m_strText1);
      if (!service) return;
      frames.push_back(BuildTaggedFrame(service->Settings()));
      break;
    }
    case 42:
      ForEachConsoleRight(*engine, [&](CRight& right) { frames.push_back(BuildFrame(right)); });
      break;
    case 51:
      frames.push_back(BuildFrame(engine->GetLocations()));
      frames.push_back(BuildFrame(engine->GetMachineNameMap()));
      break;
    case 71:
    case 72: {
      auto machine = engine->GetMachineMap().Find(message.m_strText1);
      if (!machine) return;
      frames.push_back(BuildFrame(*machine));
      break;
    }
    case 131: {
      auto cache = TheEngine()->GetWWWCache();
      if (!cache) return;
      frames.push_back(BuildFrame(*cache));
      break;
    }
    case 62:
    case 151:
      return;  // no dialer or scheduler in this engine
    default:
      break;
  }
  SendNow(code, message.m_strText1, message.m_strText2, message.m_strText3);
  for (const auto& f : frames) m_clientSocket.Send(f.data(), f.size());
  if (code == RC_NOTIFY_LOGGED_IN) m_loggedIn = true;
}

// ---- Requests ----------------------------------------------------------------------------------

bool CRemoteControlSession::HasSystemRight(int32_t code) {
  auto engine = TheEngine();
  CRight* right = engine->GetRight(code);
  if (!right) return false;
  return right->IsGranted(ConsoleAccessRequest(), engine->GetAccessContext(), AccessStage::Accept);
}

AccessRequest CRemoteControlSession::ConsoleAccessRequest() {
  AccessRequest request;
  request.userName = GetUserName();
  request.level = kLevelAuthenticated;
  request.authenticatedLevel = kLevelAuthenticated;
  uint32_t address = 0;
  if (TryParseIPAddress(GetClientAddress(), &address)) request.clientAddress = address;
  request.session = this;
  return request;
}

bool CRemoteControlSession::HasRights(const CTLRCPMessage& message) {
  try {
    const RCRequestInfo* info = FindRCRequest(message.m_nCode);
    if (!info) return false;
    auto engine = TheEngine();
    {
      auto user = engine->Users().FindUser(GetUserName());
      if (!user) return false;
      CLockGuard g(*user);
      if (!user->AccountEnabled) return false;
    }
    if (message.m_nCode != 120 && !m_loggedIn) return false;
    if (info->optional) {
      if (message.m_nCode < 130 || message.m_nCode > 134 || !TheEngine()->GetWWWCache()) return false;
    }
    const CString& t1 = message.m_strText1;
    switch (message.m_nCode) {
      case 23:
        if (IsBuiltInUser(t1)) return false;
        break;
      case 26:
        if (IsBuiltInGroup(t1)) return false;
        break;
      case 33:
        if (t1 == kRemoteControlServiceName) return false;
        break;
      case 35:
        // The consoles' own service is not stopped from a console: nothing could start it again.
        if (t1 == kRemoteControlServiceName && message.m_strText2 == "0") return false;
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
        return right.IsGranted(ConsoleAccessRequest(), engine->GetAccessContext(), AccessStage::Accept);
      }
      default: return HasSystemRight(info->right);
    }
  } catch (...) {
    return false;
  }
}

bool CRemoteControlSession::IsOwnCommand(const CTLRCPMessage& message) const {
  if (message.m_strText1 != GetClientAddress()) return false;
  if (message.m_nCode == 73) return true;
  return message.m_nCode == 76 && message.m_strText2 == FormatString("%u", GetSessionNumber());
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
    Log(kLogError, "Bad frame from the console - closing the connection: %s", e.GetText().c_str());
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
  const uint16_t code = message.m_nCode;
  CString description = "Trellis Login: " + GetCommandText(message);
  auto engine = TheEngine();
  std::shared_ptr<CService> service;
  if (code == 32 || code == 34 || code == 35) service = engine->GetServiceManager().FindService(message.m_strText1);
  if (code == 35) {
    const uint32_t wanted = message.m_strText2 == "0" ? SERVICE_STOPPED : SERVICE_RUNNING;
    const uint32_t state = service ? service->Settings().GetRunningState() : SERVICE_PARTIAL;
    if (!ok || state != wanted) description += " - Failed";
  }
  SetDescription(description);
  if (!ok) return;
  if (const RCRequestInfo* info = FindRCRequest(code); info && info->forwardAs && code != 35)
    engine->NotifyControllers(info->forwardAs, message.m_strText1, message.m_strText2, message.m_strText3);
  if ((code == 32 || code == 34 || code == 35) && service)
    engine->NotifyControllers(35, message.m_strText1, FormatString("%i", static_cast<int>(service->Settings().GetRunningState())),
                              CString());
  if (code == 140) m_shutdownRequested = true;
}

bool CRemoteControlSession::ProcessIncomingMessage(CTLRCPMessage& message) {
  auto engine = TheEngine();
  const CString& t1 = message.m_strText1;
  switch (message.m_nCode) {
    case 10:
      SendObject(m_clientSocket, engine->GetSysInfo());
      return true;
    case 12: return engine->SaveConfiguration();
    case 13:
      // Loading over the running tables would double rights and orphan running services; until a
      // stop-and-rebuild reload exists the request fails.
      return false;
    case 20: return SendUsers();
    case 21: return ReceiveUserDatabase();
    case 22: return AddUser(t1);
    case 23: return engine->DeleteUser(t1);
    case 24: return ModifyUser(t1);
    case 25: return AddGroup(t1);
    case 26: return engine->DeleteGroup(t1);
    case 27: return ModifyGroup(t1);
    case 30: return SendServices();
    case 31: return ReceiveServiceManager();
    case 32: return AddService(t1);
    case 33: return DeleteService(t1);
    case 34: return ModifyService(t1);
    case 35: return StartStopService(t1, message.m_strText2);
    case 40: return SendRights();
    case 41:
    case 42: return ReceiveRights();
    case 50: return SendAssumptions();
    case 51: return ReceiveAssumptions();
    case 70: return QueueActivity();
    case 73: {
      auto machine = engine->GetMachineMap().Find(t1);
      if (!machine) return false;
      machine->TerminateAllSessions(kSessionExitIdle);
      return true;
    }
    case 76: {
      auto machine = engine->GetMachineMap().Find(t1);
      uint32_t number = 0;
      if (!machine || !ParseDecimal(message.m_strText2, &number)) return false;
      auto session = machine->FindSession(number);
      if (!session) return false;
      session->Terminate(kSessionExitIdle);
      return true;
    }
    case 80:
    case 81:
    case 82:
    case 83:
    case 84:
      engine->AddMonitor(SelfPtr());
      return true;
    case 91:
      engine->NotifyMonitorsAtAddress(t1, RC_NOTIFY_CONSOLE_MESSAGE, GetClientAddress(), GetUserName(),
                                      message.m_strText2);
      return true;
    case 100:
      engine->NotifyMonitorsAtAddress(t1, RC_NOTIFY_CONSOLE_SIGNAL, GetClientAddress(), GetUserName(), CString());
      return true;
    case 120: return ChangePassword(t1, message.m_strText2, message.m_strText3);
    case 130:
    case 131:
    case 132:
    case 133:
    case 134: return CacheRequest(message);
    default: return true;  // codes without an effect
  }
}

// ---- Users and groups ----------------------------------------------------------------------------

bool CRemoteControlSession::SendUsers() {
  auto engine = TheEngine();
  CGroupMemberDatabase copy;
  {
    CGroupMemberDatabase& users = engine->Users();
    CLockGuard g(users);
    for (const auto& [name, obj] : users) {
      if (auto user = std::dynamic_pointer_cast<CUser>(obj)) {
        copy.Add(PublicCopy(*user), nullptr);
      } else if (auto group = std::dynamic_pointer_cast<CGroup>(obj)) {
        copy.Add(GroupCopy(*group), nullptr);
      }
    }
  }
  SendObject(m_clientSocket, copy);
  return true;
}

bool CRemoteControlSession::ReceiveUserDatabase() {
  auto engine = TheEngine();
  std::vector<uint8_t> payload = ReceiveFramePayload(m_clientSocket);
  CGroupMemberDatabase scratch;
  LoadBareFrame(payload, scratch);
  // The built-in accounts cannot be deleted one by one, nor by a whole upload.
  if (!scratch.FindUser("Administrator") || !scratch.FindUser("Guest") || !scratch.FindGroup("Administrators") ||
      !scratch.FindGroup("Users"))
    return false;
  CGroupMemberDatabase& users = engine->Users();
  // An entry that changes kind (a user replaced by a group) is refused as a whole.
  for (const auto& [name, obj] : scratch.Snapshot()) {
    auto live = users.Find(name);
    if (live && live->GetRuntimeClass() != obj->GetRuntimeClass()) return false;
  }
  bool ok = true;
  for (const auto& name : users.Keys()) {
    if (scratch.Find(name)) continue;
    if (users.FindUser(name)) {
      ok &= engine->DeleteUser(name);
    } else {
      ok &= engine->DeleteGroup(name);
    }
  }
  for (const auto& [name, obj] : scratch.Snapshot()) {
    if (auto user = std::dynamic_pointer_cast<CUser>(obj)) {
      ok &= StoreUser(users, name, *user, StoreMode::Upload);
    } else if (auto group = std::dynamic_pointer_cast<CGroup>(obj)) {
      ok &= StoreGroup(users, name, *group, StoreMode::Upload);
    }
  }
  return ok;
}

bool CRemoteControlSession::AddUser(const CString& name) {
  CUser scratch;
  LoadBareFrame(ReceiveFramePayload(m_clientSocket), scratch);
  return StoreUser(TheEngine()->Users(), name, scratch, StoreMode::Add);
}

bool CRemoteControlSession::ModifyUser(const CString& name) {
  CUser scratch;
  LoadBareFrame(ReceiveFramePayload(m_clientSocket), scratch);
  return StoreUser(TheEngine()->Users(), name, scratch, StoreMode::Modify);
}

bool CRemoteControlSession::AddGroup(const CString& name) {
  CGroup scratch;
  LoadBareFrame(ReceiveFramePayload(m_clientSocket), scratch);
  return StoreGroup(TheEngine()->Users(), name, scratch, StoreMode::Add);
}

bool CRemoteControlSession::ModifyGroup(const CString& name) {
  CGroup scratch;
  LoadBareFrame(ReceiveFramePayload(m_clientSocket), scratch);
  return StoreGroup(TheEngine()->Users(), name, scratch, StoreMode::Modify);
}

bool CRemoteControlSession::ChangePassword(const CString& name, const CString& oldPassword,
                                           const CString& newPassword) {
  auto engine = TheEngine();
  CGroupMemberDatabase& users = engine->Users();
  bool completesLogin = false;
  {
    CLockGuard g(users);
    auto user = users.FindUser(name);
    if (!user) return false;
    CLockGuard ug(*user);
    if (user->UserCannotChangePassword) {
      QueueNotification(RC_NOTIFY_OPERATOR_MESSAGE, "Password change denied",
                        "You do not have permission to\nchange your password", CString());
      return true;
    }
    if (user->Password != oldPassword) {
      QueueNotification(RC_NOTIFY_OPERATOR_MESSAGE, "Invalid Password", "You have specified an invalid old password",
                        CString());
      return true;
    }
    user->Password = newPassword;
    if (user->UserMustChangePassword) {
      user->UserMustChangePassword = 0;
      completesLogin = true;
    }
    if (!user->SaveToRegistry(UserKey(name))) return false;
  }
  if (completesLogin) QueueNotification(RC_NOTIFY_LOGGED_IN, CString(), CString(), CString());
  return true;
}

// ---- Services ---------------------------------------------------------------------------------

bool CRemoteControlSession::SendServices() {
  auto engine = TheEngine();
  std::vector<uint8_t> interfaces = BuildFrame(engine->GetSysInfo().m_interfaces);
  std::vector<uint8_t> services = BuildFrame(engine->GetServiceManager());
  m_clientSocket.Send(interfaces.data(), interfaces.size());
  m_clientSocket.Send(services.data(), services.size());
  return true;
}

bool CRemoteControlSession::AddService(const CString& name) {
  auto obj = ReceiveUnknownObject(m_clientSocket, TL_RUNTIME_CLASS(CServiceSettings));
  auto service = std::dynamic_pointer_cast<CService>(obj);
  if (!service || !CServiceSettings::IsValidName(name)) return false;
  auto engine = TheEngine();
  CServiceManager& manager = engine->GetServiceManager();
  CServiceSettings& settings = service->Settings();
  if (settings.GetName() != name && !settings.SetName(name)) return false;
  {
    CLockGuard g(manager);
    if (manager.FindService(name) || !manager.AddService(service)) return false;
  }
  service->OpenLogFile();
  service->Startup();
  return engine->SaveConfiguration();
}

bool CRemoteControlSession::ModifyService(const CString& name) {
  auto engine = TheEngine();
  CServiceManager& manager = engine->GetServiceManager();
  std::vector<uint8_t> payload = ReceiveFramePayload(m_clientSocket);
  auto live = manager.FindService(name);
  if (!live) return false;
  auto fresh = FreshCopy(*live);
  if (!fresh) return false;
  CServiceSettings& settings = fresh->Settings();
  LoadBareFrame(payload, settings);
  if (settings.GetName() != name && !settings.SetName(name)) return false;
  SwapService(manager, live, fresh);
  return engine->SaveConfiguration();
}

bool CRemoteControlSession::DeleteService(const CString& name) {
  auto engine = TheEngine();
  CServiceManager& manager = engine->GetServiceManager();
  auto service = manager.FindService(name);
  if (!service || !manager.RemoveService(name)) return false;
  service->Shutdown();
  service->CloseLogFile();
  return engine->SaveConfiguration();
}

bool CRemoteControlSession::StartStopService(const CString& name, const CString& operation) {
  auto service = TheEngine()->GetServiceManager().FindService(name);
  if (!service) return false;
  if (operation == "0") {
    service->Stop();
  } else {
    service->Start();
  }
  return true;
}

bool CRemoteControlSession::ReceiveServiceManager() {
  auto engine = TheEngine();
  std::vector<uint8_t> payload = ReceiveFramePayload(m_clientSocket);
  CServiceManager scratch;
  LoadBareFrame(payload, scratch);
  if (!scratch.FindService(kRemoteControlServiceName)) return false;
  CServiceManager& manager = engine->GetServiceManager();
  for (const auto& live : manager.GetServices()) {
    const CString name = live->Settings().GetName();
    if (scratch.FindService(name)) continue;
    if (manager.RemoveService(name)) {
      live->Shutdown();
      live->CloseLogFile();
    }
  }
  for (const auto& incoming : scratch.GetServices()) {
    auto live = manager.FindService(incoming->Settings().GetName());
    if (!live) {
      if (!manager.AddService(incoming)) return false;
      incoming->OpenLogFile();
      incoming->Startup();
      continue;
    }
    // An unchanged service keeps running untouched.
    if (live->Settings().GetRuntimeClass() == incoming->Settings().GetRuntimeClass()) {
      auto before = ArchivedForm(live->Settings());
      auto after = ArchivedForm(incoming->Settings());
      if (before == after) continue;
    }
    SwapService(manager, live, incoming);
  }
  return engine->SaveConfiguration();
}

// ---- Rights, assumptions, activity -------------------------------------------------------------

bool CRemoteControlSession::SendRights() {
  ForEachConsoleRight(*TheEngine(), [&](CRight& right) { SendObject(m_clientSocket, right); });
  return true;
}

bool CRemoteControlSession::ReceiveRights() {
  std::array<CRight, kRCRightCount> scratch;
  for (auto& right : scratch) LoadBareFrame(ReceiveFramePayload(m_clientSocket), right);
  auto engine = TheEngine();
  for (int32_t i = 0; i < kRCRightCount; ++i) {
    CRight* live = engine->GetRight(i);
    if (!live) continue;
    live->CopyFrom(scratch[static_cast<size_t>(i)]);
    live->RightType = i;
  }
  return engine->SaveConfiguration();
}

bool CRemoteControlSession::SendAssumptions() {
  auto engine = TheEngine();
  SendObject(m_clientSocket, engine->GetLocations());
  SendObject(m_clientSocket, engine->GetMachineNameMap());
  return true;
}

bool CRemoteControlSession::ReceiveAssumptions() {
  CLocationArray locations;
  CLockableStringMap names;
  LoadBareFrame(ReceiveFramePayload(m_clientSocket), locations);
  LoadBareFrame(ReceiveFramePayload(m_clientSocket), names);
  auto engine = TheEngine();
  locations.DropUnusable(engine->Users());
  DropUnusableMachineAssumptions(names, engine->Users());
  engine->GetLocations().CopyFrom(locations);
  {
    CLockableStringMap& live = engine->GetMachineNameMap();
    CLockGuard g(live);
    live.RemoveAll();
    for (const auto& [key, value] : names.Snapshot()) live.SetAt(key, value);
  }
  return engine->SaveConfiguration();
}

bool CRemoteControlSession::QueueActivity() {
  for (const auto& machine : TheEngine()->GetMachineMap().Snapshot()) {
    const CString address = machine->GetAddress();
    QueueNotification(kNotifyMachineAdded, address, machine->GetUserName(),
                      FormatString("%u", machine->GetSecurityLevel()));
    for (const auto& session : machine->GetSessions())
      QueueNotification(kNotifySessionAdded, address, FormatString("%u", session->GetSessionNumber()),
                        session->GetDescription());
  }
  return true;
}

// ---- Cache --------------------------------------------------------------------------------------

bool CRemoteControlSession::CacheRequest(const CTLRCPMessage& message) {
  auto cache = TheEngine()->GetWWWCache();
  if (!cache) return false;
  switch (message.m_nCode) {
    case 130:
      SendObject(m_clientSocket, *cache);
      return true;
    case 131: {
      std::vector<uint8_t> payload = ReceiveFramePayload(m_clientSocket);
      {
        // Checked whole on a scratch cache first; only a complete, valid form reaches the live one.
        CWWWCacheSettings scratch;
        LoadBareFrame(payload, scratch);
      }
      LoadBareFrame(payload, *cache);
      return cache->Save(kCacheKey);
    }
    case 132: return cache->StartPurgeThread();
    case 133: cache->RemoveURL(message.m_strText1); return true;
    case 134: return cache->StartVerifyThread();
    default: return false;
  }
}
