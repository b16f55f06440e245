#include "engine/core/service.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "engine/config/util.h"
#include "engine/core/nt_service.h"
#include "engine/core/session.h"
#include "engine/net/socket_exception.h"
#include "platform/eventlog.h"
#include "platform/msg_thread.h"

namespace {

CString Subkey(const CString& key, const char* name) { return key + "\\" + name; }

// A value from a log argument must stay inside its field and its line.
void FlattenControls(CString& text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
}

// The two plain stored service classes run as they are: a listener whose connections get no
// session (CTCPService) or no listener at all (CService).
using CPlainService = TRunningService<CServiceSettings, CService>;
using CPlainTCPService = TRunningService<CTCPServiceSettings, CTCPService>;
CProgramFactory g_plainService(TL_RUNTIME_CLASS(CServiceSettings), &MakeRunningService<CPlainService>);
CProgramFactory g_plainTCPService(TL_RUNTIME_CLASS(CTCPServiceSettings), &MakeRunningService<CPlainTCPService>);

}  // namespace

// ---- CService ----------------------------------------------------------------------------------

CService::CService(CServiceSettings& settings) : m_settings(settings) {
  // From here on the settings report this object's live state.
  m_settings.m_runningState.store(SERVICE_STOPPED);
  m_settings.m_live.store(true);
}

CService::~CService() {
  // Listeners go before anything an accept callback could read.
  m_listener.Close();
  Listeners listeners;
  {
    CLockGuard bindingsLock(m_settings.Bindings);
    listeners.swap(m_bindingListeners);
  }
  CloseListeners(listeners);
  m_settings.m_live.store(false);
}

void CService::SetRunningState(uint32_t state) { m_settings.m_runningState.store(state); }

X1Socket& CService::BindingListener(const CString& name) {
  auto& slot = m_bindingListeners[name];
  if (!slot) slot = std::make_unique<X1Socket>();
  return *slot;
}

CService::Listeners CService::TakeListeners(const std::vector<CString>* names) {
  Listeners taken;
  CLockGuard bindingsLock(m_settings.Bindings);
  if (!names) {
    taken.swap(m_bindingListeners);
    return taken;
  }
  for (const auto& name : *names) {
    auto it = m_bindingListeners.find(name);
    if (it == m_bindingListeners.end()) continue;
    taken.emplace(name, std::move(it->second));
    m_bindingListeners.erase(it);
  }
  return taken;
}

void CService::CloseListeners(Listeners& listeners) {
  for (auto& [name, socket] : listeners) {
    if (socket) socket->Close();
  }
  listeners.clear();
}

// ---- Listeners -----------------------------------------------------------------------------------

void CService::OpenListener(X1Socket& socket, const CString& address, bool reuse) {
  const uint32_t transport = m_settings.GetTransport();
  if (socket.IsOpen()) socket.Close();
  uint32_t port;
  {
    CLockGuard g(m_settings);
    port = m_settings.PortNumber;
  }
  if (port > 0xFFFF) throw X1SocketException(WSAEINVAL);
  if (transport == SERVICE_TRANSPORT_TCP) {
    socket.SetCallback(&CTCPService::SocketCallback, this);
    socket.AsyncSelect(FD_ACCEPT);
    socket.Create(SOCK_STREAM);
  } else {
    // Datagram listeners deliver their reads to the thread that opens them (the service's own).
    socket.SetCallback(nullptr, nullptr);
    socket.AsyncSelect(FD_READ);
    socket.Create(SOCK_DGRAM);
  }
  try {
    // Stream listeners allow reuse whatever the flag (Bind does it); for datagrams the flag acts.
    if (reuse || transport == SERVICE_TRANSPORT_TCP) socket.SetReuseAddress(true);
    // A datagram service answers from the address a client reached it at (a wildcard listener
    // would otherwise answer from whatever address the route picks).
    if (transport != SERVICE_TRANSPORT_TCP) socket.SetPacketInfo(true);
    CString bindAddress = address == "0.0.0.0" ? CString() : address;
    PrepareListener(socket, address, &bindAddress);
    socket.Bind(static_cast<uint16_t>(port), bindAddress);
    if (transport == SERVICE_TRANSPORT_TCP) socket.Listen(X1Socket::kMinListenBacklog);
    socket.ArmAsyncSelect();
  } catch (...) {
    socket.Close();
    throw;
  }
}

