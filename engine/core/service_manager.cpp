#include "engine/core/service_manager.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

#include "engine/config/reg_helpers.h"
#include "platform/eventlog.h"

TL_IMPLEMENT_DYNAMIC(CServiceManager, CLockableMap)

namespace {

bool EqualIgnoringCase(const CString& a, const CString& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// The map holds services as the configuration objects they also are.
std::shared_ptr<CObject> AsObject(const std::shared_ptr<CService>& service) {
  return std::shared_ptr<CObject>(service, &service->Settings());
}

}  // namespace

CServiceManager::CServiceManager() { SetElementClass(TL_RUNTIME_CLASS(CServiceSettings)); }

CServiceManager::~CServiceManager() = default;

void CServiceManager::SetReporter(std::function<void(const CString&)> reporter) {
  CLockGuard g(*this);
  m_reporter = std::move(reporter);
}

void CServiceManager::Report(const CString& text) const {
  std::function<void(const CString&)> reporter;
  {
    CLockGuard g(*this);
    reporter = m_reporter;
  }
  if (reporter) {
    reporter(text);
  } else {
    platform::eventlog::Report("Trellis", platform::eventlog::kWarning, 0, text);
  }
}

bool CServiceManager::AddService(std::shared_ptr<CService> service) {
  if (!service) return false;
  const CString name = service->Settings().GetName();
  if (!CServiceSettings::IsValidName(name)) return false;
  std::shared_ptr<CObject> entry = AsObject(service);
  std::shared_ptr<CObject> replaced;  // released after the lock
  CLockGuard g(*this);
  for (const auto& [key, obj] : *this) {
    if (key != name && obj != entry && EqualIgnoringCase(key, name)) return false;
  }
  replaced = Lookup(name);
  SetAt(name, std::move(entry));
  return true;
}

bool CServiceManager::RemoveService(const CString& name) { return RemoveKey(name); }

std::shared_ptr<CService> CServiceManager::FindService(const CString& name) const { return LookupAs<CService>(name); }

std::shared_ptr<CService> CServiceManager::FindTCPServiceFor(const CString& address, const CString& port) const {
  if (port.empty() || port.size() > 5) return nullptr;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(port.c_str(), &end, 10);
  if (errno != 0 || !end || *end != '\0' || value > 0xFFFF || port[0] < '0' || port[0] > '9') return nullptr;
  for (const auto& service : GetServices()) {
    if (service->Settings().GetTransport() == SERVICE_TRANSPORT_TCP &&
        service->IsBoundTo(address, static_cast<uint32_t>(value)))
      return service;
  }
  return nullptr;
}

const CRuntimeClass* CServiceManager::FindClass(const CString& className) {
  const CRuntimeClass* cls = CRuntimeClass::FromName(className);
  if (!cls || !cls->m_createObject || !cls->IsDerivedFrom(TL_RUNTIME_CLASS(CServiceSettings))) return nullptr;
  return cls;
}

std::shared_ptr<CService> CServiceManager::CreateService(const CString& className) {
  const CRuntimeClass* cls = FindClass(className);
  if (!cls) return nullptr;
  return std::dynamic_pointer_cast<CService>(cls->CreateObject());
}

std::shared_ptr<CService> CServiceManager::CopyService(CService& live) {
  auto copy = CreateService(live.Settings().GetRuntimeClass()->m_className);
  if (!copy) return nullptr;
  CArchive out(CArchive::store);
  live.Settings().Serialize(out);
  std::vector<uint8_t> bytes = out.TakeBytes();
  CArchive in(bytes.data(), bytes.size());
  copy->Settings().Serialize(in);
  return copy;
}

std::vector<std::shared_ptr<CService>> CServiceManager::GetServices() const {
  std::vector<std::shared_ptr<CService>> out;
  CLockGuard g(*this);
  for (const auto& [key, obj] : *this) {
    if (auto s = std::dynamic_pointer_cast<CService>(obj)) out.push_back(std::move(s));
  }
  return out;
}

bool CServiceManager::SaveServices(const CString& key) {
  bool ok = true;
  try {
    RegBatch batch;
    CLockGuard g(*this);
    // Collect, then delete: every stale name is visited once, and one that cannot be deleted is
    // passed over instead of being retried for ever.
    for (const auto& name : RegEnumSubKeys(key)) {
      if (name.size() > 512) continue;
      if (!Lookup(name)) ok &= RegDeleteKeyTree(key + "\\" + name);
    }
    for (const auto& [name, obj] : *this) {
      auto service = std::dynamic_pointer_cast<CService>(obj);
      if (service) ok &= service->Settings().SaveSettings(key + "\\" + name);
    }
  } catch (...) {
    ok = false;
  }
  return ok;
}

void CServiceManager::LoadServices(const CString& key) {
  std::vector<std::shared_ptr<CService>> loaded;
  // Registry work happens outside the manager's lock; the services enter it together.
  for (const auto& name : RegEnumSubKeys(key)) {
    if (name.size() > 512) continue;
    const CString path = key + "\\" + name;
    const CString className = RegReadString(path, "ServiceType", "");
    auto service = CreateService(className);
    if (!service) {
      if (!className.empty()) Report("Service \"" + name + "\" of unknown class \"" + className + "\" ignored");
      continue;
    }
    try {
      service->Settings().LoadSettings(path);
    } catch (...) {
      continue;
    }
    // A stored name the key cannot hold is replaced by the key's own name.
    CServiceSettings& settings = service->Settings();
    if (!CServiceSettings::IsValidName(settings.GetName())) settings.SetName(name);
    loaded.push_back(std::move(service));
  }
  for (auto& service : loaded) {
    if (!AddService(service)) Report("Service \"" + service->Settings().GetName() + "\" not loaded: its name is taken");
  }
}

void CServiceManager::StartAll(CSysInfo& info) {
  // The consoles' service is found by its name alone: one of the same class under another name
  // (a copy the operator made) does not stand in for it.
  if (!FindService(kRemoteControlServiceName)) {
    auto rc = CreateService(kRemoteControlServiceClass);
    if (!rc) {
      Report("Remote Control Service not created: its class is not part of this build");
    } else {
      {
        CServiceSettings& settings = rc->Settings();
        CLockGuard g(settings);
        settings.PortNumber = kRemoteControlServicePort;
        settings.Name = kRemoteControlServiceName;
        settings.Description = kRemoteControlServiceName;
        settings.NonProxyRequestPort = kRemoteControlServicePort;
        for (CRight* right : settings.GetRights()) right->IncludeDefaultRights = kDefaultRightsEither;
        settings.BindingOption = BINDING_SPECIFIC;
        settings.SpecificBinding = kRemoteControlLoopback;
        settings.TimeOutSessions = 0;
      }
      if (AddService(rc)) rc->OpenLogFile();
    }
  }
  const bool secure = RegReadDWORD("Setup", "SecureInstall", 0) != 0;
  for (const auto& service : GetServices()) {
    if (secure) service->AutoBind(info);
    service->ValidateBindings(info);
  }
}

void CServiceManager::OpenLogFiles() {
  for (const auto& service : GetServices()) service->OpenLogFile();
}

void CServiceManager::StartupAll() {
  for (const auto& service : GetServices()) service->Startup();
}

std::vector<std::shared_ptr<CService>> CServiceManager::ShutdownAll() {
  auto services = GetServices();
  for (const auto& service : services) service->Shutdown();
  RemoveAll();
  return services;
}
