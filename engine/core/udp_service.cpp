#include "engine/core/udp_service.h"

#include <future>

#include "engine/config/util.h"
#include "engine/core/machine.h"
#include "engine/net/socket_exception.h"
#include "engine/proxy/common/two_end_session.h"
#include "platform/clock.h"

namespace {

// A session the service thread is asked to take out of its tables.
struct RemovalPayload : platform::MsgPayload {
  explicit RemovalPayload(std::shared_ptr<CUDPSession> s) : session(std::move(s)) {}
  std::shared_ptr<CUDPSession> session;
};

// A call to run on the service thread; the caller waits on done.
struct CallPayload : platform::MsgPayload {
  explicit CallPayload(std::function<void()> f) : fn(std::move(f)) {}
  std::function<void()> fn;
  std::promise<void> done;
};

}  // namespace

// ---- The service thread ---------------------------------------------------------------------

class CUDPService::Thread : public platform::MsgThread {
 public:
  explicit Thread(std::shared_ptr<CUDPService> service) : m_service(std::move(service)) {}

  // Set once InitInstance has run (listeners open or failed).
  bool WaitStarted(int timeoutMs) {
    std::unique_lock<std::mutex> lk(m_startedMutex);
    return m_startedCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [this] { return m_started; });
  }

 protected:
  bool InitInstance() override {
    try {
      m_service->ThreadStarted();
    } catch (...) {
      m_service->Log(LOG_ERROR, "Caught unknown exception in CUDPService::InitInstance() - ignoring");
    }
    {
      std::lock_guard<std::mutex> lk(m_startedMutex);
      m_started = true;
    }
    m_startedCv.notify_all();
    return true;
  }

  int Run() override {
    try {
      platform::Message msg;
      while (GetMessage(&msg)) {
        try {
          m_service->ThreadMessage(msg);
        } catch (...) {
          m_service->Log(LOG_ERROR, "Caught unknown exception in CUDPService::Run() - ignoring");
        }
        msg = platform::Message();  // payloads go here, on this thread
      }
      return ExitInstance();
    } catch (...) {
      m_service->Log(LOG_ERROR, "Caught unknown exception in CUDPService::Run() - terminating");
      EndHere();
      return -1;
    }
  }

  int ExitInstance() override {
    EndHere();
    return platform::MsgThread::ExitInstance();
  }

 private:
  void EndHere() {
    if (m_ended) return;
    m_ended = true;
    try {
      m_service->ThreadEnding();
    } catch (...) {
      m_service->Log(LOG_ERROR, "Caught unknown exception in CUDPService::ExitInstance() - ignoring");
    }
  }

  // The service lives at least as long as its thread.
  std::shared_ptr<CUDPService> m_service;
  std::mutex m_startedMutex;
  std::condition_variable m_startedCv;
  bool m_started = false;
  bool m_ended = false;
};

// ---- CUDPService ------------------------------------------------------------------------------

CUDPService::CUDPService(CServiceSettings& settings) : CService(settings) {}

CUDPService::~CUDPService() = default;

std::shared_ptr<CUDPService::Thread> CUDPService::CurrentThread() const {
  std::lock_guard<std::mutex> lk(m_threadMutex);
  return m_thread;
}

platform::ThreadId CUDPService::GetThreadId() const {
  auto t = CurrentThread();
  return t && !t->HasEnded() ? t->Id() : 0;
}

bool CUDPService::IsServiceThread() const {
  const platform::ThreadId self = platform::CurrentThreadId();
  auto t = CurrentThread();
  return self != 0 && t && t->Id() == self;
}

void CUDPService::Startup() {
  std::lock_guard<std::mutex> control(m_controlMutex);
  if (auto t = CurrentThread(); t && !t->HasEnded()) return;
  auto self = std::dynamic_pointer_cast<CUDPService>(shared_from_this());
  auto thread = std::make_shared<Thread>(self);
  {
    std::lock_guard<std::mutex> lk(m_threadMutex);
    m_thread = thread;
  }
  if (!thread->CreateThread()) {
    Log(LOG_ERROR, "Service thread could not be started");
    return;
  }
  if (!thread->WaitStarted(kStartupWaitMs)) Log(LOG_ERROR, "Service thread did not start in time");
}