void CService::Start() {
  uint32_t enabled, option, port, reuse;
  CString specific;
  {
    CLockGuard g(m_settings);
    enabled = m_settings.Enabled;
    option = m_settings.BindingOption;
    port = m_settings.PortNumber;
    reuse = m_settings.ReuseAddr;
    specific = m_settings.SpecificBinding;
  }
  if (!enabled) return;
  m_loopsRefused.store(0);
  bool failed = false;
  CLockableMap& bindings = m_settings.Bindings;
  std::vector<std::shared_ptr<CObject>> released;  // let go after the binding map's lock
  {
    CLockGuard bindingsLock(bindings);
    if (option == BINDING_ALL || option == BINDING_SPECIFIC) {
      const CString address = option == BINDING_ALL ? CString("0.0.0.0") : specific;
      try {
        OpenListener(m_listener, address, reuse != 0);
        Log(LOG_INFORMATION, "Service started on interface %s:%u", address.c_str(), port);
      } catch (const X1SocketException& e) {
        Log(LOG_ERROR, "Service failed startup on interface %s:%u error %u", address.c_str(), port,
            static_cast<unsigned>(e.GetCode()));
        ReportStartFailure(address, port, e);
        failed = true;
      }
    } else {
      std::vector<CString> empty;
      for (auto& [key, obj] : bindings) {
        auto binding = std::dynamic_pointer_cast<CBinding>(obj);
        if (!binding) {
          empty.push_back(key);
          continue;
        }
        if (binding->m_state != BINDING_TO_OPEN || !binding->m_interface.IsAvailable()) continue;
        const CString address = binding->m_interface.GetAddressText();
        try {
          OpenListener(BindingListener(key), address, true);
          Log(LOG_INFORMATION, "Service started on interface %s:%u", address.c_str(), port);
          binding->m_state = BINDING_LISTENING;
        } catch (const X1SocketException& e) {
          Log(LOG_ERROR, "Service failed startup on interface %s:%u error %u", address.c_str(), port,
              static_cast<unsigned>(e.GetCode()));
          ReportStartFailure(address, port, e);
          binding->m_state = BINDING_FAILED;
          failed = true;
        }
      }
      for (const auto& key : empty) {
        released.push_back(bindings.Lookup(key));
        bindings.RemoveKey(key);
      }
    }
  }
  if (failed) {
    SetRunningState(SERVICE_PARTIAL);
    Log(LOG_ERROR, "Service startup complete or partial failure");
  } else {
    SetRunningState(SERVICE_RUNNING);
    Log(LOG_INFORMATION, "Service started successfully");
  }
}

void CService::ReportStartFailure(const CString& address, uint32_t port, const X1SocketException& e) {
  // A listener that cannot open is what an operator looks for first; the service's own log may
  // be off or in a folder nobody reads, so the event log carries it too.
  platform::eventlog::Report(
      "TrellisEngine", platform::eventlog::kError, EVMSG_DEBUG,
      FormatString("Service %s failed startup on interface %s:%u error %u (%s)", m_settings.GetName().c_str(),
                   address.c_str(), port, static_cast<unsigned>(e.GetCode()), e.GetText().c_str()));
}

void CService::Stop() {
  std::vector<std::shared_ptr<CObject>> released;
  CLockableMap& bindings = m_settings.Bindings;
  {
    CLockGuard bindingsLock(bindings);
    m_listener.Close();
    for (auto& [name, socket] : m_bindingListeners) {
      if (socket) socket->Close();
    }
    std::vector<CString> empty;
    for (auto& [key, obj] : bindings) {
      auto binding = std::dynamic_pointer_cast<CBinding>(obj);
      if (!binding) {
        empty.push_back(key);
        continue;
      }
      binding->m_state = BINDING_TO_OPEN;
    }
    for (const auto& key : empty) {
      released.push_back(bindings.Lookup(key));
      bindings.RemoveKey(key);
    }
  }
  SetRunningState(SERVICE_STOPPED);
  Log(LOG_INFORMATION, "Service stopped");
  if (const uint64_t loops = m_loopsRefused.exchange(0)) {
    platform::eventlog::Report("TrellisEngine", platform::eventlog::kWarning, EVMSG_DEBUG,
                               FormatString("Service %s: connections refused since its start that would have "
                                            "looped back into its own listener: %llu",
                                            m_settings.GetName().c_str(), static_cast<unsigned long long>(loops)));
  }
}

