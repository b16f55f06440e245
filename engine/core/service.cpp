#include "engine/core/service.h"

#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <thread>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/session.h"
#include "engine/net/socket_exception.h"
#include "platform/msg_thread.h"

TL_IMPLEMENT_SERIAL(CService, CLockableObject, 1)
TL_IMPLEMENT_SERIAL(CTCPService, CService, 1)

namespace {

// Values of the service key that older versions wrote and UpgradeLegacySettings converts.
constexpr const char* kLegacyInterfaceAddress = "InterfaceAddress";
constexpr const char* kLegacySpecifiedInterface = "SpecifiedInterfaceAddress";
constexpr const char* kLegacyCriticalService = "CriticalService";

CString Subkey(const CString& key, const char* name) { return key + "\\" + name; }

// A value from a log argument must stay inside its field and its line.
void FlattenControls(CString& text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
}

// Releases objects taken out of a container after every lock of the caller has been given up:
// a binding's destructor closes its listener, which waits for a running accept callback.
using Released = std::vector<std::shared_ptr<CObject>>;

}  // namespace

// ---- CService ----------------------------------------------------------------------------------

CService::CService() {
  Bindings.SetElementClass(TL_RUNTIME_CLASS(CBinding));
  Interfaces.SetElementClass(TL_RUNTIME_CLASS(CInterface));
  ResetRightIdentities();
}

CService::CService(uint32_t port, const CString& name, const CString& description) : CService() {
  PortNumber = port;
  Name = name;
  Description = description;
  NonProxyRequestPort = port;
}

CService::~CService() {
  // Listeners go before anything an accept callback could read.
  m_listener.Close();
  for (const auto& [key, obj] : Bindings.Snapshot()) {
    if (auto b = std::dynamic_pointer_cast<CBinding>(obj)) b->CloseSocket();
  }
}

bool CService::IsValidName(const CString& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '/') return false;
  }
  return true;
}

void CService::ResetRightIdentities() {
  AccessRights.RightType = kRightAccess;
  AccessRights.Description = kServiceAccessRightText;
  StartStopRights.RightType = kRightStartStop;
  StartStopRights.Description = kServiceStartStopRightText;
  EditRights.RightType = kRightEdit;
  EditRights.Description = kServiceEditRightText;
}

bool CService::AcceptsInterface(const CInterface& entry) const { return entry.m_kind != INTERFACE_DIALUP; }

CString CService::GetName() const {
  CLockGuard g(*this);
  return Name;
}

bool CService::SetName(const CString& name) {
  if (!IsValidName(name)) return false;
  CLockGuard g(*this);
  Name = name;
  return true;
}

CString CService::GetDescription() const {
  CLockGuard g(*this);
  return Description;
}

void CService::SetDescription(const CString& description) {
  CLockGuard g(*this);
  Description = description;
}

// ---- Listeners -----------------------------------------------------------------------------------

