#include "engine/core/service_settings.h"

#include "engine/config/reg_helpers.h"
#include "engine/config/settings_table.h"

TL_IMPLEMENT_SERIAL(CBinding, CObject, 1)
TL_IMPLEMENT_SERIAL_AS(CServiceSettings, "CService", CLockableObject, 1)
TL_IMPLEMENT_SERIAL_AS(CTCPServiceSettings, "CTCPService", CServiceSettings, 1)
TL_IMPLEMENT_SERIAL_AS(CUDPServiceSettings, "CUDPService", CServiceSettings, 1)

namespace {

// Values of the service key that older versions wrote and UpgradeLegacySettings converts.
constexpr const char* kLegacyInterfaceAddress = "InterfaceAddress";
constexpr const char* kLegacySpecifiedInterface = "SpecifiedInterfaceAddress";
constexpr const char* kLegacyCriticalService = "CriticalService";

CString Subkey(const CString& key, const char* name) { return key + "\\" + name; }

using ServiceRow = CSettingRow<CServiceSettings>;
using S = CServiceSettings;
// The scalar settings in archive order; the rights, bindings and interfaces follow them.
constexpr ServiceRow kServiceRows[] = {
    ServiceRow::Text("Name", &S::Name, "", kSettingBoth, &S::IsValidName),
    ServiceRow::Text("Description", &S::Description, ""),
    ServiceRow::Dword("PortNumber", &S::PortNumber, 0),
    ServiceRow::Dword("Enabled", &S::Enabled, 1),
    ServiceRow::Custom(&S::ArchiveRunningState),
    ServiceRow::Dword("TimeOutSessions", &S::TimeOutSessions, 1),
    ServiceRow::Dword("SessionTimeout", &S::SessionTimeout, S::kLoadedSessionTimeout),
    ServiceRow::Dword("NonProxyRequestAction", &S::NonProxyRequestAction, 0),
    ServiceRow::Text("NonProxyRequestHost", &S::NonProxyRequestHost, ""),
    ServiceRow::Dword("NonProxyRequestPort", &S::NonProxyRequestPort, 0),
    ServiceRow::Dword("LoggingEnabled", &S::LoggingEnabled, 1),
    ServiceRow::Dword("LogOptions", &S::LogOptions, S::kDefaultLogOptions),
    ServiceRow::Dword("RestartNeeded", &S::RestartNeeded, 0, kSettingArchived),
    ServiceRow::Dword("LimitSessions", &S::LimitSessions, 0),
    ServiceRow::Dword("SessionLimit", &S::SessionLimit, 0),
    ServiceRow::Dword("BindingOption", &S::BindingOption, BINDING_ALL),
    ServiceRow::Text("SpecificBinding", &S::SpecificBinding, ""),
    ServiceRow::Dword("ReuseAddr", &S::ReuseAddr, 0),
    ServiceRow::Dword("InterfaceMethod", &S::InterfaceMethod, INTERFACE_METHOD_ANY),
};

using TCPRow = CSettingRow<CTCPServiceSettings>;
using T = CTCPServiceSettings;
constexpr TCPRow kTCPRows[] = {
    TCPRow::Dword("ConnectMethod", &T::ConnectMethod, CONNECT_DIRECT),
    TCPRow::Text("ProxyServer", &T::ProxyServer, ""),
    TCPRow::Dword("ProxyPort", &T::ProxyPort, 0),
    TCPRow::Text("SOCKS4Password", &T::SOCKS4Password, ""),
    TCPRow::Dword("BypassProxyOnLocal", &T::BypassProxyOnLocal, 0),
};

}  // namespace

// ---- CBinding ------------------------------------------------------------------------------------

void CBinding::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << m_state;
  } else {
    ar >> m_state;
  }
  m_interface.Serialize(ar);
}

// ---- CServiceSettings ------------------------------------------------------------------------------