void CService::ReportLoopRefused(const CString& destination, const CString& road) {
  if (m_loopsRefused.fetch_add(1) != 0) return;
  const CString text = FormatString("Connection to %s would loop back into this service (%s) - refused",
                                    destination.c_str(), road.c_str());
  Log(LOG_ERROR, "%s", text.c_str());
  // A configuration fault an operator must mend; the service's own log may be off.
  platform::eventlog::Report("TrellisEngine", platform::eventlog::kWarning, EVMSG_DEBUG,
                             FormatString("Service %s: %s", m_settings.GetName().c_str(), text.c_str()));
}

void CService::Restart() {
  Stop();
  Start();
  {
    CLockGuard g(m_settings);
    m_settings.RestartNeeded = 0;
  }
  Log(LOG_INFORMATION, "Service restarted");
}

X1Socket* CService::FindBindingSocket(int handle) {
  if (handle < 0) return nullptr;
  CLockGuard bindingsLock(m_settings.Bindings);
  uint32_t option;
  {
    CLockGuard g(m_settings);
    option = m_settings.BindingOption;
  }
  if (option == BINDING_LIST) {
    for (auto& [name, socket] : m_bindingListeners) {
      if (socket && socket->GetHandle() == handle) return socket.get();
    }
    return nullptr;
  }
  return m_listener.GetHandle() == handle ? &m_listener : nullptr;
}

X1Socket* CService::TakeListenerEvent(const platform::Message& msg) {
  CLockGuard bindingsLock(m_settings.Bindings);
  if (m_listener.TakeEvent(msg)) return &m_listener;
  for (auto& [name, socket] : m_bindingListeners)
    if (socket && socket->TakeEvent(msg)) return socket.get();
  return nullptr;
}

bool CService::IsBoundTo(const CString& address, uint32_t port) {
  uint32_t option;
  CString specific;
  {
    CLockGuard g(m_settings);
    if (port != m_settings.PortNumber) return false;
    option = m_settings.BindingOption;
    specific = m_settings.SpecificBinding;
  }
  const uint32_t state = m_settings.GetRunningState();
  switch (option) {
    case BINDING_ALL: return state == SERVICE_RUNNING;
    case BINDING_SPECIFIC: return state == SERVICE_RUNNING && address == specific;
    case BINDING_LIST: {
      auto binding = m_settings.Bindings.LookupAs<CBinding>(address);
      return binding && binding->m_state == BINDING_LISTENING;
    }
    default: return false;
  }
}

bool CService::ListensOn(uint32_t address, uint32_t port) {
  auto takes = [&](const X1Socket& listener) {
    if (!listener.IsOpen() || listener.GetLocalPort() != port) return false;
    uint32_t bound = 0;
    return TryParseIPAddress(listener.GetLocalAddress(), &bound) && (bound == 0 || bound == address);
  };
  CLockGuard bindingsLock(m_settings.Bindings);
  if (takes(m_listener)) return true;
  for (const auto& [name, socket] : m_bindingListeners)
    if (socket && takes(*socket)) return true;
  return false;
}

void CService::InsertBinding(std::shared_ptr<CBinding> binding) {
  if (!binding) return;
  const CString key = binding->m_interface.m_name;
  const std::vector<CString> names{key};
  // A binding replaced under its name takes its old listener with it.
  Listeners old = TakeListeners(&names);
  std::shared_ptr<CObject> replaced;
  {
    CLockGuard bindingsLock(m_settings.Bindings);
    replaced = m_settings.Bindings.Lookup(key);
    m_settings.Bindings.SetAt(key, std::move(binding));
  }
  CloseListeners(old);
}

void CService::RemoveBinding(const CString& address) {
  const std::vector<CString> names{address};
  Listeners old = TakeListeners(&names);
  std::shared_ptr<CObject> removed;
  {
    CLockGuard bindingsLock(m_settings.Bindings);
    removed = m_settings.Bindings.Lookup(address);
    m_settings.Bindings.RemoveKey(address);
  }
  CloseListeners(old);
}

