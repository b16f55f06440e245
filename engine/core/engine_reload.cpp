// The engine applying configuration that was read elsewhere to its running tables: users and groups
// and service objects received from a console, and the whole stored configuration read again from
// the registry (a console's request 13).
//
// Nothing is loaded over a live object. A part is read whole into new objects first; users, groups
// and rights are then changed field by field under their own locks (sessions look them up by name
// or consult them under their list locks), and a changed service is a new object swapped in while
// the sessions of the old one keep their reference to it and finish under its settings.
//
// Lock order: the engine's save lock (ReloadConfiguration), then the tables one at a time, as in
// engine.h; no table lock is held while a service starts or stops.
#include <array>

#include "engine/access/filter_component.h"
#include "engine/access/location.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/dhcp_lease.h"
#include "engine/core/engine.h"
#include "engine/core/service.h"
#include "engine/core/service_manager.h"
#include "engine/proxy/www/www_cache.h"

namespace {

constexpr const char* kSettingsKey = "Settings";
constexpr const char* kSocksTimeoutValue = "DownstreamSOCKSConnectTimeout";

CString UserKey(const CString& name) { return CString(kUserDatabaseKey) + "\\" + name; }

// The accounts every engine has; a reload never removes or retypes them (a start would only make
// them again, Administrator without a password).
bool IsBuiltInAccount(const CString& name) {
  return name == "Administrator" || name == "Guest" || name == "Administrators" || name == "Users";
}

std::vector<uint8_t> ArchivedForm(CServiceSettings& settings) {
  CArchive ar(CArchive::store);
  settings.Serialize(ar);
  return ar.TakeBytes();
}

// Whether the stored service says what the running one already does. Both are compared in the
// form of an idle object: what only running sets (the running state, the listening state of each
// binding, the restart mark) is not configuration.
bool SameConfiguration(CService& live, CService& stored) {
  if (live.Settings().GetRuntimeClass() != stored.Settings().GetRuntimeClass()) return false;
  auto idle = CServiceManager::CopyService(live);
  if (!idle) return false;
  CServiceSettings& settings = idle->Settings();
  {
    CLockGuard g(settings);
    settings.RestartNeeded = 0;
  }
  settings.SetReportedRunningState(SERVICE_STOPPED);
  {
    CLockGuard g(settings.Bindings);
    for (auto& [key, obj] : settings.Bindings)
      if (auto binding = std::dynamic_pointer_cast<CBinding>(obj)) binding->m_state = BINDING_TO_OPEN;
  }
  return ArchivedForm(settings) == ArchivedForm(stored.Settings());
}

uint32_t EnabledFlag(const CServiceSettings& settings) {
  CLockGuard g(settings);
  return settings.Enabled;
}

}  // namespace

// ---- Users and groups ---------------------------------------------------------------------------

bool CTrellisEngine::StoreUser(const CString& name, const CUser& in, StoreMode mode, bool keepPassword) {
  if (!IsValidObjectName(name)) return false;
  CLockGuard g(m_users);
  auto existing = m_users.Find(name);
  auto live = m_users.FindUser(name);
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
    if (keepPassword) live->Password = password;
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
  if (keepPassword) user->Password.clear();
  user->ClientSendTraffic = user->ClientRecvTraffic = user->NonClientSendTraffic = user->NonClientRecvTraffic = 0;
  user->TimeOnLine = 0;
  user->ClosingBalance = user->OpeningBalance;
  if (!m_users.Add(user)) return false;
  user->OpenAuditFile();
  return true;
}

bool CTrellisEngine::StoreGroup(const CString& name, const CGroup& in, StoreMode mode) {
  if (!IsValidObjectName(name)) return false;
  CLockGuard g(m_users);
  auto existing = m_users.Find(name);
  auto live = m_users.FindGroup(name);
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
  return m_users.Add(group);
}

// ---- Services -----------------------------------------------------------------------------------

void CTrellisEngine::ReplaceService(const std::shared_ptr<CService>& live, const std::shared_ptr<CService>& fresh,
                                    bool start, const char* why) {
  live->Stop();
  live->CloseLogFile();
  {
    CLockGuard g(fresh->Settings());
    fresh->Settings().RestartNeeded = 0;
  }
  {
    CLockGuard g(*m_services);
    m_services->RemoveService(live->Settings().GetName());
    m_services->AddService(fresh);
  }
  fresh->OpenLogFile();
  fresh->TakeOverFrom(*live);
  if (start) fresh->Start();
  fresh->Log(LOG_CONFIGURATION, "%s", why);
}

// ---- Reload -------------------------------------------------------------------------------------

