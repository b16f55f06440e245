#include "console/model/lookout_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "console/model/console_texts.h"
#include "engine/config/interface.h"
#include "engine/remote/frame.h"
#include "engine/remote/rc_codes.h"

namespace {

// A frame that does not hold what its code says: the message it came with is skipped whole.
class LoadFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <class T>
std::shared_ptr<T> LoadBare(const FramePayload& payload) {
  auto obj = std::make_shared<T>();
  LoadBareFrame(payload, *obj);
  return obj;
}

// A whole collection: a load the collection itself reports as incomplete is a failure too.
void CheckComplete(const CLockableCollection& c) {
  if (!c.LastLoadComplete()) throw LoadFailure(c.LastLoadError());
}

std::shared_ptr<CLockableMap> NewServiceMap() {
  auto m = std::make_shared<CLockableMap>();
  m->SetElementClass(TL_RUNTIME_CLASS(CServiceSettings));
  return m;
}

std::shared_ptr<CLockableMap> NewInterfaceMap() {
  auto m = std::make_shared<CLockableMap>();
  m->SetElementClass(TL_RUNTIME_CLASS(CInterface));
  return m;
}

// "%u" without sign, spaces or trailing bytes; false otherwise.
bool ParseUnsigned(const CString& text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t next = v * 10 + static_cast<uint64_t>(c - '0');
    if (next < v) return false;
    v = next;
  }
  *out = v;
  return true;
}

// Fields separated by single spaces, each "%u".
bool ParseUnsignedList(const CString& text, size_t count, std::vector<uint64_t>* out) {
  out->clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find(' ', start);
    const CString field = text.substr(start, end == CString::npos ? CString::npos : end - start);
    uint64_t v = 0;
    if (!ParseUnsigned(field, &v)) return false;
    out->push_back(v);
    if (end == CString::npos) break;
    start = end + 1;
  }
  return out->size() == count;
}

SessionView ViewOf(const CString& address, const MachineMirror& machine, const SessionMirror& s) {
  SessionView v;
  v.address = address;
  v.number = s.number;
  v.description = s.description;
  v.userName = s.userName;
  v.level = s.level;
  (void)machine;
  return v;
}

}  // namespace

// ---- Tables -------------------------------------------------------------------------------------

const std::vector<uint16_t>& FirstRequests() {
  static const std::vector<uint16_t> kFirst = {RC_REQ_GET_USERS,     RC_REQ_GET_SERVICES, RC_REQ_GET_ASSUMPTIONS,
                                               RC_REQ_GET_POLICIES,  RC_REQ_GET_CACHE,    RC_REQ_GET_DIALER,
                                               RC_REQ_GET_SCHEDULER, RC_REQ_GET_ACTIVITY, RC_REQ_REGISTER_ALL};
  return kFirst;
}

bool RequestChangesConfiguration(uint16_t code) {
  switch (code) {
    case RC_REQ_UPLOAD_USERS:
    case RC_REQ_ADD_USER:
    case RC_REQ_DELETE_USER:
    case RC_REQ_MODIFY_USER:
    case RC_REQ_ADD_GROUP:
    case RC_REQ_DELETE_GROUP:
    case RC_REQ_MODIFY_GROUP:
    case RC_REQ_UPLOAD_SERVICES:
    case RC_REQ_ADD_SERVICE:
    case RC_REQ_DELETE_SERVICE:
    case RC_REQ_MODIFY_SERVICE:
    case RC_REQ_UPLOAD_POLICIES:
    case RC_REQ_MODIFY_POLICIES:
    case RC_REQ_MODIFY_ASSUMPTIONS:
    case RC_REQ_UPLOAD_DIALER:
    case RC_REQ_MODIFY_DIALER:
    case RC_REQ_UPDATE_CACHE:
    case RC_REQ_UPDATE_SCHEDULER: return true;
    default: return false;
  }
}