void CService::DeleteAllBindings() {
  Listeners old = TakeListeners(nullptr);
  std::vector<std::shared_ptr<CObject>> removed;
  {
    CLockGuard bindingsLock(m_settings.Bindings);
    for (auto& [key, obj] : m_settings.Bindings.Snapshot()) removed.push_back(obj);
    m_settings.Bindings.RemoveAll();
  }
  CloseListeners(old);
}

void CService::AddOutgoingInterface(std::shared_ptr<CInterface> entry) {
  if (entry) m_settings.Interfaces.AddTail(std::move(entry));
}

void CService::GetOutgoingInterface(CInterface& out) {
  uint32_t method;
  {
    CLockGuard g(m_settings);
    method = m_settings.InterfaceMethod;
    if (method == INTERFACE_METHOD_FIXED) {
      out = m_settings.FixedInterface;
      return;
    }
  }
  if (method == INTERFACE_METHOD_ROUND_ROBIN) {
    CLockableList& list = m_settings.Interfaces;
    CLockGuard listLock(list);
    // An empty list gives what method 0 gives rather than nothing.
    while (auto head = list.RemoveHead()) {
      auto entry = std::dynamic_pointer_cast<CInterface>(head);
      list.AddTail(head);
      if (entry) {
        out = *entry;
        return;
      }
      if (list.GetCount() <= 1) break;
    }
  }
  out = CInterface(INTERFACE_IP, "0.0.0.0");
}

// ---- Bindings against the interface list -----------------------------------------------------------

void CService::AutoBind(CSysInfo& info) {
  CString name;
  {
    CLockGuard g(m_settings);
    const uint32_t option = m_settings.BindingOption;
    if (!(option == BINDING_ALL || (option == BINDING_SPECIFIC && m_settings.SpecificBinding.empty()))) return;
    m_settings.BindingOption = BINDING_LIST;
    name = m_settings.Name;
  }
  // Outside the settings' lock: dropping a binding closes its listener.
  DeleteAllBindings();
  std::vector<std::shared_ptr<CInterface>> entries;
  {
    CLockGuard listLock(info.m_interfaces);
    for (auto& [key, obj] : info.m_interfaces) {
      auto entry = std::dynamic_pointer_cast<CInterface>(obj);
      if (entry) entries.push_back(entry);
    }
  }
  const bool insideOnly = m_settings.ServesInsideOnly();
  for (const auto& entry : entries) {
    if (entry->m_kind != INTERFACE_IP && entry->m_kind != INTERFACE_LOOPBACK) continue;
    if (!m_settings.AcceptsInterface(*entry)) continue;
    uint32_t addr = 0;
    const CString text = entry->GetAddressText();
    // A server for the inside answering on the outside is a rogue server for the network there.
    if (entry->m_outside) {
      if (insideOnly)
        Log(LOG_CONFIGURATION, "Interface %s left out of automatic binding - it is marked Internet-facing",
            text.c_str());
      continue;
    }
    if (insideOnly && !entry->m_upstream.empty()) {
      Log(LOG_CONFIGURATION, "Interface %s left out of automatic binding - %s", text.c_str(),
          entry->m_upstream.c_str());
      continue;
    }
    const bool privateAddress = TryParseIPAddress(text, &addr) && IsPrivateAddress(addr);
    if (!entry->m_lan && !privateAddress) continue;
    Log(LOG_CONFIGURATION, "Binding added - %s", text.c_str());
    auto binding = std::make_shared<CBinding>();
    binding->m_interface = CInterface(entry->m_kind, entry->m_name);
    binding->m_interface.m_address = text;
    binding->m_state = BINDING_TO_OPEN;
    InsertBinding(std::move(binding));
  }
  m_settings.SaveSettings(Subkey(kServicesKey, name.c_str()));
}