void CService::OpenListener(X1Socket& socket, const CString& address, bool reuse) {
  const uint32_t transport = GetTransport();
  if (socket.IsOpen()) socket.Close();
  uint32_t port;
  {
    CLockGuard g(*this);
    port = PortNumber;
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
    socket.Bind(static_cast<uint16_t>(port), address == "0.0.0.0" ? CString() : address);
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
    CLockGuard g(*this);
    enabled = Enabled;
    option = BindingOption;
    port = PortNumber;
    reuse = ReuseAddr;
    specific = SpecificBinding;
  }
  if (!enabled) return;
  bool failed = false;
  Released released;
  {
    CLockGuard bindingsLock(Bindings);
    if (option == BINDING_ALL || option == BINDING_SPECIFIC) {
      const CString address = option == BINDING_ALL ? CString("0.0.0.0") : specific;
      try {
        OpenListener(m_listener, address, reuse != 0);
        Log(LOG_INFORMATION, "Service started on interface %s:%u", address.c_str(), port);
      } catch (const X1SocketException& e) {
        Log(LOG_ERROR, "Service failed startup on interface %s:%u error %u", address.c_str(), port,
            static_cast<unsigned>(e.GetCode()));
        failed = true;
      }
    } else {
      std::vector<CString> empty;
      for (auto& [key, obj] : Bindings) {
        auto binding = std::dynamic_pointer_cast<CBinding>(obj);
        if (!binding) {
          empty.push_back(key);
          continue;
        }
        if (binding->m_state != BINDING_TO_OPEN || !binding->m_interface.IsAvailable()) continue;
        const CString address = binding->m_interface.GetAddressText();
        try {
          OpenListener(binding->Socket(), address, true);
          Log(LOG_INFORMATION, "Service started on interface %s:%u", address.c_str(), port);
          binding->m_state = BINDING_LISTENING;
        } catch (const X1SocketException& e) {
          Log(LOG_ERROR, "Service failed startup on interface %s:%u error %u", address.c_str(), port,
              static_cast<unsigned>(e.GetCode()));
          binding->m_state = BINDING_FAILED;
          failed = true;
        }
      }
      for (const auto& key : empty) {
        released.push_back(Bindings.Lookup(key));
        Bindings.RemoveKey(key);
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

void CService::Stop() {
  Released released;
  {
    CLockGuard bindingsLock(Bindings);
    m_listener.Close();
    std::vector<CString> empty;
    for (auto& [key, obj] : Bindings) {
      auto binding = std::dynamic_pointer_cast<CBinding>(obj);
      if (!binding) {
        empty.push_back(key);
        continue;
      }
      binding->CloseSocket();
      binding->m_state = BINDING_TO_OPEN;
    }
    for (const auto& key : empty) {
      released.push_back(Bindings.Lookup(key));
      Bindings.RemoveKey(key);
    }
  }
  SetRunningState(SERVICE_STOPPED);
  Log(LOG_INFORMATION, "Service stopped");
}

void CService::Restart() {
  Stop();
  Start();
  {
    CLockGuard g(*this);
    RestartNeeded = 0;
  }
  Log(LOG_INFORMATION, "Service restarted");
}

X1Socket* CService::FindBindingSocket(int handle) {
  if (handle < 0) return nullptr;
  CLockGuard bindingsLock(Bindings);
  uint32_t option;
  {
    CLockGuard g(*this);
    option = BindingOption;
  }
  if (option == BINDING_LIST) {
    for (auto& [key, obj] : Bindings) {
      auto binding = std::dynamic_pointer_cast<CBinding>(obj);
      if (binding && binding->HasSocket() && binding->Socket().GetHandle() == handle) return &binding->Socket();
    }
    return nullptr;
  }
  return m_listener.GetHandle() == handle ? &m_listener : nullptr;
}

bool CService::IsBoundTo(const CString& address, uint32_t port) {
  uint32_t option;
  CString specific;
  {
    CLockGuard g(*this);
    if (port != PortNumber) return false;
    option = BindingOption;
    specific = SpecificBinding;
  }
  switch (option) {
    case BINDING_ALL: return GetRunningState() == SERVICE_RUNNING;
    case BINDING_SPECIFIC: return GetRunningState() == SERVICE_RUNNING && address == specific;
    case BINDING_LIST: {
      auto binding = Bindings.LookupAs<CBinding>(address);
      return binding && binding->m_state == BINDING_LISTENING;
    }
    default: return false;
  }
}

void CService::InsertBinding(std::shared_ptr<CBinding> binding) {
  if (!binding) return;
  Released released;
  CLockGuard bindingsLock(Bindings);
  const CString key = binding->m_interface.m_name;
  released.push_back(Bindings.Lookup(key));
  Bindings.SetAt(key, std::move(binding));
}

void CService::RemoveBinding(const CString& address) {
  std::shared_ptr<CObject> old;  // destroyed after the lock, closing its listener
  CLockGuard bindingsLock(Bindings);
  old = Bindings.Lookup(address);
  Bindings.RemoveKey(address);
}

void CService::DeleteAllBindings() {
  Released released;
  CLockGuard bindingsLock(Bindings);
  for (auto& [key, obj] : Bindings.Snapshot()) released.push_back(obj);
  Bindings.RemoveAll();
}

void CService::AddOutgoingInterface(std::shared_ptr<CInterface> entry) {
  if (entry) Interfaces.AddTail(std::move(entry));
}

void CService::GetOutgoingInterface(CInterface& out) {
  uint32_t method;
  {
    CLockGuard g(*this);
    method = InterfaceMethod;
    if (method == INTERFACE_METHOD_FIXED) {
      out = FixedInterface;
      return;
    }
  }
  if (method == INTERFACE_METHOD_ROUND_ROBIN) {
    CLockGuard listLock(Interfaces);
    // An empty list gives what method 0 gives rather than nothing.
    while (auto head = Interfaces.RemoveHead()) {
      auto entry = std::dynamic_pointer_cast<CInterface>(head);
      Interfaces.AddTail(head);
      if (entry) {
        out = *entry;
        return;
      }
      if (Interfaces.GetCount() <= 1) break;
    }
  }
  out = CInterface(INTERFACE_IP, "0.0.0.0");
}

// ---- Bindings against the interface list -----------------------------------------------------------

void CService::AutoBind(CSysInfo& info) {
  CString name;
  {
    CLockGuard g(*this);
    if (!(BindingOption == BINDING_ALL || (BindingOption == BINDING_SPECIFIC && SpecificBinding.empty()))) return;
    DeleteAllBindings();
    BindingOption = BINDING_LIST;
    name = Name;
  }
  std::vector<std::shared_ptr<CInterface>> entries;
  {
    CLockGuard listLock(info.m_interfaces);
    for (auto& [key, obj] : info.m_interfaces) {
      auto entry = std::dynamic_pointer_cast<CInterface>(obj);
      if (entry) entries.push_back(entry);
    }
  }
  for (const auto& entry : entries) {
    if (entry->m_outside) continue;
    if (entry->m_kind != INTERFACE_IP && entry->m_kind != INTERFACE_LOOPBACK) continue;
    if (!AcceptsInterface(*entry)) continue;
    uint32_t addr = 0;
    const CString text = entry->GetAddressText();
    const bool privateAddress = TryParseIPAddress(text, &addr) && IsPrivateAddress(addr);
    if (!entry->m_lan && !privateAddress) continue;
    Log(LOG_CONFIGURATION, "Binding added - %s", text.c_str());
    auto binding = std::make_shared<CBinding>();
    binding->m_interface = CInterface(entry->m_kind, entry->m_name);
    binding->m_interface.m_address = text;
    binding->m_state = BINDING_TO_OPEN;
    InsertBinding(std::move(binding));
  }
  SaveSettings(Subkey(kServicesKey, name.c_str()));
}

void CService::ValidateBindings(CSysInfo& info) {
  bool autoBind;
  {
    CLockGuard g(*this);
    autoBind = BindingOption == BINDING_SPECIFIC && SpecificBinding.empty();
  }
  if (autoBind) {
    Log(LOG_CONFIGURATION, "Invalid binding option - no specific binding specified.  Performing auto binding");
    AutoBind(info);
  }
  // Collect first, then change: the map is never altered under its own walk.
  std::vector<CString> invalid;
  {
    CLockGuard bindingsLock(Bindings);
    for (auto& [key, obj] : Bindings) {
      auto binding = std::dynamic_pointer_cast<CBinding>(obj);
      auto entry = info.m_interfaces.LookupAs<CInterface>(key);
      if (binding && entry && AcceptsInterface(*entry)) {
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
  if (!invalid.empty()) SaveSettings(Subkey(kServicesKey, GetName().c_str()));
}

// ---- Registry ---------------------------------------------------------------------------------------

bool CService::SaveSettings(const CString& key) {
  RegBatch batch;
  CLockGuard g(*this);
  bool ok = true;
  ok &= RegWriteString(key, "ServiceType", GetRuntimeClass()->m_lpszClassName);
  ok &= RegWriteString(key, "Name", Name);
  ok &= RegWriteString(key, "Description", Description);
  ok &= RegWriteDWORD(key, "PortNumber", PortNumber);
  ok &= RegWriteDWORD(key, "Enabled", Enabled);
  ok &= RegWriteDWORD(key, "TimeOutSessions", TimeOutSessions);
  ok &= RegWriteDWORD(key, "SessionTimeout", SessionTimeout);
  ok &= RegWriteDWORD(key, "NonProxyRequestAction", NonProxyRequestAction);
  ok &= RegWriteString(key, "NonProxyRequestHost", NonProxyRequestHost);
  ok &= RegWriteDWORD(key, "NonProxyRequestPort", NonProxyRequestPort);
  ok &= RegWriteDWORD(key, "LoggingEnabled", LoggingEnabled);
  ok &= RegWriteDWORD(key, "LogOptions", LogOptions);
  ok &= RegWriteDWORD(key, "LimitSessions", LimitSessions);
  ok &= RegWriteDWORD(key, "SessionLimit", SessionLimit);
  ok &= AccessRights.Save(Subkey(key, "AccessRights"));
  ok &= StartStopRights.Save(Subkey(key, "StartStopRights"));
  ok &= EditRights.Save(Subkey(key, "EditRights"));
  ok &= RegWriteDWORD(key, "BindingOption", BindingOption);
  ok &= RegWriteString(key, "SpecificBinding", SpecificBinding);
  ok &= RegWriteDWORD(key, "ReuseAddr", ReuseAddr);
  {
    const CString bindingsKey = Subkey(key, "Bindings");
    CLockGuard bindingsLock(Bindings);
    ok &= RegDeleteKeyTree(bindingsKey);
    for (const auto& [name, obj] : Bindings) {
      auto binding = std::dynamic_pointer_cast<CBinding>(obj);
      if (binding && IsValidName(name)) ok &= binding->Save(bindingsKey + "\\" + name);
    }
  }
  ok &= RegWriteDWORD(key, "InterfaceMethod", InterfaceMethod);
  ok &= FixedInterface.Save(key);
  {
    const CString interfacesKey = Subkey(key, "Interfaces");
    CLockGuard listLock(Interfaces);
    ok &= RegDeleteKeyTree(interfacesKey);
    for (const auto& obj : Interfaces) {
      auto entry = std::dynamic_pointer_cast<CInterface>(obj);
      if (entry && IsValidName(entry->m_name)) ok &= entry->Save(interfacesKey + "\\" + entry->m_name);
    }
  }
  return ok;
}

void CService::LoadSettings(const CString& key) {
  if (RegReadDWORD("Settings", "Version", 0) == 0) UpgradeLegacySettings(key);
  Released released;
  CLockGuard g(*this);
  Name = RegReadString(key, "Name", "");
  Description = RegReadString(key, "Description", "");
  PortNumber = RegReadDWORD(key, "PortNumber", 0);
  Enabled = RegReadDWORD(key, "Enabled", 1);
  TimeOutSessions = RegReadDWORD(key, "TimeOutSessions", 1);
  SessionTimeout = RegReadDWORD(key, "SessionTimeout", kLoadedSessionTimeout);
  NonProxyRequestAction = RegReadDWORD(key, "NonProxyRequestAction", 0);
  NonProxyRequestHost = RegReadString(key, "NonProxyRequestHost", "");
  NonProxyRequestPort = RegReadDWORD(key, "NonProxyRequestPort", PortNumber);
  LoggingEnabled = RegReadDWORD(key, "LoggingEnabled", 1);
  LogOptions = RegReadDWORD(key, "LogOptions", kDefaultLogOptions);
  LimitSessions = RegReadDWORD(key, "LimitSessions", 0);
  SessionLimit = RegReadDWORD(key, "SessionLimit", 0);
  AccessRights.Load(Subkey(key, "AccessRights"));
  StartStopRights.Load(Subkey(key, "StartStopRights"));
  EditRights.Load(Subkey(key, "EditRights"));
  ResetRightIdentities();
  BindingOption = RegReadDWORD(key, "BindingOption", BINDING_ALL);
  SpecificBinding = RegReadString(key, "SpecificBinding", "");
  ReuseAddr = RegReadDWORD(key, "ReuseAddr", 0);
  {
    const CString bindingsKey = Subkey(key, "Bindings");
    CLockGuard bindingsLock(Bindings);
    for (const auto& [k, obj] : Bindings.Snapshot()) released.push_back(obj);
    Bindings.RemoveAll();
    for (const auto& name : RegEnumSubKeys(bindingsKey)) {
      if (name.size() > 512) continue;
      auto binding = std::make_shared<CBinding>();
      binding->Load(bindingsKey + "\\" + name);
      // The map is keyed by the interface name the binding carries, whatever the key's spelling.
      if (binding->m_interface.m_name.empty()) binding->m_interface.m_name = name;
      Bindings.SetAt(binding->m_interface.m_name, binding);
    }
  }
  InterfaceMethod = RegReadDWORD(key, "InterfaceMethod", INTERFACE_METHOD_ANY);
  FixedInterface.Load(key);
  if (FixedInterface.m_name.empty()) FixedInterface = CInterface(INTERFACE_IP, "0.0.0.0");
  {
    const CString interfacesKey = Subkey(key, "Interfaces");
    CLockGuard listLock(Interfaces);
    Interfaces.RemoveAll();
    for (const auto& name : RegEnumSubKeys(interfacesKey)) {
      if (name.size() > 512) continue;
      auto entry = std::make_shared<CInterface>();
      entry->Load(interfacesKey + "\\" + name);
      Interfaces.AddTail(entry);
    }
  }
}

void CService::UpgradeLegacySettings(const CString& key) {
  if (RegValueExists(key, kLegacyInterfaceAddress)) {
    const CString address = RegReadString(key, kLegacyInterfaceAddress, "");
    if (RegReadDWORD(key, kLegacySpecifiedInterface, 0) != 0 && address != "0.0.0.0") {
      RegWriteDWORD(key, "BindingOption", BINDING_SPECIFIC);
      RegWriteString(key, "SpecificBinding", address);
    } else {
      RegWriteDWORD(key, "BindingOption", BINDING_ALL);
    }
    RegRemoveValue(key, kLegacyInterfaceAddress);
    RegRemoveValue(key, kLegacySpecifiedInterface);
  }
  if (RegValueExists(key, kLegacyCriticalService)) {
    RegWriteDWORD(key, "ReuseAddr", RegReadDWORD(key, kLegacyCriticalService, 0));
    RegRemoveValue(key, kLegacyCriticalService);
  }
}

// ---- Archive ----------------------------------------------------------------------------------------

void CService::Serialize(CArchive& ar) {
  // Bindings a load drops close their listeners when released, after the service's lock.
  Released hold;
  if (ar.IsLoading()) {
    for (const auto& [k, obj] : Bindings.Snapshot()) hold.push_back(obj);
  }
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << Name << Description;
    ar << PortNumber << Enabled << GetRunningState() << TimeOutSessions << SessionTimeout
       << NonProxyRequestAction << NonProxyRequestHost << NonProxyRequestPort << LoggingEnabled << LogOptions
       << RestartNeeded << LimitSessions << SessionLimit << BindingOption << SpecificBinding << ReuseAddr
       << InterfaceMethod;
  } else {
    // Read into locals first: a name that cannot be a key is refused before anything changes.
    CString name, description;
    ar >> name >> description;
    if (!IsValidName(name)) throw CArchiveException(CArchiveException::badLength, "invalid service name");
    Name = name;
    Description = description;
    ar >> PortNumber >> Enabled >> m_reportedRunningState >> TimeOutSessions >> SessionTimeout >>
        NonProxyRequestAction >> NonProxyRequestHost >> NonProxyRequestPort >> LoggingEnabled >> LogOptions >>
        RestartNeeded >> LimitSessions >> SessionLimit >> BindingOption >> SpecificBinding >> ReuseAddr >>
        InterfaceMethod;
  }
  AccessRights.Serialize(ar);
  StartStopRights.Serialize(ar);
  EditRights.Serialize(ar);
  if (ar.IsLoading()) ResetRightIdentities();
  Bindings.SerializeChecked(ar);
  FixedInterface.Serialize(ar);
  Interfaces.SerializeChecked(ar);
}

// ---- Log --------------------------------------------------------------------------------------------

void CService::OpenLogFile() {
  CloseLogFile();
  CString name;
  {
    CLockGuard g(*this);
    if (!LoggingEnabled) return;
    name = Name;
  }
  auto file = CLogFile::Open(kLogDirectoryValue, kLogDirectoryDefault, name);
  if (!file) {
    CLockGuard g(*this);
    LoggingEnabled = 0;
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
    CLockGuard g(*this);
    if (!(LogOptions & type)) return;
  }
  CString text = textIn;
  FlattenControls(text);
  SubmitLogLine(file, FormatString(form, LogTimeStamp().c_str(), text.c_str()));
}

// ---- CTCPService ----------------------------------------------------------------------------------

CTCPService::CTCPService() = default;

CTCPService::CTCPService(uint32_t port, const CString& name, const CString& description)
    : CService(port, name, description) {}

CTCPService::~CTCPService() = default;

void CTCPService::Startup() {
  bool enabled;
  {
    CLockGuard g(*this);
    enabled = Enabled != 0;
  }
  if (enabled) Start();
}

void CTCPService::Shutdown() { Stop(); }

bool CTCPService::SaveSettings(const CString& key) {
  bool ok = CService::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  ok &= RegWriteDWORD(key, "ConnectMethod", ConnectMethod);
  ok &= RegWriteString(key, "ProxyServer", ProxyServer);
  ok &= RegWriteDWORD(key, "ProxyPort", ProxyPort);
  ok &= RegWriteString(key, "SOCKS4Password", SOCKS4Password);
  ok &= RegWriteDWORD(key, "BypassProxyOnLocal", BypassProxyOnLocal);
  return ok;
}

void CTCPService::LoadSettings(const CString& key) {
  CService::LoadSettings(key);
  CLockGuard g(*this);
  ConnectMethod = RegReadDWORD(key, "ConnectMethod", CONNECT_DIRECT);
  ProxyServer = RegReadString(key, "ProxyServer", "");
  ProxyPort = RegReadDWORD(key, "ProxyPort", 0);
  SOCKS4Password = RegReadString(key, "SOCKS4Password", "");
  BypassProxyOnLocal = RegReadDWORD(key, "BypassProxyOnLocal", 0);
}

void CTCPService::Serialize(CArchive& ar) {
  CService::Serialize(ar);
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << ConnectMethod << ProxyServer << ProxyPort << SOCKS4Password << BypassProxyOnLocal;
  } else {
    ar >> ConnectMethod >> ProxyServer >> ProxyPort >> SOCKS4Password >> BypassProxyOnLocal;
  }
}

CConnectSettings CTCPService::GetConnectSettings() const {
  CLockGuard g(*this);
  CConnectSettings s;
  s.ConnectMethod = ConnectMethod;
  s.ProxyServer = ProxyServer;
  s.ProxyPort = ProxyPort;
  s.SOCKS4Password = SOCKS4Password;
  s.BypassProxyOnLocal = BypassProxyOnLocal;
  return s;
}

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

void CTCPService::OnAcceptEvent(X1Socket& listener) {
  int handle = -1;
  try {
    handle = listener.Accept();
  } catch (const X1SocketException&) {
    return;  // nothing pending after all
  }
  // A service already on its way out (last reference gone) makes no more sessions.
  auto self = std::static_pointer_cast<CTCPService>(weak_from_this().lock());
  if (!self) {
    ::close(handle);
    return;
  }
  bool limited;
  uint32_t limit;
  {
    CLockGuard g(*this);
    limited = LimitSessions != 0;
    limit = SessionLimit;
  }
  if (limited && GetSessionCount() >= limit) {
    ::close(handle);
    Log(LOG_ERROR, "Connection refused - session limit of %u reached", limit);
    return;
  }
  if (platform::MsgThread::LiveThreadCount() >= kMaxProcessThreads) {
    ::close(handle);
    Log(LOG_ERROR, "Connection refused - too many sessions in the engine");
    return;
  }
  std::shared_ptr<CTCPSession> session;
  try {
    // From here the descriptor is CreateSession's, then the session's.
    session = CreateSession(handle);
    if (!session) return;
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
    if (!session->OnActivity()) {
      // The thread could not be started: the session (and the descriptor it owns) goes here.
      Log(LOG_ERROR, "Session thread could not be started");
    }
  } catch (const std::exception&) {
    Log(LOG_ERROR, "Caught CException in CTCPServiceSocketCallback()");
  } catch (...) {
    Log(LOG_ERROR, "Caught unknown exception in CTCPServiceSocketCallback()");
  }
  // A half-made session goes with this reference and closes its descriptor.
}

void CTCPService::PrepareSession(CTCPSession& session) {
  uint32_t timeOut, seconds;
  {
    CLockGuard g(*this);
    timeOut = TimeOutSessions;
    seconds = SessionTimeout;
  }
  session.UseServiceNonProxySettings(*this);
  session.UseServiceAccessRight(shared_from_this());
  session.UseServiceLog(*this);
  session.UseServiceInterfaces(*this);
  session.SetTimeout(timeOut != 0, seconds);
}