bool RefusalIsSilent(uint16_t code) {
  switch (code) {
    case RC_REQ_GET_SYSTEM_INFO:
    case RC_REQ_GET_USERS:
    case RC_REQ_GET_SERVICES:
    case RC_REQ_GET_POLICIES:
    case RC_REQ_GET_ASSUMPTIONS:
    case RC_REQ_GET_DIALER:
    case RC_REQ_GET_ACTIVITY:
    case RC_REQ_REGISTER_ALL:
    case RC_REQ_GET_CACHE:
    case RC_REQ_GET_SCHEDULER: return true;
    default: return false;
  }
}

// ---- Mirrors ------------------------------------------------------------------------------------

ConsoleMirrors::ConsoleMirrors() { Clear(); }

void ConsoleMirrors::Clear() {
  users = std::make_shared<CGroupMemberDatabase>();
  interfaces = NewInterfaceMap();
  services = NewServiceMap();
  rights.clear();
  locations = std::make_shared<CLocationArray>();
  machineNames = std::make_shared<CLockableStringMap>();
  cache.reset();
  dialer.reset();
  scheduler.reset();
  machines.clear();
}

// ---- The bridge from the session thread ---------------------------------------------------------

class CLookoutClient::Sink : public ISessionSink {
 public:
  Sink(PostFn post, std::weak_ptr<CLookoutClient*> client) : m_post(std::move(post)), m_client(std::move(client)) {}
  void Deliver(std::unique_ptr<SessionEvent> event) override {
    std::shared_ptr<SessionEvent> shared(std::move(event));
    auto client = m_client;
    m_post([client, shared] {
      // The client may have gone while the event travelled: then nobody wants it.
      if (auto alive = client.lock()) (*alive)->HandleEvent(*shared);
    });
  }

 private:
  PostFn m_post;
  std::weak_ptr<CLookoutClient*> m_client;
};

CLookoutClient::CLookoutClient(ConsoleUi& ui, PostFn post)
    : m_ui(ui), m_post(std::move(post)), m_alive(std::make_shared<CLookoutClient*>(this)) {
  m_login.server = "localhost";
  m_login.port = 808;
  m_login.user = "Administrator";
}

CLookoutClient::~CLookoutClient() {
  m_alive.reset();
  if (m_session) Stop(2000);
}

bool CLookoutClient::Start() {
  if (m_session) return true;
  X1Socket::InitNotifier();
  m_session = std::make_shared<CLookoutSession>(std::make_shared<Sink>(m_post, m_alive));
  if (!m_session->CreateThread()) {
    m_session.reset();
    return false;
  }
  return true;
}

bool CLookoutClient::Stop(int waitMs) {
  if (!m_session) return true;
  m_session->Cancel();
  m_session->PostQuit();
  const bool ended = m_session->WaitForExit(waitMs);
  // The thread object stays alive while its thread runs (it holds a reference), so letting it go
  // here is safe either way.
  m_session.reset();
  return ended;
}

// ---- Commands -----------------------------------------------------------------------------------

void CLookoutClient::GoOnline() {
  if (!m_session || m_online || m_connecting) return;
  m_connecting = true;
  m_session->Connect(m_login);
}

void CLookoutClient::GoOffline() {
  if (!m_session) return;
  if (m_connecting) m_session->Cancel();
  m_session->Disconnect();
  m_connecting = false;
  m_configChanged = false;
  if (m_online) GoneOffline();
}

uint64_t CLookoutClient::Request(uint16_t code, const CString& text1, const CString& text2, const CString& text3) {
  if (!m_session || !m_online) return 0;
  if (RequestChangesConfiguration(code)) m_configChanged = true;
  if (code == RC_REQ_SAVE_CONFIGURATION) m_configChanged = false;
  const uint64_t id = m_session->Request(CTLRCPMessage(code, text1, text2, text3));
  if (id) ++m_outstanding;
  return id;
}