void CService::ValidateBindings(CSysInfo& info) {
  bool autoBind, allInside;
  {
    CLockGuard g(m_settings);
    autoBind = m_settings.BindingOption == BINDING_SPECIFIC && m_settings.SpecificBinding.empty();
    // Every interface would take the outside ones too.
    allInside = m_settings.BindingOption == BINDING_ALL && m_settings.ServesInsideOnly();
  }
  if (autoBind)
    Log(LOG_CONFIGURATION, "Invalid binding option - no specific binding specified.  Performing auto binding");
  if (autoBind || allInside) AutoBind(info);
  // Collect first, then change: the map is never altered under its own walk.
  std::vector<CString> invalid;
  {
    CLockGuard bindingsLock(m_settings.Bindings);
    for (auto& [key, obj] : m_settings.Bindings) {
      auto binding = std::dynamic_pointer_cast<CBinding>(obj);
      auto entry = info.m_interfaces.LookupAs<CInterface>(key);
      if (binding && entry && m_settings.AcceptsInterface(*entry)) {
        binding->m_interface.m_kind = entry->m_kind;
      } else {
        invalid.push_back(key);
      }
    }
  }
  for (const auto& key : invalid) {
    RemoveBinding(key);
    Log(LOG_CONFIGURATION, "Invalid binding %s removed on validate", key.c_str());
  }
  if (!invalid.empty()) m_settings.SaveSettings(Subkey(kServicesKey, m_settings.GetName().c_str()));
}

// ---- Log --------------------------------------------------------------------------------------------

void CService::OpenLogFile() {
  CloseLogFile();
  CString name;
  {
    CLockGuard g(m_settings);
    if (!m_settings.LoggingEnabled) return;
    name = m_settings.Name;
  }
  auto file = CLogFile::Open(kLogDirectoryValue, kLogDirectoryDefault, name);
  if (!file) {
    CLockGuard g(m_settings);
    m_settings.LoggingEnabled = 0;
    return;
  }
  std::lock_guard<std::mutex> lk(m_logMutex);
  m_logFile = std::move(file);
}

void CService::CloseLogFile() {
  std::shared_ptr<CLogFile> old;  // lines still queued keep their own reference
  std::lock_guard<std::mutex> lk(m_logMutex);
  old = std::move(m_logFile);
}

std::shared_ptr<CLogFile> CService::GetLogFile() const {
  std::lock_guard<std::mutex> lk(m_logMutex);
  return m_logFile;
}

void CService::Log(uint32_t type, const char* format, ...) {
  try {
    CString text;
    va_list args;
    va_start(args, format);
    FormatStringV(text, format, args);
    va_end(args);
    WriteLogLine(type, text);
  } catch (...) {
    // A log line is never worth failing the caller.
  }
}

void CService::WriteLogLine(uint32_t type, const CString& textIn) {
  const char* form;
  switch (type) {
    case LOG_CONFIGURATION: form = "%s\tConfiguration changed\t%s\r\n"; break;
    case LOG_INFORMATION: form = "%s\t%s\r\n"; break;
    case LOG_ERROR: form = "%s\tError:\t%s\r\n"; break;
    case LOG_DEBUG: form = "%s\tDebug:\t%s\r\n"; break;
    default: return;
  }
  auto file = GetLogFile();
  if (!file) return;
  {
    CLockGuard g(m_settings);
    if (!(m_settings.LogOptions & type)) return;
  }
  CString text = textIn;
  FlattenControls(text);
  SubmitLogLine(file, FormatString(form, LogTimeStamp().c_str(), text.c_str()));
}

// ---- CTCPService ----------------------------------------------------------------------------------

CTCPService::CTCPService(CTCPServiceSettings& settings) : CService(settings), m_tcpSettings(settings) {}

CTCPService::~CTCPService() = default;

void CTCPService::Startup() {
  bool enabled;
  {
    CLockGuard g(m_tcpSettings);
    enabled = m_tcpSettings.Enabled != 0;
  }
  if (enabled) Start();
}

void CTCPService::Shutdown() { Stop(); }

std::shared_ptr<CTCPSession> CTCPService::CreateSession(int handle) {
  if (handle >= 0) ::close(handle);
  return nullptr;
}

std::vector<std::shared_ptr<CTCPSession>> CTCPService::GetSessions() {
  std::vector<std::shared_ptr<CTCPSession>> live;
  std::lock_guard<std::mutex> lk(m_sessionsMutex);
  std::vector<std::weak_ptr<CTCPSession>> kept;
  for (auto& w : m_sessions) {
    auto s = w.lock();
    if (s && !s->HasEnded()) {
      live.push_back(s);
      kept.push_back(w);
    }
  }
  m_sessions.swap(kept);
  return live;
}

