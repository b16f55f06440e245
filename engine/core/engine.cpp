#include "engine/core/engine.h"

#include "engine/proxy/mapping/mapping_settings.h"
#include "engine/proxy/www/www_cache.h"
#include "engine/proxy/www/www_settings.h"

#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>

#include "engine/remote/rc_message.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/dhcp_lease.h"
#include "engine/core/interfaces.h"
#include "engine/core/log_manager.h"
#include "engine/core/nt_service.h"
#include "engine/core/service.h"
#include "engine/core/service_manager.h"
#include "engine/core/session.h"
#include "engine/dialer/dialer.h"
#include "engine/scheduler/scheduler.h"
#include "engine/net/socket_exception.h"
#include "engine/net/x1_socket.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/icmp.h"

namespace {

constexpr const char* kSetupKey = "Setup";
constexpr const char* kSettingsKey = "Settings";
constexpr const char* kDialerKey = "Dialer";
constexpr const char* kSchedulerKey = "Scheduler";
constexpr const char* kSocksTimeoutValue = "DownstreamSOCKSConnectTimeout";
// Lease key names are addresses; anything longer is not one.
constexpr size_t kMaxLeaseKeyName = 512;
// A host name longer than this is no name (DNS limits a name to 253 characters).
constexpr size_t kMaxHostNameLength = 255;

constexpr const char* kInternalErrorTitle = "Trellis Internal Error";
constexpr const char* kUserDatabaseWriteError =
    "There was an error writing Trellis User database\nto registry.  There may be a security\n"
    "compromise as a result.  Make sure you log back in\nand check users and groups";
constexpr const char* kConfigurationWriteError =
    "There was an error writing Trellis configuration\nto the registry.  Trellis may be in an unstable state\n";

std::mutex g_engineMutex;
std::shared_ptr<CTrellisEngine> g_engine;

// The dialer whose log carries the engine's own debug lines while it runs.
std::mutex g_debugDialerMutex;
std::weak_ptr<CDialer> g_debugDialer;

void SetDebugDialer(const std::shared_ptr<CDialer>& dialer) {
  std::lock_guard<std::mutex> lk(g_debugDialerMutex);
  g_debugDialer = dialer;
}

// The engine's own debug lines: the dialer's log (type 2) owns them, and the system event log gets
// them too, which is where an operator looks for the engine's start-up and stop (and the dialer's
// log is off by default).
void EngineDebug(const CString& text) {
  platform::eventlog::Report("TrellisEngine", platform::eventlog::kInformation, EVMSG_DEBUG, text);
  std::shared_ptr<CDialer> dialer;
  {
    std::lock_guard<std::mutex> lk(g_debugDialerMutex);
    dialer = g_debugDialer.lock();
  }
  if (dialer) dialer->Log(DIALER_LOG_DEBUG, "%s", text.c_str());
}

CString Upper(CString text) {
  for (auto& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

CString LeaseKey(const CString& address) { return CString(kLeasesKey) + "\\" + address; }

// Only a dotted address may name a lease key: the text reaches the registry as a path.
bool IsLeaseAddress(const CString& address) {
  uint32_t parsed = 0;
  return TryParseIPAddress(address, &parsed);
}

}  // namespace

std::shared_ptr<CTrellisEngine> TheEngine() {
  std::lock_guard<std::mutex> lk(g_engineMutex);
  if (!g_engine) g_engine = std::make_shared<CTrellisEngine>();
  return g_engine;
}

void SetTheEngine(std::shared_ptr<CTrellisEngine> engine) {
  std::shared_ptr<CTrellisEngine> old;
  {
    std::lock_guard<std::mutex> lk(g_engineMutex);
    old = std::move(g_engine);
    g_engine = std::move(engine);
  }
  // The old engine (if this was its last reference) goes outside the lock.
}

// ---- Construction ----------------------------------------------------------------------------

CTrellisEngine::CTrellisEngine()
    : m_machines(std::make_unique<CMachineMap>()),
      m_services(std::make_unique<CServiceManager>()),
      m_cache(std::make_shared<CWWWCache>()),
      m_dialer(std::make_shared<CDialer>()),
      m_schedulerHost(MakeEngineSchedulerHost(*this)),
      m_scheduler(std::make_shared<CScheduler>(m_schedulerHost.get())) {
  m_leasesByAddress.SetElementClass(TL_RUNTIME_CLASS(CDHCPLease));
  m_leasesByName.SetElementClass(TL_RUNTIME_CLASS(CDHCPLease));
  m_leasesByHardware.SetElementClass(TL_RUNTIME_CLASS(CDHCPLease));
  for (size_t i = 0; i < kEngineRights.size(); ++i) m_rights[i].RightType = kEngineRights[i].code;
  m_services->SetReporter([](const CString& text) { EngineDebug(text); });
  // A purge that leaves the cache over its limit has turned additions off: the consoles hear it
  // with the settings, so an operator sees why nothing is stored any more.
  m_cache->OnPurgeLeftCacheFull = [this] { NotifyControllers(kNotifyCacheChanged, CString(), CString(), CString()); };
  // What the cache must tell the operator (a damaged index, a cache that stopped storing) goes
  // where an operator of the web proxy looks: its services' logs, and the event log, which is
  // read even when those logs are off.
  m_cache->OnReport = [this](const CString& text) {
    platform::eventlog::Report("TrellisEngine", platform::eventlog::kWarning, EVMSG_DEBUG, text);
    for (const auto& service : m_services->GetServices())
      if (dynamic_cast<CWWWServiceSettings*>(&service->Settings())) service->Log(LOG_ERROR, "%s", text.c_str());
  };
}

CTrellisEngine::~CTrellisEngine() {
  if (GetSessionHost() == this) SetSessionHost(nullptr);
  // The hook reaches this object; a purge still running on the cache's worker must not call it
  // once the engine has gone (the cache itself may outlive the engine in a caller's hands).
  m_cache->WaitForWorker();
  m_cache->OnPurgeLeftCacheFull = nullptr;
  m_cache->OnReport = nullptr;
  m_dialer->NotifyProfile = nullptr;
  m_dialer->RequestRestart = nullptr;
}

void CTrellisEngine::Debug(const CString& text) { EngineDebug(text); }

uint64_t CTrellisEngine::Now() const { return m_tickSource ? m_tickSource() : platform::TickCount64(); }

void CTrellisEngine::SetTickSource(std::function<uint64_t()> source) { m_tickSource = std::move(source); }

std::shared_ptr<CLogManager> CTrellisEngine::GetLogManager() const {
  std::lock_guard<std::mutex> lk(m_shutdownMutex);
  return m_logManager;
}

CRight* CTrellisEngine::GetRight(int32_t code) {
  for (size_t i = 0; i < kEngineRights.size(); ++i)
    if (kEngineRights[i].code == code) return &m_rights[i];
  return nullptr;
}

AccessContext CTrellisEngine::GetAccessContext() {
  AccessContext ctx;
  ctx.users = &m_users;
  ctx.defaultRights = {GetRight(kRightAccess), GetRight(kRightStartStop), GetRight(kRightEdit)};
  // The dialer lives as long as the engine object; a criterion on a profile asks it at the time of
  // the request, and without a dialer no profile is on line.
  std::weak_ptr<CDialer> dialer = m_dialer;
  ctx.isProfileConnected = [dialer](const CString& name) {
    auto d = dialer.lock();
    return d && d->IsProfileConnected(name);
  };
  return ctx;
}

// ---- Thread ----------------------------------------------------------------------------------

bool CTrellisEngine::InitInstance() {
  const char* step = "start";
  try {
    // Sessions reach the machine table and the users through the engine from their first moment,
    // and accept callbacks of every listener run on this thread.
    SetSessionHost(this);
    X1Socket::SetNotificationThread(Id());
    X1Socket::SetResolver([this](const CString& host, uint32_t* address) {
      auto found = LookupHost(host);
      if (found) *address = *found;
      return found.has_value();
    });

    step = "ICMP";
    m_icmpAvailable = platform::icmp::Available();
    SetRegistryRoot("Nomra Software", "Trellis 2");
    m_sysInfo.GetOSVersion();

    step = "configuration";
    LoadConfiguration();
    m_users.CreateBuiltInAccounts();

    step = "log manager";
    {
      auto manager = std::make_shared<CLogManager>();
      if (!manager->Start()) throw std::runtime_error("the log writer thread could not be started");
      std::lock_guard<std::mutex> lk(m_shutdownMutex);
      m_logManager = std::move(manager);
    }

    step = "scheduler";
    m_scheduler->Start();

    // The scheduler thread comes here once it exists.
    step = "dialer";
    StartDialer();

    step = "interface list";
    BuildInterfaceList(
        m_sysInfo, [this](const CString& host) { return ResolveHost(host); }, UpstreamHosts());

    step = "services";
    m_services->OpenLogFiles();
    // The cache index after the service logs are open (what its load reports reaches the web
    // proxy's log) and before any service listens (no session may meet a cache still loading).
    step = "cache";
    m_cache->LoadIndex();
    step = "services";
    m_services->StartAll(m_sysInfo);
    FillDefaultRights();
    RegDeleteKeyTree(kSetupKey);
    m_services->StartupAll();

    step = "audit files";
    m_users.OpenAuditFiles();

    step = "timer";
    if (SetTimer(kTimerId, kTimerIntervalMs)) m_timerId = kTimerId;
  } catch (const std::exception& e) {
    // The engine goes on partly started (it still answers its stop), but the operator learns why.
    EngineDebug(FormatString("Engine start-up failed at the %s step: %s", step, e.what()));
  } catch (...) {
    EngineDebug(FormatString("Engine start-up failed at the %s step", step));
  }
  return true;
}

int CTrellisEngine::Run() {
  platform::Message msg;
  try {
    for (;;) {
      try {
        if (!GetMessage(&msg)) {
          if (m_quitAllowed) return ExitInstance();
          EngineDebug("Received Quit Message in Main thread but did not post - ignoring");
          continue;
        }
        OnMessage(msg);
      } catch (...) {
        // A failing message counts as handled; the loop goes on.
      }
    }
  } catch (...) {
    return -1;
  }
}

int CTrellisEngine::ExitInstance() {
  if (X1Socket::GetNotificationThread() == Id()) X1Socket::SetNotificationThread(0);
  return 0;
}

void CTrellisEngine::OnMessage(platform::Message& msg) {
  switch (msg.message) {
    case platform::WM_TIMER:
      OnTimer(msg.wParam);
      break;
    case platform::WM_SOCKET_NOTIFY:
      X1Socket::DispatchNotification(msg);
      break;
    case platform::WM_RESTART_DIALER:
      RestartDialer();
      break;
    default:
      break;
  }
}

void CTrellisEngine::StartDialer() {
  const platform::ThreadId self = Id();
  m_dialer->NotifyProfile = [this](const CString& name, uint32_t state, const CString& text) {
    NotifyDialerProfile(name, state, text);
  };
  m_dialer->RequestRestart = [self] { platform::PostThreadMessage(self, platform::WM_RESTART_DIALER); };
  std::weak_ptr<CDialer> weak = m_dialer;
  DialupInfo info;
  info.connectionAddress = [weak](const CString& entry, CString* address) {
    auto d = weak.lock();
    return d && address && d->GetConnectionIPAddress(entry, *address);
  };
  info.activeAddresses = [weak] {
    auto d = weak.lock();
    return d ? d->GetActiveAddresses() : std::vector<CString>();
  };
  info.entryNames = [weak] {
    auto d = weak.lock();
    if (!d) return std::vector<CString>();
    d->RefreshPhonebookEntries();
    return d->GetPhonebookEntries();
  };
  SetDialupInfo(std::move(info));
  SetDebugDialer(m_dialer);
  m_dialer->Start();
}

void CTrellisEngine::RestartDialer() {
  if (m_shuttingDown) return;
  m_dialer->Restart(kDialerKey);
}

// ---- Timer -----------------------------------------------------------------------------------

void CTrellisEngine::OnTimer(uintptr_t timerId) {
  if (timerId != kTimerId) return;
  try {
    uint64_t start = Now();
    if (m_havePass && start - m_lastPassEnd < kMinTickSpacingMs) return;

    // The table walks a copy and every machine ends its idle sessions outside its locks, so a
    // machine emptied (and removed) by its own pass is never touched again by this walk.
    m_machines->OnTimer();

    uint64_t before = m_passCount.fetch_add(1);
    if (before % kLeasePassEvery == 0) LeasePass();
    if ((before + 1) % kAccountsSaveEvery == 0 && !m_shuttingDown) m_users.SaveAccounts(kUserDatabaseKey);

    uint64_t end = Now();
    m_lastPassEnd = end;
    m_havePass = true;
    if (end - start > kSlowPassMs)
      EngineDebug(FormatString("TrellisEngine took %u milliseconds to process OnTimer",
                               static_cast<unsigned>(std::min<uint64_t>(end - start, UINT32_MAX))));
  } catch (...) {
    // The timer runs again in two seconds; one failed pass must not end the engine thread.
  }
}

void CTrellisEngine::LeasePass() {
  std::vector<std::shared_ptr<CDHCPLease>> expiredBound;
  try {
    CLockGuard guard(m_leasesByAddress);
    time_t now = time(nullptr);
    for (auto& [address, obj] : m_leasesByAddress) {
      auto lease = std::dynamic_pointer_cast<CDHCPLease>(obj);
      if (!lease) continue;
      CLockGuard leaseGuard(*lease);
      if (lease->ClientStatus == CDHCPLease::kOffered && lease->IsExpired(now)) {
        lease->ClientStatus = CDHCPLease::kOfferLapsed;
      } else if (lease->ClientStatus == CDHCPLease::kBound && lease->IsExpired(now)) {
        lease->ClientStatus = CDHCPLease::kReleased;
        expiredBound.push_back(lease);
      }
    }
  } catch (...) {
    // Expiry is retried at the next pass; a lease left as it was is harmless until then.
  }
  if (m_leasePassHook) m_leasePassHook();
  // Registry writes wait for the store; they are done after the table is free again, each under
  // the lease's own lock, which a bind also holds while it saves: a lease renewed meanwhile is
  // bound again and keeps its key, and one that left the table leaves its address's key to
  // whichever lease holds the address now.
  for (const auto& lease : expiredBound) {
    CLockGuard leaseGuard(*lease);
    if (lease->m_removed || lease->ClientStatus != CDHCPLease::kReleased) continue;
    if (IsLeaseAddress(lease->IPAddress)) RegDeleteKeyTree(LeaseKey(lease->IPAddress));
  }
}

// ---- Configuration ---------------------------------------------------------------------------

void CTrellisEngine::LoadConfiguration() {
  uint32_t mode = RegReadDWORD(kSetupKey, "Mode", 0);
  RegWriteDWORD(kSetupKey, "Mode", 0);

  m_users.Load(CString(kUserDatabaseKey));
  m_locations.Load(kLocationsKey, m_users);

  if (mode == 1) {
    CreateFirstRunServices();
    m_services->SaveServices(kServicesKey);
  } else if (mode == 2) {
    CreateUpgradeServices();
    m_services->LoadServices(kServicesKey);
    m_services->SaveServices(kServicesKey);
  } else {
    m_services->LoadServices(kServicesKey);
  }

  LoadRights();
  LoadLeases();
  m_socksConnectTimeout = RegReadDWORD(kSettingsKey, kSocksTimeoutValue, kDefaultSOCKSConnectTimeoutMs);
  LoadMachineAssumptions(kMachineAssumptionsKey, m_machineNames, m_users);
  m_cache->Load(kCacheKey);
  m_dialer->Load(kDialerKey);
  m_scheduler->Load(kSchedulerKey);
  RegWriteDWORD(kSettingsKey, "Version", kConfigurationVersion);
}

void CTrellisEngine::AddDefaultService(const std::shared_ptr<CService>& service) {
  if (!m_services->AddService(service)) EngineDebug("First-run service " + service->Settings().GetName() + " could not be added");
}

namespace {

// One first-run service: a service of that class when the class is part of this build. A class
// that is not is skipped with a line; the service is then made by a later run's own setup.
std::shared_ptr<CService> MakeDefaultService(const char* className) {
  auto service = CServiceManager::CreateService(className);
  if (!service) EngineDebug(FormatString("First-run service of class %s skipped: the class is not available", className));
  return service;
}

// Non-proxy requests are forwarded to the internal server (action 1).
void SetInternalServer(CServiceSettings& service, const CString& host, uint32_t port) {
  CLockGuard guard(service);
  service.NonProxyRequestAction = 1;
  service.NonProxyRequestHost = host;
  service.NonProxyRequestPort = port;
}

void SetIdentity(CServiceSettings& service, const char* name, const char* description, uint32_t port) {
  service.SetName(name);
  service.SetDescription(description);
  CLockGuard guard(service);
  service.PortNumber = port;
}

}  // namespace

void CTrellisEngine::CreateFirstRunServices() {
  auto setupDword = [](const char* name, uint32_t def) { return RegReadDWORD(kSetupKey, name, def); };
  auto setupString = [](const char* name) { return RegReadString(kSetupKey, name, ""); };

  if (setupDword("InstallDNS", 0))
    if (auto s = MakeDefaultService("CDNSService")) AddDefaultService(s);
  if (setupDword("InstallFTP", 0)) {
    if (auto s = MakeDefaultService("CFTPService")) {
      {
        CLockGuard guard(s->Settings());
        s->Settings().PortNumber = setupDword("FTPProxyPort", 21);
      }
      // The FTP service alone is set up for an internal server only when one is named.
      const CString server = setupString("InternalFTPServer");
      if (!server.empty()) SetInternalServer(s->Settings(), server, setupDword("InternalFTPPort", 21));
      AddDefaultService(s);
    }
  }
  if (setupDword("InstallPOP3", 0)) {
    if (auto s = MakeDefaultService("CPOP3Service")) {
      SetInternalServer(s->Settings(), setupString("InternalPOP3Server"), setupDword("InternalPOP3Port", 110));
      AddDefaultService(s);
    }
  }
  if (setupDword("InstallRealAudio", 0))
    if (auto s = MakeDefaultService("CRealAudioService")) AddDefaultService(s);
  if (setupDword("InstallSOCKS", 0))
    if (auto s = MakeDefaultService("CSOCKSService")) AddDefaultService(s);
  if (setupDword("InstallTelnet", 0))
    if (auto s = MakeDefaultService("CTelnetService")) AddDefaultService(s);
  if (setupDword("InstallVDOLive", 0))
    if (auto s = MakeDefaultService("CVDOLiveService")) AddDefaultService(s);
  if (setupDword("InstallWWW", 0)) {
    if (auto s = MakeDefaultService("CWWWService")) {
      {
        CLockGuard guard(s->Settings());
        s->Settings().PortNumber = setupDword("WWWProxyPort", 80);
      }
      SetInternalServer(s->Settings(), setupString("InternalWWWServer"), setupDword("InternalWWWPort", 80));
      AddDefaultService(s);
    }
  }

  // The four mapping services relay to the servers Setup names, with the default destination on.
  struct MappingDefault {
    const char* serverValue;
    const char* portValue;
    const char* name;
    const char* description;
    uint32_t port;
  };
  static const MappingDefault kMappings[] = {
      {"SMTPServer", nullptr, "SMTP Mapping", "Enables sending Internet mail", 25},
      {"IRCServer", "IRCPort", "IRC Mapping", "Enables access to IRC network", 6667},
      {"NewsServer", "NewsPort", "News (NNTP) Mapping", "Enables access to Internet News", 119},
      {"IMAP4Server", "IMAP4Port", "IMAP4 Mapping", "Enables access to Mail using IMAP4 Protocol", 143},
  };
  for (const auto& m : kMappings) {
    const CString server = setupString(m.serverValue);
    if (server.empty()) continue;
    auto s = MakeDefaultService("CTCPMappingService");
    auto* mapping = s ? dynamic_cast<CTCPMappingServiceSettings*>(&s->Settings()) : nullptr;
    if (!mapping) continue;
    SetIdentity(*mapping, m.name, m.description, m.port);
    CMappings& rules = *mapping->Mappings;
    rules.AllowDefault = 1;
    rules.Default = CHostPort(server, m.portValue ? setupDword(m.portValue, m.port) : m.port);
    const CString internal = m.portValue ? CString() : setupString("InternalSMTPServer");
    if (!internal.empty()) {
      // Mail from the internal server goes out to the outside server; everyone else's mail goes
      // to the internal server.
      rules.Default = CHostPort(internal, setupDword("InternalSMTPPort", 25));
      auto outgoing = std::make_shared<CMapping>(server, 25);
      outgoing->SpecifyLocation = 1;
      uint32_t address = 0;
      if (!TryParseIPAddress(internal, &address)) address = ResolveHost(internal);
      // An internal server that cannot be resolved gets no pattern: the rule then matches nobody.
      if (address != 0xFFFFFFFFu) outgoing->IncludedLocations.push_back(FormatIPAddress(address));
      rules.AddMapping(std::move(outgoing));
    }
    AddDefaultService(s);
  }

  CreateUpgradeServices();
}

void CTrellisEngine::CreateUpgradeServices() {
  if (RegReadDWORD(kSetupKey, "InstallDHCP", 0)) {
    if (auto s = MakeDefaultService("CDHCPService")) {
      s->Settings().AccessRights.AddRecipient(std::make_shared<CRecipient>());
      AddDefaultService(s);
    }
  }
  if (RegReadDWORD(kSetupKey, "InstallXDMA", 0))
    if (auto s = MakeDefaultService("CXDMAService")) AddDefaultService(s);
  if (RegReadDWORD(kSetupKey, "InstallLogServer", 0)) {
    if (auto s = MakeDefaultService("CWWWService")) {
      constexpr uint32_t kLogServerPort = 8010;
      SetIdentity(s->Settings(), "Logfile Server", "WWW Server for viewing log files", kLogServerPort);
      {
        CLockGuard guard(s->Settings());
        s->Settings().NonProxyRequestAction = 3;
        // A service made for its own port: its non-proxy port is that port, as for any new service.
        s->Settings().NonProxyRequestPort = kLogServerPort;
        if (auto* www = dynamic_cast<CWWWServiceSettings*>(&s->Settings())) www->DefaultFilename = "index.htm";
      }
      AddDefaultService(s);
    }
  }
}

void CTrellisEngine::LoadRights() {
  for (size_t i = 0; i < kEngineRights.size(); ++i) {
    m_rights[i].Load(kEngineRights[i].key);
    m_rights[i].RightType = kEngineRights[i].code;
  }
}

void CTrellisEngine::FillDefaultRights() {
  for (size_t i = 0; i < kEngineRights.size(); ++i)
    m_rights[i].FillDefaults(kEngineRights[i].code, kEngineRights[i].description);
}

void CTrellisEngine::SaveRights() const {
  for (size_t i = 0; i < kEngineRights.size(); ++i)
    if (!m_rights[i].Save(kEngineRights[i].key)) throw std::runtime_error("right not saved");
}

void CTrellisEngine::LoadLeases(bool keepLive) {
  for (const auto& name : RegEnumSubKeys(kLeasesKey)) {
    if (name.size() > kMaxLeaseKeyName || !IsLeaseAddress(name)) continue;
    if (keepLive && FindLease(name)) continue;
    auto lease = std::make_shared<CDHCPLease>();
    // A lease whose stored address is not its key's would be filed under one address and saved
    // under another.
    if (!lease->Load(LeaseKey(name)) || lease->IPAddress != name) continue;
    AddLease(lease);
  }
}

bool CTrellisEngine::SaveConfiguration() {
  if (m_shuttingDown) return false;
  // A save that meets a running one waits for it and then writes again: what changed after the
  // running save read the tables is not lost.
  std::lock_guard<std::mutex> lk(m_saveMutex);
  if (m_shuttingDown) return false;
  return DoSave();
}

bool CTrellisEngine::DoSave() {
  bool ok = true;
  try {
    bool usersSaved = false;
    try {
      usersSaved = m_users.Save(CString(kUserDatabaseKey));
    } catch (...) {
      // Reported through usersSaved: the rest of the configuration is still saved.
    }
    if (!usersSaved) {
      ok = false;
      NotifyError(kInternalErrorTitle, kUserDatabaseWriteError);
    }

    if (!RegWriteDWORD(kSettingsKey, kSocksTimeoutValue, m_socksConnectTimeout.load())) throw std::runtime_error("settings");
    if (!m_services->SaveServices(kServicesKey)) throw std::runtime_error("services");
    if (!m_locations.Save(kLocationsKey)) throw std::runtime_error("locations");
    SaveRights();

    std::vector<std::shared_ptr<CDHCPLease>> toSave;
    {
      CLockGuard guard(m_leasesByAddress);
      for (auto& [address, obj] : m_leasesByAddress) {
        auto lease = std::dynamic_pointer_cast<CDHCPLease>(obj);
        if (!lease) continue;
        CLockGuard leaseGuard(*lease);
        if (lease->ClientStatus == CDHCPLease::kBound || lease->ClientStatus == CDHCPLease::kReserved)
          toSave.push_back(lease);
      }
    }
    for (const auto& lease : toSave) {
      CLockGuard leaseGuard(*lease);
      // One removed since the walk must not bring its key back.
      if (lease->m_removed) continue;
      if (IsLeaseAddress(lease->IPAddress) && !lease->Save(LeaseKey(lease->IPAddress)))
        throw std::runtime_error("lease");
    }

    if (!SaveMachineAssumptions(kMachineAssumptionsKey, m_machineNames)) throw std::runtime_error("assumptions");
    if (!m_cache->Save(kCacheKey)) throw std::runtime_error("cache");
    if (!m_dialer->Save(kDialerKey)) throw std::runtime_error("dialer");
    if (!m_scheduler->Save(kSchedulerKey)) throw std::runtime_error("scheduler");
  } catch (...) {
    ok = false;
    NotifyError(kInternalErrorTitle, kConfigurationWriteError);
  }
  return ok;
}

// ---- Notifications ---------------------------------------------------------------------------

void CTrellisEngine::NotifyControllers(uint32_t code, const CString& text1, const CString& text2,
                                       const CString& text3) {
  if (!HasControllers()) return;
  // Queued to each console's own thread; the list lock is not held while queuing.
  for (const auto& obj : m_monitors.Snapshot())
    if (auto* monitor = dynamic_cast<CEngineMonitor*>(obj.get())) monitor->QueueNotification(code, text1, text2, text3);
}

void CTrellisEngine::NotifyMonitorsAtAddress(const CString& address, uint32_t code, const CString& text1,
                                             const CString& text2, const CString& text3) {
  for (const auto& obj : m_monitors.Snapshot()) {
    auto* monitor = dynamic_cast<CEngineMonitor*>(obj.get());
    if (monitor && monitor->GetMonitorAddress() == address) monitor->QueueNotification(code, text1, text2, text3);
  }
}

void CTrellisEngine::NotifyConsolesAtAddress(const CString& address, uint32_t code, const CString& text1,
                                             const CString& text2, const CString& text3) {
  auto machine = m_machines->Find(address);
  if (!machine) return;
  // The machine's list is copied out; queuing happens without its lock.
  for (const auto& session : machine->GetSessions())
    if (auto* console = dynamic_cast<CEngineMonitor*>(session.get()))
      console->QueueNotification(code, text1, text2, text3);
}

void CTrellisEngine::NotifyMachineAdded(const CString& address, const CString& user, uint32_t level) {
  NotifyControllers(kNotifyMachineAdded, address, user, std::to_string(level));
}

void CTrellisEngine::NotifyMachineUpdated(const CString& address, const CString& user, uint32_t level) {
  NotifyControllers(kNotifyMachineUpdated, address, user, std::to_string(level));
}

void CTrellisEngine::NotifyMachineDeleted(const CString& address, uint32_t connectedSeconds) {
  NotifyControllers(kNotifyMachineDeleted, address, std::to_string(connectedSeconds), CString());
}

void CTrellisEngine::NotifySessionAdded(const CString& address, uint32_t sessionNumber, const CString& text) {
  NotifyControllers(kNotifySessionAdded, address, std::to_string(sessionNumber), text);
}

void CTrellisEngine::NotifySessionChanged(const CString& address, uint32_t sessionNumber, const CString& text) {
  NotifyControllers(kNotifySessionChanged, address, std::to_string(sessionNumber), text);
}

void CTrellisEngine::NotifySessionDeleted(const CString& address, uint32_t sessionNumber, const CString& text) {
  NotifyControllers(kNotifySessionDeleted, address, std::to_string(sessionNumber), text);
}

void CTrellisEngine::NotifyError(const CString& title, const CString& text) {
  NotifyControllers(kNotifyError, title, text, CString());
}

void CTrellisEngine::NotifyDialerProfile(const CString& text1, uint32_t number, const CString& text3) {
  NotifyControllers(kNotifyDialerProfile, text1, std::to_string(number), text3);
}

void CTrellisEngine::ForwardNotification(const CTLRCPMessage& message) {
  NotifyControllers(message.m_code, message.m_text1, message.m_text2, message.m_text3);
}

bool CTrellisEngine::AddMonitor(const std::shared_ptr<CObject>& session) {
  if (!session || !dynamic_cast<CEngineMonitor*>(session.get())) return false;
  CLockGuard guard(m_monitors);
  if (m_monitors.Contains(session.get())) return false;
  m_monitors.AddTail(session);
  m_monitorCount.store(m_monitors.GetCount());
  return true;
}

bool CTrellisEngine::RemoveMonitor(const CObject* session) {
  // The list lets the session go outside its lock; the count is set under it, after.
  const bool removed = m_monitors.Remove(session);
  CLockGuard guard(m_monitors);
  m_monitorCount.store(m_monitors.GetCount());
  return removed;
}

// ---- Machines --------------------------------------------------------------------------------

int CTrellisEngine::AttachSessionToMachine(const std::shared_ptr<CSession>& session) {
  try {
    return session && m_machines->AttachSession(session, this) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void CTrellisEngine::IdentifyMachineUser(CMachine& machine) {
  CString address = machine.GetAddress();
  bool hasLease = false;
  CString computerName, hardwareAddress;
  if (auto lease = FindLease(address)) {
    CLockGuard guard(*lease);
    if (!lease->IsExpired()) {
      hasLease = true;
      computerName = lease->ComputerName;
      hardwareAddress = lease->MACAddress;
    }
  }
  IdentifyMachine(machine, hasLease, computerName, hardwareAddress, m_machineNames, m_locations, m_users);
}

bool CTrellisEngine::RemoveMachine(const CString& address) {
  return m_machines->DeleteMachine(address, kSessionExitMachineGone);
}

// ---- Users -----------------------------------------------------------------------------------

std::shared_ptr<CFilterComponent> CTrellisEngine::FindUser(const CString& name, int group) const {
  if (group) return m_users.FindGroup(name);
  return m_users.FindUser(name);
}

bool CTrellisEngine::DeleteUser(const CString& name) {
  if (!m_users.FindUser(name)) return false;
  if (!m_users.Remove(name)) return false;
  // A later account of the same name must not inherit this one's assumptions.
  RemoveMachineAssumptionsOfUser(m_machineNames, name);
  m_locations.RemoveUser(name);
  // Every machine assumed to be that user ends its sessions through their normal path and leaves
  // the table with its last one.
  m_machines->TerminateMachinesOfUser(name, kSessionExitMachineGone);
  return true;
}

bool CTrellisEngine::DeleteGroup(const CString& name) {
  if (!m_users.FindGroup(name)) return false;
  RemoveMachineAssumptionsOfUser(m_machineNames, name);
  m_locations.RemoveUser(name);
  return m_users.Remove(name);
}

// ---- Network helpers -------------------------------------------------------------------------

void CTrellisEngine::CheckDialFirst(CSession* session) {
  if (!session) return;
  // The mark holds the session's idle check while the outside connection comes up; it is cleared
  // on every way out, or the session could never time out again.
  struct DialMark {
    CSession* s;
    explicit DialMark(CSession* session) : s(session) { s->SetWaitingForDialer(true); }
    ~DialMark() { s->SetWaitingForDialer(false); }
  } mark(session);
  try {
    m_dialer->CheckDialFirst(session);
    session->ResetIdleTimer();
  } catch (const X1SocketException& e) {
    throw X1SocketException(e.GetCode(), e.GetText());
  } catch (...) {
    // Only the connection's own errors are the caller's business; anything else lets it go on.
  }
}

std::optional<uint32_t> CTrellisEngine::LookupHost(const CString& host) const {
  uint32_t address = 0;
  if (TryParseIPAddress(host, &address)) return address;
  if (host.empty() || host.size() > kMaxHostNameLength || host.find('\0') != CString::npos) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  std::optional<uint32_t> found;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      found = ntohl(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
      break;
    }
  }
  freeaddrinfo(result);
  return found;
}

uint32_t CTrellisEngine::ResolveHost(const CString& host) const {
  uint32_t dotted = 0;
  if (TryParseIPAddress(host, &dotted)) return dotted;
  if (!m_dialer->AllowsLookups()) return 0xFFFFFFFFu;
  return LookupHost(host).value_or(0xFFFFFFFFu);
}

uint32_t CTrellisEngine::ResolveHostOrThrow(const CString& host) const {
  auto found = LookupHost(host);
  if (!found) throw X1SocketException(WSAEINVAL, HostnameLookupFailedText(host));
  return *found;
}

bool CTrellisEngine::Ping(uint32_t addressHostOrder) const {
  return platform::icmp::Echo(addressHostOrder, kPingTimeoutMs).status == platform::icmp::EchoStatus::Success;
}

bool CTrellisEngine::Ping(const CString& address) const {
  auto found = LookupHost(address);
  return found && Ping(*found);
}

// ---- Interfaces ------------------------------------------------------------------------------

std::vector<UpstreamHost> CTrellisEngine::UpstreamHosts() const {
  std::vector<UpstreamHost> hosts;
  for (uint32_t a : ReadNameServers()) hosts.push_back({a, "name server"});
  for (const auto& service : m_services->GetServices()) {
    auto* tcp = dynamic_cast<CTCPServiceSettings*>(&service->Settings());
    if (!tcp) continue;
    CConnectSettings connect = tcp->GetConnectSettings();
    uint32_t a = 0;
    // A proxy named by host name is not looked up here: start-up must not wait for a resolver.
    if (connect.ConnectMethod != CONNECT_DIRECT && TryParseIPAddress(connect.ProxyServer, &a))
      hosts.push_back({a, "upstream proxy"});
  }
  return hosts;
}

CString CTrellisEngine::GetUpstreamReason(uint32_t address) const { return UpstreamReason(address, UpstreamHosts()); }

// ---- Leases ----------------------------------------------------------------------------------

void CTrellisEngine::AddLease(const std::shared_ptr<CDHCPLease>& lease) {
  if (!lease) return;
  CString address, name, hardware;
  {
    CLockGuard guard(*lease);
    address = lease->IPAddress;
    name = Upper(lease->ComputerName);
    hardware = Upper(lease->MACAddress);
  }
  if (address.empty()) return;
  {
    CLockGuard guard(*lease);
    lease->m_removed = false;
  }
  CLockGuard byAddress(m_leasesByAddress);
  CLockGuard byName(m_leasesByName);
  CLockGuard byHardware(m_leasesByHardware);
  m_leasesByAddress.SetAt(address, lease);
  if (!name.empty()) m_leasesByName.SetAt(name, lease);
  if (!hardware.empty()) m_leasesByHardware.SetAt(hardware, lease);
}

bool CTrellisEngine::RemoveLease(const CString& address) {
  std::shared_ptr<CDHCPLease> lease;
  {
    CLockGuard byAddress(m_leasesByAddress);
    CLockGuard byName(m_leasesByName);
    CLockGuard byHardware(m_leasesByHardware);
    lease = m_leasesByAddress.LookupAs<CDHCPLease>(address);
    if (!lease) return false;
    m_leasesByAddress.RemoveKey(address);
    // The other two tables may by now hold a newer lease under the same key: only entries that
    // still point at this lease go.
    auto dropFrom = [&](CLockableMap& map) {
      std::vector<CString> keys;
      for (auto& [key, obj] : map)
        if (obj.get() == lease.get()) keys.push_back(key);
      for (const auto& key : keys) map.RemoveKey(key);
    };
    dropFrom(m_leasesByName);
    dropFrom(m_leasesByHardware);
  }
  CLockGuard guard(*lease);
  lease->m_removed = true;
  if (IsLeaseAddress(address)) RegDeleteKeyTree(LeaseKey(address));
  return true;
}

size_t CTrellisEngine::RemoveLeasesOfScope(uint32_t scopeId) {
  std::vector<CString> addresses;
  for (const auto& [address, obj] : m_leasesByAddress.Snapshot()) {
    auto lease = std::dynamic_pointer_cast<CDHCPLease>(obj);
    if (!lease) continue;
    CLockGuard guard(*lease);
    if (lease->ScopeID == scopeId) addresses.push_back(address);
  }
  size_t removed = 0;
  for (const auto& address : addresses) removed += RemoveLease(address) ? 1 : 0;
  return removed;
}

std::shared_ptr<CDHCPLease> CTrellisEngine::FindLease(const CString& address) const {
  return m_leasesByAddress.LookupAs<CDHCPLease>(address);
}

std::shared_ptr<CDHCPLease> CTrellisEngine::FindLeaseByClient(const CString& computerName,
                                                             const CString& hardwareAddress) const {
  if (!computerName.empty())
    if (auto lease = m_leasesByName.LookupAs<CDHCPLease>(Upper(computerName))) return lease;
  if (!hardwareAddress.empty())
    if (auto lease = m_leasesByHardware.LookupAs<CDHCPLease>(Upper(hardwareAddress))) return lease;
  return nullptr;
}

// ---- Shutdown --------------------------------------------------------------------------------

void CTrellisEngine::Shutdown(int exitProcess) {
  {
    std::unique_lock<std::mutex> lk(m_shutdownMutex);
    if (m_shutdownStarted) {
      // A second stop (the service's stop after a console's shutdown, or the same thread twice)
      // waits for the first instead of tearing down what is already gone; on the thread that is
      // running the first it returns at once, since waiting there could never end.
      if (m_shutdownThread != std::this_thread::get_id())
        m_shutdownDone.wait(lk, [this] { return m_shutdownFinished; });
      return;
    }
    m_shutdownStarted = true;
    m_shutdownThread = std::this_thread::get_id();
  }
  m_shuttingDown = true;
  {
    // Waits for a save that is running; every later save sees the flag and writes nothing.
    std::lock_guard<std::mutex> saving(m_saveMutex);
  }

  try {
    ShutdownSteps();
  } catch (...) {
    // Stopping goes on whatever one step threw: the process is on its way out.
  }

  m_quitAllowed = true;
  PostQuit(0);
  {
    std::lock_guard<std::mutex> lk(m_shutdownMutex);
    m_shutdownFinished = true;
  }
  m_shutdownDone.notify_all();

  if (exitProcess) {
    // A console asked for the process to end. Ending it here would run the process's static
    // destructors under threads that still run; instead the service is stopped the ordinary way,
    // and its dispatcher ends the process once everything has returned.
    if (CNTService::s_instance && CNTService::s_instance->IsRunning()) kill(getpid(), SIGTERM);
  }
}

bool CTrellisEngine::WaitForSessionsToEnd(int timeoutMs) { return CTCPSession::WaitForAll(timeoutMs); }

void CTrellisEngine::ShutdownSteps() {
  uintptr_t timer = m_timerId.exchange(0);
  if (timer != 0) KillTimer(timer);

  // Listeners first, so no new session starts; then every session ends through its machine and
  // its thread is waited for; only then do the services go, whose rights, logs and settings the
  // sessions were using.
  // The scheduler first: no action may start or stop what the shutdown is taking down.
  m_scheduler->Stop();
  std::vector<std::shared_ptr<CService>> services = m_services->ShutdownAll();
  // The dialer before the sessions are waited for: a session waiting for a dial wakes now.
  m_dialer->WaitForRestart();
  m_dialer->Stop();
  SetDebugDialer(nullptr);
  SetDialupInfo(DialupInfo());
  m_machines->DeleteAll();
  // A session accepted just before the stop may not have joined a machine yet.
  CTCPSession::TerminateAll(kSessionExitMachineGone);
  if (!WaitForSessionsToEnd(kSessionDrainMs)) EngineDebug("Engine stop: some sessions did not end in time");
  for (const auto& service : services)
    if (auto tcp = std::dynamic_pointer_cast<CTCPService>(service)) tcp->WaitForSessions(0);
  services.clear();
  m_cache->Shutdown();

  m_users.RemoveAll();
  m_locations.DeleteAll();
  m_monitors.RemoveAll();
  {
    CLockGuard guard(m_monitors);
    m_monitorCount.store(m_monitors.GetCount());
  }

  std::shared_ptr<CLogManager> logManager;
  {
    std::lock_guard<std::mutex> lk(m_shutdownMutex);
    logManager = std::move(m_logManager);
  }
  if (logManager) logManager->Shutdown(CLogManager::kShutdownWaitMs);

  CLockGuard byAddress(m_leasesByAddress);
  CLockGuard byName(m_leasesByName);
  CLockGuard byHardware(m_leasesByHardware);
  m_leasesByAddress.RemoveAll();
  m_leasesByName.RemoveAll();
  m_leasesByHardware.RemoveAll();
}