bool CTrellisEngine::ReloadConfiguration() {
  if (m_shuttingDown) return false;
  // A save meanwhile would write tables half reloaded; a stop waits until the reload is done.
  std::lock_guard<std::mutex> lk(m_saveMutex);
  if (m_shuttingDown) return false;
  bool ok = true;
  auto part = [&](const char* what, auto&& apply) {
    bool done = false;
    try {
      done = apply();
    } catch (...) {
      // Reported below like a part that returned false; the other parts are still reloaded.
      done = false;
    }
    if (!done) {
      ok = false;
      Debug(FormatString("Configuration reload: the %s were not all applied", what));
    }
  };
  // Users first: locations, machine names and the consoles' service (which listens on loopback
  // only while Administrator has no password) look at them.
  part("users", [&] { return ReloadUsers(); });
  part("assumptions", [&] { return ReloadAssumptions(); });
  part("rights", [&] { return ReloadRights(); });
  part("services", [&] { return ReloadServices(); });
  part("leases", [&] {
    LoadLeases(true);
    return true;
  });
  part("settings", [&] {
    m_socksConnectTimeout = RegReadDWORD(kSettingsKey, kSocksTimeoutValue, kDefaultSOCKSConnectTimeoutMs);
    return true;
  });
  // A new cache folder takes effect at the next start (www_cache.h); the other settings at once.
  part("cache settings", [&] {
    m_cache->Load(kCacheKey);
    return true;
  });
  return ok;
}

bool CTrellisEngine::ReloadUsers() {
  CGroupMemberDatabase stored;
  if (!stored.Load(CString(kUserDatabaseKey))) return false;
  bool ok = true;
  // Entries no longer stored, or stored as the other kind, go the way a console's deletion takes
  // them (their machines' sessions end, their assumptions go).
  for (const auto& name : m_users.Keys()) {
    if (IsBuiltInAccount(name)) continue;
    auto entry = stored.Find(name);
    auto live = m_users.Find(name);
    if (!live || (entry && entry->GetRuntimeClass() == live->GetRuntimeClass())) continue;
    ok &= m_users.FindUser(name) ? DeleteUser(name) : DeleteGroup(name);
  }
  for (const auto& [name, obj] : stored.Snapshot()) {
    if (IsBuiltInAccount(name)) {
      auto live = m_users.Find(name);
      if (live && live->GetRuntimeClass() != obj->GetRuntimeClass()) continue;
    }
    if (auto user = std::dynamic_pointer_cast<CUser>(obj)) {
      ok &= StoreUser(name, *user, StoreMode::Replace, false);
    } else if (auto group = std::dynamic_pointer_cast<CGroup>(obj)) {
      ok &= StoreGroup(name, *group, StoreMode::Replace);
    }
  }
  return ok;
}

bool CTrellisEngine::ReloadAssumptions() {
  CLocationArray locations;
  locations.Load(kLocationsKey, m_users);
  CLockableStringMap names;
  LoadMachineAssumptions(kMachineAssumptionsKey, names, m_users);
  m_locations.CopyFrom(locations);
  CLockGuard g(m_machineNames);
  m_machineNames.RemoveAll();
  for (const auto& [key, value] : names.Snapshot()) m_machineNames.SetAt(key, value);
  return true;
}

bool CTrellisEngine::ReloadRights() {
  bool ok = true;
  for (size_t i = 0; i < kEngineRights.size(); ++i) {
    CRight stored;
    if (!stored.Load(kEngineRights[i].key)) {
      ok = false;
      continue;
    }
    // As at start-up: a right stored without a description gets its default text and recipient.
    stored.RightType = kEngineRights[i].code;
    stored.FillDefaults(kEngineRights[i].code, kEngineRights[i].description);
    m_rights[i].CopyFrom(stored);
  }
  return ok;
}

bool CTrellisEngine::ReloadServices() {
  CServiceManager stored;
  stored.SetReporter([](const CString& text) { Debug(text); });
  stored.LoadServices(kServicesKey);
  bool ok = true;
  // A service no longer stored stops and goes; the consoles' own service stays, or every console
  // would be cut off (the next start would make it again anyway).
  for (const auto& live : m_services->GetServices()) {
    const CString name = live->Settings().GetName();
    if (stored.FindService(name) || name == kRemoteControlServiceName) continue;
    if (m_services->RemoveService(name)) {
      live->Shutdown();
      live->CloseLogFile();
    }
  }
  for (const auto& incoming : stored.GetServices()) {
    // The rules every start applies (the consoles' service on loopback while Administrator has no
    // password, bindings only to interfaces that exist).
    incoming->ValidateBindings(m_sysInfo);
    const CString name = incoming->Settings().GetName();
    auto live = m_services->FindService(name);
    if (!live) {
      if (!m_services->AddService(incoming)) {
        ok = false;
        continue;
      }
      incoming->OpenLogFile();
      incoming->Startup();
      continue;
    }
    if (SameConfiguration(*live, *incoming)) continue;
    // The new object runs when the old one ran, and also when the stored settings enable a service
    // the running settings had disabled (a disabled service does not start whatever is asked).
    const bool wasRunning = live->Settings().GetRunningState() != SERVICE_STOPPED;
    const bool enabledNow = EnabledFlag(incoming->Settings()) != 0 && EnabledFlag(live->Settings()) == 0;
    ReplaceService(live, incoming, wasRunning || enabledNow, "Service configuration reloaded from the registry");
  }
  return ok;
}