uint64_t CLookoutClient::QueueObject(uint16_t code, const CString& name, CObject& object, bool tagged) {
  if (!m_session || !m_online) return 0;
  std::vector<std::vector<uint8_t>> uploads;
  uploads.push_back(tagged ? BuildTaggedFrame(object) : BuildFrame(object));
  if (RequestChangesConfiguration(code)) m_configChanged = true;
  const uint64_t id = m_session->Request(CTLRCPMessage(code, name), std::move(uploads));
  if (id) ++m_outstanding;
  return id;
}

uint64_t CLookoutClient::QueueObjects(uint16_t code, const CString& name, const std::vector<CObject*>& objects) {
  if (!m_session || !m_online) return 0;
  std::vector<std::vector<uint8_t>> uploads;
  for (CObject* object : objects) uploads.push_back(BuildFrame(*object));
  if (RequestChangesConfiguration(code)) m_configChanged = true;
  const uint64_t id = m_session->Request(CTLRCPMessage(code, name), std::move(uploads));
  if (id) ++m_outstanding;
  return id;
}

uint64_t CLookoutClient::ChangePassword(const CString& oldPassword, const CString& newPassword) {
  // Off-line nothing is sent, so nothing changes.
  const uint64_t id = Request(RC_REQ_CHANGE_PASSWORD, m_login.user, oldPassword, newPassword);
  if (id) {
    m_passwordRequest = id;
    m_newPassword = newPassword;
  }
  return id;
}

bool CLookoutClient::CommitDialer(std::shared_ptr<CDialerSettings> dialer) {
  if (!dialer) return false;
  m_mirrors.dialer = std::move(dialer);
  return true;
}

uint64_t CLookoutClient::PutAssumptions(std::shared_ptr<CLocationArray> locations,
                                        std::shared_ptr<CLockableStringMap> names) {
  if (!locations || !names) return 0;
  m_mirrors.locations = std::move(locations);
  m_mirrors.machineNames = std::move(names);
  if (!m_session || !m_online) return 0;
  // Both serialised now: the mirrors may be replaced by a notification before the go-ahead.
  std::vector<std::vector<uint8_t>> uploads;
  uploads.push_back(BuildFrame(*m_mirrors.locations));
  uploads.push_back(BuildFrame(*m_mirrors.machineNames));
  m_configChanged = true;
  const uint64_t id = m_session->Request(CTLRCPMessage(RC_REQ_MODIFY_ASSUMPTIONS), std::move(uploads));
  if (id) ++m_outstanding;
  return id;
}

bool CLookoutClient::CommitUserObject(std::shared_ptr<CFilterComponent> obj, uint16_t code) {
  if (!obj) return false;
  const CString name = obj->Name;
  if (!m_mirrors.users->Add(std::move(obj), nullptr)) return false;
  NotifyViews(VIEW_TREE_UPDATE, code, name);
  return true;
}

bool CLookoutClient::CommitService(std::shared_ptr<CServiceSettings> service, uint16_t code) {
  if (!service || !IsValidObjectName(service->GetName())) return false;
  const CString name = service->GetName();
  m_mirrors.services->SetAt(name, std::move(service));
  NotifyViews(VIEW_TREE_UPDATE, code, name);
  return true;
}

void CLookoutClient::CommitCache(std::shared_ptr<CWWWCacheSettings> cache) {
  if (cache) m_mirrors.cache = std::move(cache);
}

bool CLookoutClient::CommitRights(std::vector<std::shared_ptr<CRight>> rights) {
  if (rights.size() != static_cast<size_t>(kRCRightCount)) return false;
  for (const auto& r : rights)
    if (!r) return false;
  m_mirrors.rights = std::move(rights);
  return true;
}