void CUDPService::Shutdown() {
  if (IsServiceThread()) {
    // From the thread itself: it ends once this message has been handled.
    if (auto t = CurrentThread()) t->PostQuit(0);
    return;
  }
  std::lock_guard<std::mutex> control(m_controlMutex);
  auto t = CurrentThread();
  if (!t) return;
  if (t->PostQuit(0) && !t->WaitForExit(kShutdownWaitMs)) {
    Log(LOG_ERROR, "Service thread did not end in time");
    return;
  }
  // The thread has ended (or never ran): whatever is still in the tables ends here.
  EndAllSessions();
  std::lock_guard<std::mutex> lk(m_threadMutex);
  if (m_thread == t) m_thread.reset();
}

void CUDPService::Start() {
  if (IsServiceThread()) {
    CService::Start();
    return;
  }
  auto t = CurrentThread();
  if (!t || t->HasEnded()) {
    Startup();
    return;
  }
  if (!CallOnServiceThread([this] { CService::Start(); })) Log(LOG_ERROR, "Service could not be started");
}

void CUDPService::Stop() {
  if (IsServiceThread()) {
    CService::Stop();
    return;
  }
  auto t = CurrentThread();
  if (!t || t->HasEnded()) {
    CService::Stop();
    return;
  }
  Shutdown();
}

void CUDPService::Restart() {
  Stop();
  Start();
  {
    CLockGuard g(Settings());
    Settings().RestartNeeded = 0;
  }
  Log(LOG_INFORMATION, "Service restarted");
}

bool CUDPService::CallOnServiceThread(const std::function<void()>& fn, int timeoutMs) {
  if (IsServiceThread()) {
    fn();
    return true;
  }
  auto t = CurrentThread();
  if (!t) return false;
  auto payload = std::make_unique<CallPayload>(fn);
  std::future<void> done = payload->done.get_future();
  if (!t->Post(platform::WM_UDP_SERVICE_CALL, 0, std::move(payload))) return false;
  if (done.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) return false;
  try {
    done.get();
    return true;
  } catch (...) {
    // The call failed on the service thread; the caller reports it as not done.
    return false;
  }
}

void CUDPService::ThreadStarted() {
  OnThreadStart();
  CService::Start();  // nothing unless enabled
}

void CUDPService::ThreadMessage(platform::Message& msg) {
  switch (msg.message) {
    case platform::WM_SOCKET_READ: OnRead(msg); break;
    case platform::WM_UDP_REMOVE_SESSION:
      if (auto* p = dynamic_cast<RemovalPayload*>(msg.payload.get())) RemoveSession(p->session);
      break;
    case platform::WM_UDP_SERVICE_CALL:
      if (auto* p = dynamic_cast<CallPayload*>(msg.payload.get())) {
        try {
          p->fn();
          p->done.set_value();
        } catch (...) {
          p->done.set_exception(std::current_exception());
        }
      }
      break;
    default: OnThreadMessage(msg); break;
  }
}

void CUDPService::ThreadEnding() {
  CService::Stop();
  // Sessions end here, on the thread that drives them, and leave their machines: none may stay
  // in the machine table pointing at a service that no longer serves them.
  EndAllSessions();
  OnThreadEnd();
}

void CUDPService::EndAllSessions() {
  for (const auto& session : GetSessions()) {
    session->Terminate(kSessionExitMachineGone);
    RemoveSession(session);
  }
}

void CUDPService::AddSession(uintptr_t key, std::shared_ptr<CUDPSession> session) {
  if (!session) return;
  std::shared_ptr<CUDPSession> replaced;
  {
    std::lock_guard<std::recursive_mutex> lk(m_tableMutex);
    auto it = m_sessions.find(key);
    if (it != m_sessions.end()) {
      replaced = it->second;
      m_keys.erase(replaced.get());
    }
    m_sessions[key] = session;
    m_keys[session.get()] = key;
  }
  // A replaced session goes outside the lock.
}