size_t CTCPService::GetSessionCount() { return GetSessions().size(); }

size_t CTCPService::GetTrackedSessionEntries() {
  std::lock_guard<std::mutex> lk(m_sessionsMutex);
  return m_sessions.size();
}

bool CTCPService::WaitForSessions(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (const auto& s : GetSessions()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !s->WaitForExit(static_cast<int>(left))) return GetSessionCount() == 0;
  }
  return true;
}

void CTCPService::SocketCallback(void* context, X1Socket* socket, uint32_t event) {
  if (!context || !socket || event != FD_ACCEPT) return;
  auto* service = static_cast<CService*>(context);
  if (auto* tcp = dynamic_cast<CTCPService*>(service)) tcp->OnAcceptEvent(*socket);
}

size_t CTCPService::MaxProcessThreads() {
  static const size_t limit = [] {
    size_t n = 32768;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
      n = std::min<size_t>(n, files.rlim_cur / 3);
    rlimit tasks{};
    if (getrlimit(RLIMIT_NPROC, &tasks) == 0 && tasks.rlim_cur != RLIM_INFINITY)
      n = std::min<size_t>(n, tasks.rlim_cur / 2);
    if (FILE* f = std::fopen("/proc/sys/kernel/threads-max", "r")) {
      unsigned long long systemThreads = 0;
      if (std::fscanf(f, "%llu", &systemThreads) == 1 && systemThreads > 0)
        n = std::min<size_t>(n, systemThreads / 2);
      std::fclose(f);
    }
    return std::max<size_t>(n, 256);
  }();
  return limit;
}

void CTCPService::OnAcceptEvent(X1Socket& listener) {
  // Without an exception: with ending sessions taking connections too, "nothing pending" is common.
  uint32_t error = 0;
  const int handle = listener.TryAccept(&error);
  if (handle < 0) {
    // Out of descriptors the connection waits in the backlog and the listener pauses; said once
    // per spell, not once per attempt.
    if (error == WSAEMFILE && !m_outOfDescriptors.exchange(true))
      Log(LOG_ERROR, "Connections wait: the engine has run out of descriptors (error %u)",
          static_cast<unsigned>(error));
    return;  // otherwise nothing was pending after all
  }
  StartSessionFor(handle, SessionStart::kNewThread);
}

bool CTCPService::TakeNextConnection() {
  if (!TakesConnectionsOnSessionEnd()) return false;
  // Taken here even while threads wait on the listener: this thread runs already, and a waiter
  // woken for the same connection only finds nothing and waits on.
  int handle = -1;
  {
    // The binding map's lock keeps the listener from being closed or made anew under the accept.
    // Only tried: when the engine thread or another ending session holds it, they take the
    // connection. It is not held beyond the accept, since the settings lock comes before it.
    std::unique_lock<CLockableMap> lk(Settings().Bindings, std::try_to_lock);
    if (!lk.owns_lock()) return false;
    uint32_t error = 0;
    handle = m_listener.TryAccept(&error);
  }
  // Out of descriptors the engine thread's accept says so; nothing pending is the usual answer.
  if (handle < 0) return false;
  std::shared_ptr<CTCPSession> session = StartSessionFor(handle, SessionStart::kAfterEndingSession);
  if (!session) return false;
  // A stop closes the listener before it ends every live session. The session is live by now, so
  // either the stop comes later and ends it, or it has closed the listener already and the session
  // is ended here.
  if (m_listener.GetHandle() < 0) session->Terminate(kSessionExitMachineGone);
  return true;
}

bool CTCPService::WaitForNextConnectionAfterCurrent() {
  if (!TakesConnectionsOnSessionEnd()) return false;
  if (m_connectionWaiters.fetch_add(1) >= kMaxConnectionWaiters) {
    m_connectionWaiters.fetch_sub(1);
    return false;
  }
  auto self = std::static_pointer_cast<CTCPService>(weak_from_this().lock());
  // Counted with the live sessions from before the ending one stops counting, so an engine stop
  // that waits for its sessions also waits until the thread has started what it accepted.
  CTCPSession::BeginTakingConnection();
  if (!self || !platform::MsgThread::RunAfterCurrent([self] { self->WaitForNextConnection(); })) {
    m_connectionWaiters.fetch_sub(1);
    CTCPSession::EndTakingConnection();
    return false;
  }
  return true;
}