bool CLookoutClient::CommitScheduler(std::shared_ptr<CSchedulerSettings> scheduler) {
  if (!scheduler) return false;
  m_mirrors.scheduler = std::move(scheduler);
  NotifyViews(VIEW_TREE_UPDATE, RC_NOTIFY_SCHEDULER_CHANGED);
  return true;
}

// ---- Events -------------------------------------------------------------------------------------

void CLookoutClient::HandleEvent(const SessionEvent& event) {
  switch (event.kind) {
    case SessionEvent::Connected: OnConnected(event.text); break;
    case SessionEvent::ConnectFailed: OnConnectFailed(event.code, event.text); break;
    case SessionEvent::Lost: OnLost(event); break;
    case SessionEvent::Message: OnMessage(event.message, event.frames); break;
    case SessionEvent::TransactionDone: OnTransactionDone(event); break;
  }
}

void CLookoutClient::OnConnected(const CString& server) {
  m_connecting = false;
  m_online = true;
  m_loggedIn = false;
  m_mustChangePassword = false;
  m_credentialsAccepted = true;
  // This log-in proved the password: an older one has nothing left to come back for.
  m_passwordRevertible = false;
  m_oldPassword.clear();
  m_ui.SetOnline(true, server);
}

void CLookoutClient::OnConnectFailed(uint32_t code, const CString& text) {
  m_connecting = false;
  m_credentialsAccepted = false;
  m_online = false;
  m_ui.SetOnline(false, CString());
  m_ui.MessageBox(kTitleConnectProblem, ConnectErrorText(code, text), MB_STOP);
}

void CLookoutClient::GoneOffline() {
  m_online = false;
  // The session thread drops what was queued for the connection that has gone.
  m_outstanding = 0;
  m_loggedIn = false;
  m_mustChangePassword = false;
  m_passwordRequest = 0;
  m_ui.SetOnline(false, CString());
  NotifyViews(VIEW_ACTIVITY, kViewClear);
  NotifyViews(VIEW_TREE_UPDATE, kViewClear);
  m_mirrors.Clear();
}

void CLookoutClient::OnLost(const SessionEvent& event) {
  m_connecting = false;
  if (!m_online) return;  // Go Off-line has already done it all
  GoneOffline();
  switch (event.reason) {
    case SessionEvent::ClosedByEngine: m_ui.MessageBox(kTitleLookout, kTextConnectionTerminated, MB_STOP); break;
    case SessionEvent::ProtocolError:
      // The stream broke a rule and was closed rather than read out of step: say so and why.
      m_ui.MessageBox(kTitleLookout, CString(kTextConnectionTerminated) + "\n" + event.text, MB_STOP);
      break;
    case SessionEvent::ReadFailed:
    case SessionEvent::Requested: break;
  }
}

void CLookoutClient::NotifyViews(int category, const ViewEvent& event) { m_ui.ViewUpdate(category, event); }

void ConsoleUi::PasswordMustChange() {
  Command(kCommandChangePassword);
  MessageBox(kTitleAuthentication, kTextMustChangePassword, MB_STOP);
}

void CLookoutClient::NotifyViews(int category, uint16_t code, const CString& name) {
  ViewEvent ev;
  ev.code = code;
  ev.name = name;
  m_ui.ViewUpdate(category, ev);
}

void CLookoutClient::OnTransactionDone(const SessionEvent& event) {
  const uint16_t code = event.message.m_code;
  if (m_outstanding) --m_outstanding;
  if (event.reply == 0) return;  // never sent: the connection had gone
  if (event.requestId == m_passwordRequest) {
    m_passwordRequest = 0;
    if (event.reply == RC_REPLY_DONE) {
      // Kept revertible: the engine says only afterwards (message 90) when it refused the change.
      m_oldPassword = m_login.password;
      m_login.password = m_newPassword;
      m_passwordRevertible = true;
    }
    m_newPassword.clear();
  }
  if (event.reply == RC_REPLY_REFUSED) {
    if (!RefusalIsSilent(code)) m_ui.MessageBox(kTitleAuthentication, kTextAccessDenied, MB_STOP);
    return;
  }
  if (event.reply == RC_REPLY_FAILED) {
    m_ui.MessageBox(kTitleServerError, kTextServerError, MB_STOP);
    return;
  }
  try {
    ApplyGet(code, event.frames);
  } catch (const std::exception& e) {
    // The frames were whole (the stream is in step); what they held is not applied.
    ++m_loadFailures;
    std::fprintf(stderr, "lookout: reply to request %u not applied: %s\n", code, e.what());
  }
}