CServiceSettings::CServiceSettings() {
  Bindings.SetElementClass(TL_RUNTIME_CLASS(CBinding));
  Interfaces.SetElementClass(TL_RUNTIME_CLASS(CInterface));
  ResetRightIdentities();
}

CServiceSettings::CServiceSettings(uint32_t port, const CString& name, const CString& description)
    : CServiceSettings() {
  PortNumber = port;
  Name = name;
  Description = description;
  NonProxyRequestPort = port;
}

CServiceSettings::~CServiceSettings() = default;

bool CServiceSettings::IsValidName(const CString& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '/') return false;
  }
  return true;
}

void CServiceSettings::ResetRightIdentities() {
  AccessRights.RightType = kRightAccess;
  AccessRights.Description = kServiceAccessRightText;
  StartStopRights.RightType = kRightStartStop;
  StartStopRights.Description = kServiceStartStopRightText;
  EditRights.RightType = kRightEdit;
  EditRights.Description = kServiceEditRightText;
}

bool CServiceSettings::AcceptsInterface(const CInterface& entry) const { return entry.m_kind != INTERFACE_DIALUP; }

CString CServiceSettings::GetName() const {
  CLockGuard g(*this);
  return Name;
}

bool CServiceSettings::SetName(const CString& name) {
  if (!IsValidName(name)) return false;
  CLockGuard g(*this);
  Name = name;
  return true;
}

CString CServiceSettings::GetDescription() const {
  CLockGuard g(*this);
  return Description;
}

void CServiceSettings::SetDescription(const CString& description) {
  CLockGuard g(*this);
  Description = description;
}

uint32_t CServiceSettings::GetRunningState() const {
  return m_live.load() ? m_runningState.load() : m_reportedRunningState.load();
}

void CServiceSettings::ArchiveRunningState(CServiceSettings& self, CArchive& ar) {
  if (ar.IsStoring()) {
    ar << self.GetRunningState();
  } else {
    uint32_t state = 0;
    ar >> state;
    self.m_reportedRunningState.store(state);
  }
}