void CTCPService::WaitForNextConnection() {
  int handle = -1;
  try {
    uint32_t error = 0;
    handle = m_listener.AcceptWaiting(kNextConnectionWaitMs, &error);
  } catch (...) {
    // Nothing taken: the engine thread accepts as before.
  }
  m_connectionWaiters.fetch_sub(1);
  if (handle >= 0) {
    try {
      std::shared_ptr<CTCPSession> session = StartSessionFor(handle, SessionStart::kBetweenSessions);
      // As in TakeNextConnection: a stop that closed the listener meanwhile ends what started.
      if (session && m_listener.GetHandle() < 0) session->Terminate(kSessionExitMachineGone);
    } catch (...) {
      // StartSessionFor owns the descriptor and reports its own failures.
    }
  }
  CTCPSession::EndTakingConnection();
}

std::shared_ptr<CTCPSession> CTCPService::StartSessionFor(int handle, SessionStart where) {
  const bool afterCurrent = where != SessionStart::kNewThread;
  if (m_outOfDescriptors.exchange(false)) Log(LOG_INFORMATION, "Connections are accepted again");
  // A service already on its way out (last reference gone) makes no more sessions.
  auto self = std::static_pointer_cast<CTCPService>(weak_from_this().lock());
  if (!self) {
    ::close(handle);
    return nullptr;
  }
  bool limited;
  uint32_t limit;
  {
    CLockGuard g(m_tcpSettings);
    limited = m_tcpSettings.LimitSessions != 0;
    limit = m_tcpSettings.SessionLimit;
  }
  // A session started after the current one takes the place the ending one (still counted) frees.
  const size_t ending = where == SessionStart::kAfterEndingSession ? 1 : 0;
  if (limited && GetSessionCount() >= limit + ending) {
    ::close(handle);
    Log(LOG_ERROR, "Connection refused - session limit of %u reached", limit);
    return nullptr;
  }
  if (platform::MsgThread::LiveThreadCount() >= MaxProcessThreads() + ending) {
    ::close(handle);
    Log(LOG_ERROR, "Connection refused - too many sessions in the engine");
    return nullptr;
  }
  std::shared_ptr<CTCPSession> session;
  try {
    // From here the descriptor is CreateSession's, then the session's.
    session = CreateSession(handle);
    if (!session) return nullptr;
    PrepareSession(*session);
    {
      std::lock_guard<std::mutex> lk(m_sessionsMutex);
      // Ended sessions leave only expired entries behind, but each still pins its session's
      // memory; drop them whenever the list has doubled since the last time.
      if (m_sessions.size() >= m_sessionsPruneAt) {
        std::erase_if(m_sessions, [](const std::weak_ptr<CTCPSession>& w) { return w.expired(); });
        m_sessionsPruneAt = 2 * m_sessions.size() + 64;
      }
      m_sessions.push_back(session);
    }
    if (!(afterCurrent ? session->StartAfterCurrent() : session->OnActivity())) {
      // The thread could not be started: the session (and the descriptor it owns) goes here.
      Log(LOG_ERROR, "Session thread could not be started");
      return nullptr;
    }
    return session;
  } catch (const std::exception&) {
    Log(LOG_ERROR, "Caught CException in CTCPServiceSocketCallback()");
  } catch (...) {
    Log(LOG_ERROR, "Caught unknown exception in CTCPServiceSocketCallback()");
  }
  // A half-made session goes with this reference and closes its descriptor.
  return nullptr;
}

void CTCPService::PrepareSession(CTCPSession& session) {
  uint32_t timeOut, seconds;
  {
    CLockGuard g(m_tcpSettings);
    timeOut = m_tcpSettings.TimeOutSessions;
    seconds = m_tcpSettings.SessionTimeout;
  }
  session.UseServiceNonProxySettings(*this);
  session.UseServiceAccessRight(shared_from_this());
  session.UseServiceLog(*this);
  session.UseServiceInterfaces(*this);
  session.SetTimeout(timeOut != 0, seconds);
  // Every gateway that connects onward does it through the two-end session, which needs the
  // service's upstream settings before its thread starts.
  session.UseServiceConnectSettings(*this);
}