void CLookoutClient::ApplyGet(uint16_t code, const std::vector<FramePayload>& frames) {
  auto need = [&](size_t n) {
    if (frames.size() != n) throw LoadFailure("wrong number of frames");
  };
  switch (code) {
    case RC_REQ_GET_USERS: {
      need(1);
      auto users = LoadBare<CGroupMemberDatabase>(frames[0]);
      CheckComplete(*users);
      m_mirrors.users = users;
      break;
    }
    case RC_REQ_GET_SERVICES: {
      need(2);
      auto interfaces = NewInterfaceMap();
      LoadBareFrame(frames[0], *interfaces);
      CheckComplete(*interfaces);
      auto services = NewServiceMap();
      LoadBareFrame(frames[1], *services);
      CheckComplete(*services);
      m_mirrors.interfaces = interfaces;
      m_mirrors.services = services;
      break;
    }
    case RC_REQ_GET_POLICIES: {
      need(kRCRightCount);
      std::vector<std::shared_ptr<CRight>> rights;
      for (const auto& f : frames) rights.push_back(LoadBare<CRight>(f));
      m_mirrors.rights = std::move(rights);
      break;
    }
    case RC_REQ_GET_ASSUMPTIONS: {
      need(2);
      auto locations = LoadBare<CLocationArray>(frames[0]);
      CheckComplete(*locations);
      auto names = LoadBare<CLockableStringMap>(frames[1]);
      CheckComplete(*names);
      m_mirrors.locations = locations;
      m_mirrors.machineNames = names;
      break;
    }
    case RC_REQ_GET_CACHE: {
      need(1);
      m_mirrors.cache = LoadBare<CWWWCacheSettings>(frames[0]);
      break;
    }
    case RC_REQ_GET_ACTIVITY:
      // The engine announces every machine and session again right after this reply.
      m_mirrors.machines.clear();
      NotifyViews(VIEW_ACTIVITY, kViewClear);
      return;
    case RC_REQ_GET_DIALER: {
      need(1);
      m_mirrors.dialer = LoadBare<CDialerSettings>(frames[0]);
      break;
    }
    case RC_REQ_GET_SCHEDULER: {
      need(1);
      auto scheduler = LoadBare<CSchedulerSettings>(frames[0]);
      CheckComplete(scheduler->Events);
      m_mirrors.scheduler = scheduler;
      break;
    }
    default: return;
  }
  NotifyViews(VIEW_TREE_UPDATE, code);
}