bool CServiceSettings::SaveSettings(const CString& key) {
  RegBatch batch;
  CLockGuard g(*this);
  bool ok = RegWriteString(key, "ServiceType", GetRuntimeClass()->m_className);
  ok &= SaveSettingRows(*this, key, kServiceRows);
  ok &= AccessRights.Save(Subkey(key, "AccessRights"));
  ok &= StartStopRights.Save(Subkey(key, "StartStopRights"));
  ok &= EditRights.Save(Subkey(key, "EditRights"));
  {
    const CString bindingsKey = Subkey(key, "Bindings");
    CLockGuard bindingsLock(Bindings);
    ok &= RegDeleteKeyTree(bindingsKey);
    for (const auto& [name, obj] : Bindings) {
      auto binding = std::dynamic_pointer_cast<CBinding>(obj);
      if (binding && IsValidName(name)) ok &= binding->Save(bindingsKey + "\\" + name);
    }
  }
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

void CServiceSettings::LoadSettings(const CString& key) {
  if (RegReadDWORD("Settings", "Version", 0) == 0) UpgradeLegacySettings(key);
  CLockGuard g(*this);
  LoadSettingRows(*this, key, kServiceRows);
  // A service stored without the value answers non-proxy requests on its own port.
  NonProxyRequestPort = RegReadDWORD(key, "NonProxyRequestPort", PortNumber);
  AccessRights.Load(Subkey(key, "AccessRights"));
  StartStopRights.Load(Subkey(key, "StartStopRights"));
  EditRights.Load(Subkey(key, "EditRights"));
  ResetRightIdentities();
  {
    const CString bindingsKey = Subkey(key, "Bindings");
    CLockGuard bindingsLock(Bindings);
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

void CServiceSettings::UpgradeLegacySettings(const CString& key) {
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

void CServiceSettings::Serialize(CArchive& ar) {
  CLockGuard g(*this);
  // The name comes first and is checked before anything is applied.
  SerializeSettingRows(*this, ar, kServiceRows);
  AccessRights.Serialize(ar);
  StartStopRights.Serialize(ar);
  EditRights.Serialize(ar);
  if (ar.IsLoading()) ResetRightIdentities();
  Bindings.SerializeChecked(ar);
  FixedInterface.Serialize(ar);
  Interfaces.SerializeChecked(ar);
}

// ---- CTCPServiceSettings ---------------------------------------------------------------------------

CTCPServiceSettings::CTCPServiceSettings() = default;

CTCPServiceSettings::CTCPServiceSettings(uint32_t port, const CString& name, const CString& description)
    : CServiceSettings(port, name, description) {}

CTCPServiceSettings::~CTCPServiceSettings() = default;

bool CTCPServiceSettings::SaveSettings(const CString& key) {
  bool ok = CServiceSettings::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  ok &= SaveSettingRows(*this, key, kTCPRows);
  return ok;
}

void CTCPServiceSettings::LoadSettings(const CString& key) {
  CServiceSettings::LoadSettings(key);
  CLockGuard g(*this);
  LoadSettingRows(*this, key, kTCPRows);
}

void CTCPServiceSettings::Serialize(CArchive& ar) {
  CServiceSettings::Serialize(ar);
  CLockGuard g(*this);
  SerializeSettingRows(*this, ar, kTCPRows);
}

// ---- CUDPServiceSettings ---------------------------------------------------------------------------

CUDPServiceSettings::CUDPServiceSettings() = default;

CUDPServiceSettings::CUDPServiceSettings(uint32_t port, const CString& name, const CString& description)
    : CServiceSettings(port, name, description) {}

CUDPServiceSettings::~CUDPServiceSettings() = default;

CConnectSettings CTCPServiceSettings::GetConnectSettings() const {
  CLockGuard g(*this);
  CConnectSettings s;
  const bool upstreamMethod =
      ConnectMethod == CONNECT_HTTP_PROXY || ConnectMethod == CONNECT_SOCKS4 || ConnectMethod == CONNECT_HTTP_TUNNEL;
  // A value the console could never have offered for this service (an old or hand-edited one)
  // must not send its sessions through a proxy the service is not built to speak through.
  const bool offered = ConnectMethodsOffered != 0 && (!upstreamMethod || (ConnectMethod & ConnectMethodsOffered) != 0);
  s.ConnectMethod = offered ? ConnectMethod : uint32_t{CONNECT_DIRECT};
  s.ProxyServer = ProxyServer;
  s.ProxyPort = ProxyPort;
  s.SOCKS4Password = SOCKS4Password;
  s.BypassProxyOnLocal = BypassProxyOnLocal;
  return s;
}

void CTCPServiceSettings::GetFixedDestinations(std::vector<CFixedDestination>& out) const {
  const CConnectSettings cs = GetConnectSettings();
  CLockGuard g(*this);
  if (HasNonProxySettings() && NonProxyRequestAction == 1 && !NonProxyRequestHost.empty())
    out.push_back({NonProxyRequestHost, NonProxyRequestPort, SERVICE_TRANSPORT_TCP});
  if (cs.ConnectMethod != CONNECT_DIRECT && !cs.ProxyServer.empty())
    out.push_back({cs.ProxyServer, cs.ProxyPort, SERVICE_TRANSPORT_TCP});
}

size_t CServiceSettings::RemoveOutgoingInterface(const CString& name) {
  CLockGuard guard(Interfaces);
  std::vector<const CObject*> gone;
  for (const auto& obj : Interfaces.Snapshot())
    if (auto itf = std::dynamic_pointer_cast<CInterface>(obj); itf && itf->m_name == name) gone.push_back(obj.get());
  for (const CObject* obj : gone) Interfaces.Remove(obj);
  return gone.size();
}