void CUDPService::RemoveSession(const std::shared_ptr<CUDPSession>& session) {
  if (!session) return;
  std::shared_ptr<CUDPSession> removed;
  {
    std::lock_guard<std::recursive_mutex> lk(m_tableMutex);
    auto k = m_keys.find(session.get());
    if (k != m_keys.end()) {
      auto it = m_sessions.find(k->second);
      if (it != m_sessions.end() && it->second == session) {
        removed = std::move(it->second);
        m_sessions.erase(it);
      }
      m_keys.erase(k);
    }
  }
  OnSessionRemoved(session);
}

std::shared_ptr<CUDPSession> CUDPService::FindSession(uintptr_t key) const {
  std::lock_guard<std::recursive_mutex> lk(m_tableMutex);
  auto it = m_sessions.find(key);
  return it == m_sessions.end() ? nullptr : it->second;
}

size_t CUDPService::GetSessionCount() const {
  std::lock_guard<std::recursive_mutex> lk(m_tableMutex);
  return m_sessions.size();
}

std::vector<std::shared_ptr<CUDPSession>> CUDPService::GetSessions() const {
  std::lock_guard<std::recursive_mutex> lk(m_tableMutex);
  std::vector<std::shared_ptr<CUDPSession>> out;
  out.reserve(m_sessions.size());
  for (const auto& [key, s] : m_sessions) out.push_back(s);
  return out;
}

uint32_t CUDPService::GetSessionCap() const {
  CLockGuard g(Settings());
  if (Settings().LimitSessions) return Settings().SessionLimit;
  return kDefaultSessionCap;
}

void CUDPService::RemoveUDPSession(const std::shared_ptr<CUDPSession>& session) {
  if (!session) return;
  if (IsServiceThread()) {
    RemoveSession(session);
    return;
  }
  auto t = CurrentThread();
  if (t && t->Post(platform::WM_UDP_REMOVE_SESSION, 0, std::make_unique<RemovalPayload>(session))) return;
  // No thread drives the service any more, so nothing can be using the session: it goes here.
  RemoveSession(session);
}

bool CUDPService::WaitForThreadEnd(int timeoutMs) {
  auto t = CurrentThread();
  return !t || t->WaitForExit(timeoutMs);
}

void CUDPService::NoteSessionLimit(uint32_t cap) {
  const uint64_t now = platform::TickCount64();
  uint64_t last = m_lastLimitLog.load();
  if (last != 0 && now - last < kLimitLogIntervalMs) return;
  if (!m_lastLimitLog.compare_exchange_strong(last, now)) return;
  Log(LOG_ERROR, "Session limit of %u reached - datagrams from new clients are dropped", cap);
}

// ---- CTwoEndUDPService ------------------------------------------------------------------------

CTwoEndUDPService::CTwoEndUDPService(CServiceSettings& settings) : CUDPService(settings) {}

CTwoEndUDPService::~CTwoEndUDPService() = default;

std::shared_ptr<CTwoEndUDPSession> CTwoEndUDPService::CreateSession(int listenerHandle) { return nullptr; }

CString CTwoEndUDPService::ClientKey(const CString& address, uint32_t port) {
  return FormatString("%s:%u", address.c_str(), port);
}

std::shared_ptr<CTwoEndUDPSession> CTwoEndUDPService::FindClient(const CString& key) const {
  std::lock_guard<std::mutex> lk(m_clientsMutex);
  auto it = m_clients.find(key);
  return it == m_clients.end() ? nullptr : it->second;
}

void CTwoEndUDPService::OnSessionRemoved(const std::shared_ptr<CUDPSession>& session) {
  const CString key = ClientKey(session->GetClientAddress(), session->GetClientPort());
  std::shared_ptr<CTwoEndUDPSession> removed;
  std::lock_guard<std::mutex> lk(m_clientsMutex);
  auto it = m_clients.find(key);
  if (it != m_clients.end() && it->second.get() == session.get()) {
    removed = std::move(it->second);
    m_clients.erase(it);
  }
}

bool CTwoEndUDPService::SendToClient(CUDPSession& session, const void* data, size_t length) {
  X1Socket* listener = FindBindingSocket(session.m_socketHandle);
  if (!listener) return false;
  const uint32_t port = session.GetClientPort();
  if (port == 0 || port > 0xFFFF) return false;
  listener->SendTo(data, length, static_cast<uint16_t>(port), session.GetClientAddress());
  session.AddClientBytesSent(length);
  return true;
}