void CLookoutClient::OnMessage(const CTLRCPMessage& m, const std::vector<FramePayload>& frames) {
  try {
    const uint16_t code = m.m_code;
    auto frame = [&](size_t i) -> const FramePayload& {
      if (i >= frames.size()) throw LoadFailure("missing frame");
      return frames[i];
    };
    switch (code) {
      case RC_NOTIFY_LOGGED_IN:
        m_loggedIn = true;
        m_mustChangePassword = false;
        for (uint16_t r : FirstRequests()) Request(r);
        return;
      case RC_NOTIFY_MUST_CHANGE_PASSWORD:
        m_mustChangePassword = true;
        m_ui.PasswordMustChange();
        return;
      case RC_NOTIFY_USER_ADDED:
      case RC_NOTIFY_GROUP_ADDED: {
        std::shared_ptr<CFilterComponent> obj;
        if (code == RC_NOTIFY_USER_ADDED)
          obj = LoadBare<CUser>(frame(0));
        else
          obj = LoadBare<CGroup>(frame(0));
        const CString name = obj->Name;
        // Replaces an entry of that name: the tree updates its entry instead of adding a second.
        if (!m_mirrors.users->Add(obj, nullptr)) throw LoadFailure("user or group refused by the mirror");
        NotifyViews(VIEW_TREE_UPDATE, code, name);
        return;
      }
      case RC_NOTIFY_USER_CHANGED:
      case RC_NOTIFY_GROUP_CHANGED: {
        std::shared_ptr<CFilterComponent> obj;
        if (code == RC_NOTIFY_USER_CHANGED)
          obj = LoadBare<CUser>(frame(0));
        else
          obj = LoadBare<CGroup>(frame(0));
        // A change of an object this console does not hold is read (whole) and dropped.
        const bool held = code == RC_NOTIFY_USER_CHANGED ? m_mirrors.users->FindUser(m.m_text1) != nullptr
                                                         : m_mirrors.users->FindGroup(m.m_text1) != nullptr;
        if (held && obj->Name == m.m_text1) m_mirrors.users->Add(obj, nullptr);
        if (held && code == RC_NOTIFY_USER_CHANGED) NotifyViews(VIEW_USER_SHEET, 0, m.m_text1);
        return;
      }
      case RC_NOTIFY_USER_DELETED:
      case RC_NOTIFY_GROUP_DELETED: {
        const bool held = code == RC_NOTIFY_USER_DELETED ? m_mirrors.users->FindUser(m.m_text1) != nullptr
                                                         : m_mirrors.users->FindGroup(m.m_text1) != nullptr;
        if (!held) return;
        m_mirrors.users->RemoveKey(m.m_text1);
        NotifyViews(VIEW_TREE_UPDATE, code, m.m_text1);
        return;
      }
      case RC_NOTIFY_SERVICE_ADDED:
      case RC_NOTIFY_SERVICE_CHANGED: {
        auto obj =
            std::dynamic_pointer_cast<CServiceSettings>(LoadTaggedFrame(frame(0), TL_RUNTIME_CLASS(CServiceSettings)));
        if (!obj) throw LoadFailure("not a service");
        const CString name = obj->GetName();
        if (code == RC_NOTIFY_SERVICE_CHANGED && !m_mirrors.services->Lookup(m.m_text1)) return;
        if (name != m.m_text1) throw LoadFailure("service frame names another service");
        m_mirrors.services->SetAt(name, obj);
        NotifyViews(VIEW_TREE_UPDATE, code, name);
        return;
      }
      case RC_NOTIFY_SERVICE_DELETED:
        if (!m_mirrors.services->RemoveKey(m.m_text1)) return;
        NotifyViews(VIEW_TREE_UPDATE, code, m.m_text1);
        return;
      case RC_NOTIFY_SERVICE_STATE: {
        auto svc = m_mirrors.services->LookupAs<CServiceSettings>(m.m_text1);
        uint64_t state = 0;
        if (!svc || !ParseUnsigned(m.m_text2, &state) || state > SERVICE_PARTIAL) return;
        svc->SetReportedRunningState(static_cast<uint32_t>(state));
        ViewEvent ev;
        ev.code = code;
        ev.name = m.m_text1;
        ev.runningState = static_cast<uint32_t>(state);
        NotifyViews(VIEW_TREE_UPDATE, ev);
        return;
      }
      case RC_NOTIFY_POLICIES_CHANGED:
      case RC_REQ_UPLOAD_POLICIES: {  // 41 is taken as 42
        if (frames.size() != static_cast<size_t>(kRCRightCount)) throw LoadFailure("wrong number of rights");
        std::vector<std::shared_ptr<CRight>> rights;
        for (const auto& f : frames) rights.push_back(LoadBare<CRight>(f));
        m_mirrors.rights = std::move(rights);
        return;
      }
      case RC_NOTIFY_ASSUMPTIONS_CHANGED: {
        auto locations = LoadBare<CLocationArray>(frame(0));
        CheckComplete(*locations);
        auto names = LoadBare<CLockableStringMap>(frame(1));
        CheckComplete(*names);
        m_mirrors.locations = locations;
        m_mirrors.machineNames = names;
        return;
      }
      case RC_NOTIFY_MACHINE_ADDED:
      case RC_NOTIFY_MACHINE_CHANGED: {
        auto record = LoadBare<CMachineRecord>(frame(0));
        auto it = m_mirrors.machines.find(m.m_text1);
        if (it == m_mirrors.machines.end() && code == RC_NOTIFY_MACHINE_CHANGED) return;
        // The mirror is keyed by the address the message names.
        record->Address = m.m_text1;
        ViewEvent ev;
        ev.name = m.m_text1;
        if (it != m_mirrors.machines.end()) {
          it->second.record = *record;
          ev.code = RC_NOTIFY_MACHINE_CHANGED;
          // Sessions show their machine's user and level.
          for (auto& [n, s] : it->second.sessions) {
            s.userName = record->UserName;
            s.level = record->SecurityLevel;
          }
        } else {
          m_mirrors.machines[m.m_text1].record = *record;
          ev.code = RC_NOTIFY_MACHINE_ADDED;
        }
        ev.machine = *record;
        NotifyViews(VIEW_ACTIVITY, ev);
        return;
      }
      case RC_NOTIFY_MACHINE_REMOVED: {
        auto it = m_mirrors.machines.find(m.m_text1);
        if (it == m_mirrors.machines.end()) return;
        ViewEvent ev;
        ev.code = code;
        ev.name = m.m_text1;
        ev.machine = it->second.record;
        const CString user = it->second.record.UserName;
        m_mirrors.machines.erase(it);
        NotifyViews(VIEW_ACTIVITY, ev);
        uint64_t seconds = 0;
        if (!m.m_text2.empty() && ParseUnsigned(m.m_text2, &seconds)) {
          if (auto u = m_mirrors.users->FindUser(user)) {
            u->TimeOnLine += seconds;
            NotifyViews(VIEW_USER_SHEET, 0, user);
          }
        }
        return;
      }
      case RC_NOTIFY_SESSION_ADDED:
      case RC_NOTIFY_SESSION_CHANGED: {
        auto it = m_mirrors.machines.find(m.m_text1);
        uint64_t number = 0;
        if (it == m_mirrors.machines.end() || !ParseUnsigned(m.m_text2, &number) || number > UINT32_MAX) return;
        auto& sessions = it->second.sessions;
        const bool known = sessions.count(static_cast<uint32_t>(number)) != 0;
        SessionMirror& s = sessions[static_cast<uint32_t>(number)];
        s.number = static_cast<uint32_t>(number);
        s.description = m.m_text3;
        s.userName = it->second.record.UserName;
        s.level = it->second.record.SecurityLevel;
        ViewEvent ev;
        ev.code = known && code == RC_NOTIFY_SESSION_CHANGED ? RC_NOTIFY_SESSION_CHANGED : RC_NOTIFY_SESSION_ADDED;
        ev.name = m.m_text1;
        ev.session = ViewOf(m.m_text1, it->second, s);
        NotifyViews(VIEW_ACTIVITY, ev);
        return;
      }
      case RC_NOTIFY_SESSION_ENDED: {
        auto it = m_mirrors.machines.find(m.m_text1);
        uint64_t number = 0;
        if (it == m_mirrors.machines.end() || !ParseUnsigned(m.m_text2, &number) || number > UINT32_MAX) return;
        auto sit = it->second.sessions.find(static_cast<uint32_t>(number));
        if (sit == it->second.sessions.end()) return;
        ViewEvent ev;
        ev.code = code;
        ev.name = m.m_text1;
        ev.session = ViewOf(m.m_text1, it->second, sit->second);
        const CString user = sit->second.userName;
        it->second.sessions.erase(sit);
        NotifyViews(VIEW_ACTIVITY, ev);
        std::vector<uint64_t> traffic;
        if (!m.m_text3.empty() && ParseUnsignedList(m.m_text3, 4, &traffic)) {
          if (auto u = m_mirrors.users->FindUser(user)) {
            u->ClientSendTraffic += traffic[0];
            u->ClientRecvTraffic += traffic[1];
            u->NonClientSendTraffic += traffic[2];
            u->NonClientRecvTraffic += traffic[3];
            NotifyViews(VIEW_USER_SHEET, 0, user);
          }
        }
        return;
      }
      case RC_NOTIFY_OPERATOR_MESSAGE:
        if (m_passwordRevertible && (m.m_text1 == "Invalid Password" || m.m_text1 == "Password change denied")) {
          // The engine refused the change it had acknowledged: the old password still holds.
          m_login.password = m_oldPassword;
          m_oldPassword.clear();
          m_passwordRevertible = false;
        }
        m_ui.MessageBox(m.m_text1, m.m_text2, MB_EXCLAMATION);
        return;
      case RC_REQ_REGISTER_ALL:
      case RC_REQ_REGISTER_ALERTS:
      case RC_REQ_REGISTER_MESSAGES:
      case RC_REQ_REGISTER_ACTIVITY:
      case RC_REQ_REGISTER_DIALER: m_ui.MessageBox(m.m_text1, m.m_text2, MB_EXCLAMATION); return;
      case RC_NOTIFY_CONSOLE_MESSAGE:
        m_ui.Popup(2, "Message from " + m.m_text2 + " on " + m.m_text1, m.m_text3, m.m_text1);
        return;
      case RC_NOTIFY_CACHE_CHANGED:
        m_mirrors.cache = LoadBare<CWWWCacheSettings>(frame(0));
        NotifyViews(VIEW_CACHE, code);
        return;
      case RC_NOTIFY_SCHEDULER_CHANGED: {
        auto scheduler = LoadBare<CSchedulerSettings>(frame(0));
        CheckComplete(scheduler->Events);
        m_mirrors.scheduler = scheduler;
        NotifyViews(VIEW_TREE_UPDATE, code);
        return;
      }
      case RC_NOTIFY_DIALER_CHANGED:
        m_mirrors.dialer = LoadBare<CDialerSettings>(frame(0));
        NotifyViews(VIEW_DIALER, code);
        return;
      case RC_NOTIFY_DIALER_PROFILE: {
        // By name and value: the mirror keeps the line for the next sheet, an open sheet finds
        // its row by the name (a profile it no longer shows is simply not updated).
        uint64_t state = 0;
        if (!ParseUnsigned(m.m_text2, &state) || state > UINT32_MAX) return;
        if (m_mirrors.dialer)
          if (auto p = m_mirrors.dialer->FindProfileSettings(m.m_text1)) p->SetStatusText(m.m_text3);
        ViewEvent ev;
        ev.code = code;
        ev.name = m.m_text1;
        ev.runningState = static_cast<uint32_t>(state);
        ev.text = m.m_text3;
        NotifyViews(VIEW_DIALER, ev);
        return;
      }
      default:
        // 100, 101, 104, 110 and 111 are what any console can make the engine send (request 100
        // needs no right): they are not taken as "must change password". Scheduler settings are
        // not held yet. Everything else is unknown. All are ignored.
        return;
    }
  } catch (const std::exception& e) {
    // The frames were read whole, so the stream is in step; what they held is skipped.
    ++m_loadFailures;
    std::fprintf(stderr, "lookout: message %u not applied: %s\n", m.m_code, e.what());
  }
}