void CTwoEndUDPService::OnRead(platform::Message& msg) {
  if (X1Socket* listener = TakeListenerEvent(msg)) {
    for (int i = 0; i < kDatagramsPerEvent; ++i) {
      CString address;
      uint16_t port = 0;
      try {
        m_length = listener->ReceiveFrom(m_buffer, sizeof(m_buffer), address, port);
      } catch (const X1SocketException& e) {
        // Too long for the buffer (consumed, never relayed cut short) or a pending error of the
        // socket: that datagram is dropped and the next one is read.
        Log(LOG_ERROR, "Caught socket exception in CTwoEndUDPService::OnRead() %s - ignoring", e.GetText().c_str());
        continue;
      }
      // Nothing waiting: the address stays empty. An empty datagram has its sender and is one.
      if (address.empty()) break;
      try {
        OnClientDatagram(*listener, address, port, m_length);
      } catch (const X1SocketException& e) {
        Log(LOG_ERROR, "Caught socket exception in CTwoEndUDPService::OnRead() %s - ignoring", e.GetText().c_str());
      }
    }
    return;
  }
  auto session = std::dynamic_pointer_cast<CTwoEndUDPSession>(FindSession(msg.wParam));
  if (!session || !session->GetServerSocket().TakeEvent(msg)) return;
  try {
    session->OnServerRead();
  } catch (...) {
    // A datagram the session could not relay back is dropped; the session stays, and the
    // relay's own lines say what went wrong where it knows.
  }
}

void CTwoEndUDPService::OnClientDatagram(X1Socket& listener, const CString& address, uint16_t port, size_t length) {
  auto session = FindClient(ClientKey(address, port));
  if (session && session->IsEnding()) {
    // Ended from another thread, its removal still queued behind this datagram: drop it now so
    // the client gets a fresh session.
    RemoveSession(session);
    session.reset();
  }
  if (session) {
    session->ForwardToServer(m_buffer, length);
    return;
  }
  const uint32_t cap = GetSessionCap();
  if (GetSessionCount() >= cap) {
    NoteSessionLimit(cap);
    return;
  }
  session = MakeSession(listener, address, port);
  if (!session || session->IsEnding()) return;
  // SetupDestination may refuse the client and end the session (it then leaves the tables);
  // the local reference keeps it alive until this call is done with it.
  if (session->SetupDestination() && !session->IsEnding()) session->ForwardToServer(m_buffer, length);
}

std::shared_ptr<CTwoEndUDPSession> CTwoEndUDPService::MakeSession(X1Socket& listener, const CString& address,
                                                                  uint16_t port) {
  auto session = CreateSession(listener.GetHandle());
  if (!session) return nullptr;
  auto self = shared_from_this();
  session->m_socketHandle = listener.GetHandle();
  session->UseServiceAccessRight(self);
  session->UseServiceLog(*this);
  session->UseServiceInterfaces(*this);
  {
    CLockGuard g(Settings());
    session->SetTimeout(Settings().TimeOutSessions != 0, Settings().SessionTimeout);
  }
  session->SetClient(address, port);
  try {
    session->OpenServerSocket();
  } catch (const X1SocketException& e) {
    Log(LOG_ERROR, "Caught socket exception in CTwoEndUDPService::OnRead() %s - ignoring", e.GetText().c_str());
    // Never entered in the tables: ending it is all that is left, and the reference goes here.
    session->Terminate(kSessionExitRefused);
    return nullptr;
  }
  AddSession(session->GetServerSocket().GetId(), session);
  {
    std::lock_guard<std::mutex> lk(m_clientsMutex);
    m_clients[ClientKey(address, port)] = session;
  }
  CSessionHost* host = GetSessionHost();
  if (host && host->GetMachineMap().AttachSession(session, host)) {
    const CString description = session->GetDescription();
    session->Audit(CSession::kAuditCreated, "%s", description.c_str());
    session->Log(CSession::kLogCreated, "%s", description.c_str());
    session->NotifyAdded();
  }
  return session;
}
