#include "console/dialogs/core/service_sheet.h"

#include <strings.h>

#include <algorithm>

#include "console/dialogs/access/recipient_editors.h"
#include "console/dialogs/core/dhcp_pages.h"
#include "console/dialogs/core/mapping_editors.h"
#include "console/model/lookout_client.h"
#include "engine/config/util.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"
#include "engine/netsvc/dns/dns_settings.h"
#include "engine/proxy/pop3/pop3_settings.h"
#include "engine/proxy/telnet/telnet_settings.h"
#include "engine/proxy/www/www_settings.h"
#include "engine/remote/rc_codes.h"
#include "engine/remote/rc_service_settings.h"

namespace {

bool IsWWW(const CServiceSettings& s) { return dynamic_cast<const CWWWServiceSettings*>(&s) != nullptr; }
bool IsDHCP(const CServiceSettings& s) { return s.GetServiceKind() == SERVICE_KIND_DHCP; }
bool IsSOCKS(const CServiceSettings& s) { return s.GetServiceKind() == SERVICE_KIND_SOCKS; }
const CTCPServiceSettings* AsTCP(const CServiceSettings& s) { return dynamic_cast<const CTCPServiceSettings*>(&s); }

bool SameText(const CString& a, const CString& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::shared_ptr<CInterface> MirrorInterface(const CLockableMap* interfaces, const CString& name) {
  return interfaces ? interfaces->LookupAs<CInterface>(name) : nullptr;
}

const char* BindingStatus(uint32_t state) {
  switch (state) {
    case BINDING_LISTENING: return "Started";
    case BINDING_FAILED: return "Error";
    default: return "Stopped";
  }
}

// What the POP3 gateway accepts as its delimiter (anything else it reads as "#").
bool UsableDelimiter(uint32_t c) { return c > 0x20 && c < 0x7F && c != ':'; }

template <class Row>
void MoveRow(std::vector<Row>& from, std::vector<Row>& to, size_t row) {
  if (row >= from.size()) return;
  to.push_back(from[row]);
  from.erase(from.begin() + static_cast<std::ptrdiff_t>(row));
}

}  // namespace

void AutoBindNew(CServiceSettings& s, const CLockableMap& interfaces) {
  if (!(s.BindingOption == BINDING_ALL || (s.BindingOption == BINDING_SPECIFIC && s.SpecificBinding.empty()))) return;
  s.BindingOption = BINDING_LIST;
  s.Bindings.RemoveAll();
  for (const auto& [name, obj] : interfaces.Snapshot()) {
    auto entry = std::dynamic_pointer_cast<CInterface>(obj);
    if (!entry || entry->m_outside) continue;
    if (entry->m_kind != INTERFACE_IP && entry->m_kind != INTERFACE_LOOPBACK) continue;
    if (!s.AcceptsInterface(*entry)) continue;
    const CString address = entry->m_kind == INTERFACE_LOOPBACK ? CString("127.0.0.1") : entry->m_name;
    uint32_t addr = 0;
    if (!entry->m_lan && !(TryParseIPAddress(address, &addr) && IsPrivateAddress(addr))) continue;
    auto binding = std::make_shared<CBinding>();
    binding->m_state = BINDING_TO_OPEN;
    binding->m_interface = CInterface(entry->m_kind, entry->m_name);
    s.Bindings.SetAt(entry->m_name, binding);
  }
}

// ---- Page set -------------------------------------------------------------------------------------

std::vector<int> ServicePageSet(const CServiceSettings& s) {
  std::vector<int> pages{SERVICE_PAGE_GENERAL, SERVICE_PAGE_BINDINGS};
  if (s.HasOutgoingInterfaces()) pages.push_back(SERVICE_PAGE_INTERFACES);
  if (IsDHCP(s)) {
    pages.push_back(SERVICE_PAGE_DHCP_MODE);
    pages.push_back(SERVICE_PAGE_DHCP_SETTINGS);
  }
  if (IsSOCKS(s)) pages.push_back(SERVICE_PAGE_SOCKS);
  if (s.HasMappings()) pages.push_back(SERVICE_PAGE_MAPPINGS);
  if (!IsDHCP(s)) pages.push_back(SERVICE_PAGE_SESSIONS);
  pages.push_back(SERVICE_PAGE_POLICIES);
  if (s.HasNonProxySettings()) pages.push_back(SERVICE_PAGE_NON_PROXY);
  // The TCP mapping service is the one with mappings over TCP.
  if (s.HasMappings() && s.GetTransport() == SERVICE_TRANSPORT_TCP) pages.push_back(SERVICE_PAGE_ENCRYPTION);
  if (const CTCPServiceSettings* tcp = AsTCP(s); tcp && tcp->ConnectMethodsOffered != 0)
    pages.push_back(SERVICE_PAGE_CONNECTION);
  pages.push_back(SERVICE_PAGE_LOGGING);
  return pages;
}

std::vector<int> ServiceOkOrder(const CServiceSettings& s) {
  static const int kOrder[] = {SERVICE_PAGE_MAPPINGS,   SERVICE_PAGE_GENERAL,    SERVICE_PAGE_SESSIONS,
                               SERVICE_PAGE_POLICIES,   SERVICE_PAGE_LOGGING,    SERVICE_PAGE_SOCKS,
                               SERVICE_PAGE_CONNECTION, SERVICE_PAGE_NON_PROXY,  SERVICE_PAGE_ENCRYPTION,
                               SERVICE_PAGE_BINDINGS,   SERVICE_PAGE_INTERFACES, SERVICE_PAGE_DHCP_SETTINGS,
                               SERVICE_PAGE_DHCP_MODE};
  const std::vector<int> shown = ServicePageSet(s);
  std::vector<int> order;
  for (int id : kOrder)
    if (std::find(shown.begin(), shown.end(), id) != shown.end()) order.push_back(id);
  return order;
}

// ---- General --------------------------------------------------------------------------------------

void GeneralPage::Load(const CServiceSettings& s) {
  name = s.Name;
  description = s.Description;
  enabled = s.Enabled != 0;
  port = s.PortNumber;
  m_www = IsWWW(s);
  m_remoteControl = dynamic_cast<const CRemoteControlServiceSettings*>(&s) != nullptr;
  if (m_www) useJavaClient = static_cast<const CWWWServiceSettings&>(s).UseJavaClient != 0;
  auto* pop3 = dynamic_cast<const CPOP3ServiceSettings*>(&s);
  auto* dns = dynamic_cast<const CDNSServiceSettings*>(&s);
  auto* dhcp = dynamic_cast<const CDHCPServiceSettings*>(&s);
  auto* telnet = dynamic_cast<const CTelnetServiceSettings*>(&s);
  m_pop3 = pop3 != nullptr;
  m_dns = dns != nullptr;
  m_dhcp = dhcp != nullptr;
  m_telnet = telnet != nullptr;
  // The gateway reads a stored value it cannot use as "#": the page shows what is in effect.
  if (pop3) delimiter = CString(1, UsableDelimiter(pop3->Delimiter) ? static_cast<char>(pop3->Delimiter) : '#');
  if (dns) allowAutodial = dns->AllowAutodial != 0;
  if (dhcp) allowPublicIPs = dhcp->AllowAllocatePublicIPs != 0;
  if (telnet) {
    enableLogin = telnet->EnableLogin != 0;
    prompt = telnet->Prompt;
  }
  auto mappings = ServiceMappings(s);
  m_mappings = mappings != nullptr;
  if (m_mappings) {
    CLockGuard guard(*mappings);
    allowDefault = mappings->AllowDefault != 0;
    defaultHost = mappings->Default.Host;
    defaultPort = mappings->Default.Port;
  }
}

ControlStates GeneralPage::States() const {
  ControlStates st;
  st[NAME].enabled = !m_ctx.existing;
  // The service the console talks through cannot be switched off from it.
  st[ENABLED].enabled = !m_remoteControl;
  st[JAVA_CLIENT].visible = m_www;
  st[DELIMITER].visible = st[DELIMITER_LABEL].visible = m_pop3;
  st[AUTODIAL].visible = m_dns;
  st[PUBLIC_IPS].visible = m_dhcp;
  for (int id : {LOGIN, PROMPT, PROMPT_LABEL}) st[id].visible = m_telnet;
  for (int id : {ALLOW_DEFAULT, DEFAULT_GROUP, DEFAULT_HOST, DEFAULT_HOST_LABEL, DEFAULT_PORT, DEFAULT_PORT_LABEL})
    st[id].visible = m_mappings;
  st[DEFAULT_HOST].enabled = st[DEFAULT_PORT].enabled = allowDefault;
  return st;
}

void GeneralPage::ClickPublicIPs(bool checked, Prompter& prompter) {
  allowPublicIPs = checked;
  if (checked) prompter.Message(kTitleWarning, kTextPublicIPs, EDITOR_MB_EXCLAMATION);
}

bool GeneralPage::Validate(Prompter& prompter) {
  // An empty or unusable delimiter would be read as "#" by the gateway: the operator would believe
  // in a delimiter that is not the one in effect.
  if (m_pop3 && (delimiter.size() != 1 || !UsableDelimiter(static_cast<unsigned char>(delimiter[0])))) {
    prompter.Message(kTitleInvalidSetting, kTextBadDelimiter, EDITOR_MB_STOP);
    return false;
  }
  if (m_ctx.existing) return true;
  if (!CheckObjectName(name, prompter)) return false;
  bool taken = false;
  if (m_ctx.services)
    for (const CString& key : m_ctx.services->Keys()) taken = taken || SameText(key, name);
  if (taken) {
    prompter.Message(kTitleDuplicateService, kTextChooseAnotherServiceName, EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void GeneralPage::Apply(CServiceSettings& s) const {
  if (!m_ctx.existing) s.SetName(name);
  s.SetDescription(description);
  if ((s.Enabled != 0) != enabled || s.PortNumber != port) s.RestartNeeded = 1;
  s.Enabled = enabled;
  s.PortNumber = port;
  if (auto* www = dynamic_cast<CWWWServiceSettings*>(&s)) www->UseJavaClient = useJavaClient;
  if (auto* pop3 = dynamic_cast<CPOP3ServiceSettings*>(&s); pop3 && delimiter.size() == 1)
    pop3->Delimiter = static_cast<unsigned char>(delimiter[0]);
  if (auto* dns = dynamic_cast<CDNSServiceSettings*>(&s)) dns->AllowAutodial = allowAutodial;
  if (auto* dhcp = dynamic_cast<CDHCPServiceSettings*>(&s)) dhcp->AllowAllocatePublicIPs = allowPublicIPs;
  if (auto* telnet = dynamic_cast<CTelnetServiceSettings*>(&s)) {
    telnet->EnableLogin = enableLogin;
    telnet->Prompt = prompt;
  }
  if (auto mappings = ServiceMappings(s)) {
    CLockGuard guard(*mappings);
    mappings->AllowDefault = allowDefault ? 1 : 0;
    mappings->Default = CHostPort(defaultHost, defaultPort);
  }
}

// ---- Bindings -------------------------------------------------------------------------------------

void BindingsPage::Load(const CServiceSettings& s) {
  option = m_loadedOption = s.BindingOption;
  specific = m_loadedSpecific = s.SpecificBinding;
  reuseAddr = s.ReuseAddr != 0;
  dhcp = IsDHCP(s);
  combo.clear();
  bound.clear();
  available.clear();
  m_moved = false;
  if (!m_ctx.interfaces) return;
  for (const auto& [name, obj] : m_ctx.interfaces->Snapshot()) {
    auto entry = std::dynamic_pointer_cast<CInterface>(obj);
    if (!entry || entry->m_kind == INTERFACE_DIALUP || !s.AcceptsInterface(*entry)) continue;
    combo.push_back(name);
    if (auto b = s.Bindings.LookupAs<CBinding>(name))
      bound.push_back({name, BindingStatus(b->m_state), entry->m_kind});
    else
      available.push_back({name, "Stopped", entry->m_kind});
  }
  // Without a stored choice the combo offers its first entry, ready for "following interface only".
  if (specific.empty() && !combo.empty()) specific = combo.front();
  m_shownSpecific = specific;
}

ControlStates BindingsPage::States() const {
  ControlStates st;
  const bool list = option == BINDING_LIST;
  st[BOUND].enabled = st[AVAILABLE].enabled = list;
  st[COMBO].enabled = option == BINDING_SPECIFIC;
  st[REUSE].enabled = !list;
  st[REUSE].checked = list ? true : reuseAddr;
  st[ANY].enabled = !dhcp;
  return st;
}

bool BindingsPage::External(const CString& name) const {
  auto entry = MirrorInterface(m_ctx.interfaces, name);
  return entry && entry->m_outside != 0;
}

void BindingsPage::ChooseOption(uint32_t value, Prompter& prompter) {
  if (value == BINDING_ALL) prompter.Message("Lookout", kTextBindAny, EDITOR_MB_INFORMATION);
  option = value;
}

void BindingsPage::ChooseSpecific(const CString& name, Prompter& prompter) {
  specific = name;
  if (External(name)) prompter.Message(kTitleSecurityProblem, kTextExternalInterface, EDITOR_MB_INFORMATION);
}

void BindingsPage::Bind(size_t row, Prompter& prompter) {
  if (row >= available.size()) return;
  if (m_ctx.confirmBindExternal && External(available[row].name) &&
      !prompter.AskYesNo(kTitleSecurityProblem,
                         CString(kTextExternalInterface) + "\n\nDo you wish to bind to this interface anyway?",
                         EDITOR_MB_EXCLAMATION))
    return;
  MoveRow(available, bound, row);
  m_moved = true;
}

void BindingsPage::Unbind(size_t row) {
  if (row >= bound.size()) return;
  MoveRow(bound, available, row);
  m_moved = true;
}

bool BindingsPage::Validate(Prompter& prompter) {
  if (option == BINDING_SPECIFIC && specific.empty()) {
    prompter.Message(kTitleInvalidSetting, kTextNoSpecificBinding, EDITOR_MB_STOP);
    return false;
  }
  if (option == BINDING_LIST && bound.empty() &&
      !prompter.AskYesNo(kTitleInvalidSetting, kTextNoBindings, EDITOR_MB_STOP))
    return false;
  return true;
}

void BindingsPage::Apply(CServiceSettings& s) const {
  if (option != m_loadedOption || m_moved) s.RestartNeeded = 1;
  if (option == BINDING_SPECIFIC && !SameText(specific, m_loadedSpecific)) s.RestartNeeded = 1;
  s.BindingOption = option;
  for (const InterfaceRow& r : available) s.Bindings.RemoveKey(r.name);
  for (const InterfaceRow& r : bound) {
    auto entry = MirrorInterface(m_ctx.interfaces, r.name);
    if (!entry || s.Bindings.Lookup(r.name)) continue;
    auto b = std::make_shared<CBinding>();
    b->m_state = BINDING_TO_OPEN;
    b->m_interface = CInterface(entry->m_kind, r.name);
    s.Bindings.SetAt(r.name, b);
  }
  s.ReuseAddr = reuseAddr;
  // The entry offered in place of an empty choice is stored only once it is used or picked.
  if (option == BINDING_SPECIFIC || specific != m_shownSpecific) s.SpecificBinding = specific;
}

// ---- Interfaces -----------------------------------------------------------------------------------

void InterfacesPage::Load(const CServiceSettings& s) {
  method = s.InterfaceMethod;
  fixed = s.FixedInterface.m_name;
  combo.clear();
  inUse.clear();
  available.clear();
  std::vector<CString> used;
  for (const auto& obj : s.Interfaces.Snapshot())
    if (auto itf = std::dynamic_pointer_cast<CInterface>(obj)) {
      inUse.push_back({itf->m_name, CString(), itf->m_kind});
      used.push_back(itf->m_name);
    }
  if (!m_ctx.interfaces) return;
  for (const auto& [name, obj] : m_ctx.interfaces->Snapshot()) {
    auto entry = std::dynamic_pointer_cast<CInterface>(obj);
    if (!entry) continue;
    combo.push_back(name);
    if (std::find(used.begin(), used.end(), name) == used.end()) available.push_back({name, CString(), entry->m_kind});
  }
}

ControlStates InterfacesPage::States() const {
  ControlStates st;
  st[COMBO].enabled = method == INTERFACE_METHOD_FIXED;
  st[IN_USE].enabled = st[AVAILABLE].enabled = method == INTERFACE_METHOD_ROUND_ROBIN;
  return st;
}

void InterfacesPage::Move(bool fromInUse, size_t row) {
  if (fromInUse)
    MoveRow(inUse, available, row);
  else
    MoveRow(available, inUse, row);
}

bool InterfacesPage::Validate(Prompter& prompter) {
  // The engine takes the first entry of the list for every connection: an empty list has none.
  if (method == INTERFACE_METHOD_ROUND_ROBIN && inUse.empty()) {
    prompter.Message(kTitleInvalidSetting, kTextNoRotateInterfaces, EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void InterfacesPage::Apply(CServiceSettings& s) const {
  s.InterfaceMethod = method;
  auto held = [&](const CString& name) {
    std::vector<std::shared_ptr<CObject>> out;
    for (const auto& obj : s.Interfaces.Snapshot())
      if (auto itf = std::dynamic_pointer_cast<CInterface>(obj); itf && itf->m_name == name) out.push_back(obj);
    return out;
  };
  for (const InterfaceRow& r : available) s.RemoveOutgoingInterface(r.name);
  for (const InterfaceRow& r : inUse) {
    auto entry = MirrorInterface(m_ctx.interfaces, r.name);
    if (entry && held(r.name).empty()) s.Interfaces.AddTail(std::make_shared<CInterface>(entry->m_kind, r.name));
  }
  if (auto entry = MirrorInterface(m_ctx.interfaces, fixed)) s.FixedInterface = CInterface(entry->m_kind, fixed);
}

// ---- Sessions -------------------------------------------------------------------------------------

void SessionsPage::Load(const CServiceSettings& s) {
  timeOut = s.TimeOutSessions != 0;
  timeout = s.SessionTimeout;
  limit = s.LimitSessions != 0;
  sessionLimit = s.SessionLimit;
}

void SessionsPage::Apply(CServiceSettings& s) const {
  s.TimeOutSessions = timeOut;
  s.SessionTimeout = timeout;
  s.LimitSessions = limit;
  s.SessionLimit = sessionLimit;
}

// ---- Non-proxy requests ---------------------------------------------------------------------------

void NonProxyPage::Load(const CServiceSettings& s) {
  action = s.NonProxyRequestAction;
  host = s.NonProxyRequestHost;
  port = s.NonProxyRequestPort;
  www = IsWWW(s);
  if (www) {
    const auto& w = static_cast<const CWWWServiceSettings&>(s);
    cache = w.CacheNonProxyRequests != 0;
    prepend = w.PrependResource != 0;
    url = w.RedirectURL;
    prependInfo = w.PrependInfo;
    serverRoot = w.ServerRoot;
    defaultFilename = w.DefaultFilename;
    browsing = w.AllowDirectoryBrowsing != 0;
    cgi = w.EnableCGI != 0;
    cgiRoot = w.CGIRoot;
    cgiLabel = w.CGILabel;
  }
}

ControlStates NonProxyPage::States() const {
  ControlStates st;
  const bool pipe = action == 1, redirect = action == 2, serve = action == 3;
  for (int id : {PREPEND, PREPEND_INFO, HOST, PORT, CACHE}) st[id].enabled = pipe;
  st[URL].enabled = redirect;
  st[WEB_SERVER].enabled = serve;
  if (!www)
    for (int id : {REDIRECT, REDIRECT_LABEL, URL, CACHE, SERVE, WEB_SERVER, PREPEND, PREPEND_INFO})
      st[id].visible = false;
  return st;
}

void NonProxyPage::Apply(CServiceSettings& s) const {
  s.NonProxyRequestAction = action;
  s.NonProxyRequestHost = host;
  s.NonProxyRequestPort = port;
  if (auto* w = dynamic_cast<CWWWServiceSettings*>(&s)) {
    w->CacheNonProxyRequests = cache;
    w->PrependResource = prepend;
    w->RedirectURL = url;
    w->PrependInfo = prependInfo;
    w->ServerRoot = serverRoot;
    w->DefaultFilename = defaultFilename;
    w->AllowDirectoryBrowsing = browsing;
    w->EnableCGI = cgi;
    w->CGIRoot = cgiRoot;
    w->CGILabel = cgiLabel;
  }
}

// ---- Connection -----------------------------------------------------------------------------------

void ConnectionPage::Load(const CServiceSettings& s) {
  const CTCPServiceSettings* tcp = AsTCP(s);
  if (!tcp) return;
  method = tcp->ConnectMethod;
  offered = tcp->ConnectMethodsOffered;
  server = tcp->ProxyServer;
  port = tcp->ProxyPort;
  socks4Password = tcp->SOCKS4Password;
  bypass = tcp->BypassProxyOnLocal != 0;
}

ControlStates ConnectionPage::States() const {
  ControlStates st;
  st[CASCADED].enabled = (offered & 1) != 0;
  st[SOCKS4].enabled = (offered & 2) != 0;
  st[TUNNEL].enabled = (offered & 4) != 0;
  const bool direct = method == CONNECT_DIRECT;
  st[SERVER].enabled = st[PORT].enabled = st[BYPASS].enabled = !direct;
  st[SOCKS4_PASSWORD].enabled = method == 2;
  return st;
}

bool ConnectionPage::Validate(Prompter& prompter) {
  if (method != CONNECT_DIRECT && server.empty()) {
    prompter.Message(kTitleInvalidSetting, kTextNoProxyServer, EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void ConnectionPage::Apply(CServiceSettings& s) const {
  auto* tcp = dynamic_cast<CTCPServiceSettings*>(&s);
  if (!tcp) return;
  tcp->ConnectMethod = method;
  tcp->ProxyServer = server;
  tcp->ProxyPort = port;
  tcp->SOCKS4Password = socks4Password;
  tcp->BypassProxyOnLocal = bypass;
}

// ---- Policies -------------------------------------------------------------------------------------

static std::array<const CRight*, 3> Rights(const CServiceSettings& s) {
  return {&s.AccessRights, &s.StartStopRights, &s.EditRights};
}

void PoliciesPage::Load(const CServiceSettings& s) {
  m_kind = s.GetServiceKind();
  m_rights.clear();
  for (const CRight* right : Rights(s)) {
    Working w;
    w.copy = std::make_shared<CRight>();
    w.copy->CopyFrom(*right);
    // The DHCP service's access right takes no default rights.
    if (Fixed(w)) w.copy->IncludeDefaultRights = kDefaultRightsIgnored;
    m_rights.push_back(std::move(w));
  }
  selected = 0;
}

bool PoliciesPage::Fixed(const Working& w) const {
  return m_kind == SERVICE_KIND_DHCP && w.copy->RightType == kRightAccess;
}

ControlStates PoliciesPage::States() const {
  ControlStates st;
  st[MODE].enabled = selected < m_rights.size() && !Fixed(m_rights[selected]);
  st[ADD].enabled = selected < m_rights.size();
  st[REMOVE].enabled = !Rows().empty();
  return st;
}

std::vector<CString> PoliciesPage::RightNames() const {
  std::vector<CString> out;
  for (const Working& w : m_rights) out.push_back(w.copy->Description);
  return out;
}

std::vector<PoliciesPage::Row> PoliciesPage::Rows() const {
  std::vector<Row> out;
  if (selected >= m_rights.size()) return out;
  for (const auto& r : m_rights[selected].copy->GetRecipients())
    out.push_back({r->UserName, r->GetRestrictionDescription()});
  return out;
}

int32_t PoliciesPage::Mode() const {
  return selected < m_rights.size() ? m_rights[selected].copy->IncludeDefaultRights : 0;
}

void PoliciesPage::SetMode(int32_t mode) {
  if (selected >= m_rights.size() || Fixed(m_rights[selected]) || mode < 0 || mode > 2) return;
  m_rights[selected].copy->IncludeDefaultRights = mode;
}

void PoliciesPage::Remove(size_t row) {
  if (selected >= m_rights.size()) return;
  const auto recipients = m_rights[selected].copy->GetRecipients();
  if (row >= recipients.size()) return;
  m_rights[selected].copy->Recipients.Remove(recipients[row].get());
  m_rights[selected].modified = true;
}

void PoliciesPage::Add(std::shared_ptr<CRecipient> recipient) {
  if (selected >= m_rights.size() || !recipient) return;
  m_rights[selected].copy->AddRecipient(std::move(recipient));
  m_rights[selected].modified = true;
}

void PoliciesPage::Replace(size_t row, std::shared_ptr<CRecipient> recipient) {
  if (selected >= m_rights.size() || !recipient || row >= m_rights[selected].copy->GetRecipients().size()) return;
  ReplaceRecipient(*m_rights[selected].copy, row, std::move(recipient));
  m_rights[selected].modified = true;
}

std::shared_ptr<const CRecipient> PoliciesPage::Recipient(size_t row) const {
  if (selected >= m_rights.size()) return nullptr;
  const auto recipients = m_rights[selected].copy->GetRecipients();
  return row < recipients.size() ? recipients[row] : nullptr;
}

int32_t PoliciesPage::SelectedType() const {
  return selected < m_rights.size() ? m_rights[selected].copy->RightType : kRightAccess;
}

bool PoliciesPage::Validate(Prompter& prompter) {
  for (const Working& w : m_rights) {
    if (w.modified && w.copy->GetRecipients().empty() && w.copy->IncludeDefaultRights != kDefaultRightsEither &&
        !prompter.AskYesNo(w.copy->Description, kTextNoRecipients, EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO))
      return false;
  }
  return true;
}

void PoliciesPage::Apply(CServiceSettings& s) const {
  // The working copies stay the page's: a later refusal and a second OK find them intact.
  std::array<CRight*, 3> rights = s.GetRights();
  for (size_t i = 0; i < m_rights.size() && i < rights.size(); ++i) rights[i]->CopyFrom(*m_rights[i].copy);
}

// ---- Logging --------------------------------------------------------------------------------------

void LoggingPage::Load(const CServiceSettings& s) {
  enabled = s.LoggingEnabled != 0;
  options = s.LogOptions;
}

ControlStates LoggingPage::States() const {
  ControlStates st;
  for (const auto& [id, bit] : kBits) st[id].enabled = enabled;
  return st;
}

void LoggingPage::Apply(CServiceSettings& s) const {
  s.LoggingEnabled = enabled;
  s.LogOptions = options;
}

// ---- Sheet ----------------------------------------------------------------------------------------

EditServiceSheet::EditServiceSheet(CLookoutClient& client, const CString& serviceName, bool confirmBindExternal)
    : m_client(client), m_name(serviceName) {
  m_ctx.existing = true;
  m_ctx.confirmBindExternal = confirmBindExternal;
  m_service = client.Mirrors().services->LookupAs<CServiceSettings>(serviceName);
  if (!m_service) throw std::invalid_argument("no such service");
  Init();
}

EditServiceSheet::EditServiceSheet(CLookoutClient& client, std::shared_ptr<CServiceSettings> fresh,
                                   bool confirmBindExternal)
    : m_client(client), m_service(std::move(fresh)) {
  m_ctx.existing = false;
  m_ctx.confirmBindExternal = confirmBindExternal;
  AutoBindNew(*m_service, *client.Mirrors().interfaces);
  Init();
}

void EditServiceSheet::Init() {
  m_ctx.interfaces = m_client.Mirrors().interfaces.get();
  m_ctx.services = m_client.Mirrors().services.get();
  m_pages = ServicePageSet(*m_service);
  if (IsDHCP(*m_service)) {
    dhcpMode = std::make_shared<DHCPModePage>(m_ctx);
    dhcpSettings = std::make_shared<DHCPSettingsPage>(m_ctx, bindings);
  }
  for (int id : m_pages)
    if (ServicePage* p = Page(id)) p->Load(*m_service);
}

CString EditServiceSheet::Title() const { return m_service->GetName() + " Properties"; }

ServicePage* EditServiceSheet::Page(int id) {
  if (std::find(m_pages.begin(), m_pages.end(), id) == m_pages.end()) return nullptr;
  switch (id) {
    case SERVICE_PAGE_GENERAL: return &general;
    case SERVICE_PAGE_BINDINGS: return &bindings;
    case SERVICE_PAGE_INTERFACES: return &interfaces;
    case SERVICE_PAGE_SESSIONS: return &sessions;
    case SERVICE_PAGE_NON_PROXY: return &nonProxy;
    case SERVICE_PAGE_CONNECTION: return &connection;
    case SERVICE_PAGE_POLICIES: return &policies;
    case SERVICE_PAGE_LOGGING: return &logging;
    case SERVICE_PAGE_MAPPINGS: return &mappings;
    case SERVICE_PAGE_SOCKS: return &socks;
    case SERVICE_PAGE_ENCRYPTION: return &encryption;

    case SERVICE_PAGE_DHCP_MODE: return dhcpMode.get();
    case SERVICE_PAGE_DHCP_SETTINGS: return dhcpSettings.get();
    default: return nullptr;
  }
}

int EditServiceSheet::Ok(Prompter& prompter) {
  std::vector<PageLogic<CServiceSettings>*> order;
  std::vector<int> ids;
  for (int id : ServiceOkOrder(*m_service))
    if (ServicePage* p = Page(id)) {
      order.push_back(p);
      ids.push_back(id);
    }
  std::shared_ptr<CServiceSettings> base = m_service;
  if (m_ctx.existing) {
    // The mirror's current object: a notification may have replaced it meanwhile.
    base = m_client.Mirrors().services->LookupAs<CServiceSettings>(m_name);
    if (!base) {
      prompter.Message("Lookout", "This service no longer exists.", EDITOR_MB_STOP);
      return -1;
    }
  }
  int refused = -1;
  if (!ValidatePages(order, prompter, &refused)) return ids[static_cast<size_t>(refused)];
  std::shared_ptr<CServiceSettings> copy = m_ctx.existing ? Clone(*base) : base;
  // Restart-needed is this edit's own finding.
  copy->RestartNeeded = 0;
  for (auto* page : order) page->Apply(*copy);

  const CString name = copy->GetName();
  if (m_client.IsOnline()) {
    if (m_ctx.existing)
      m_client.QueueObject(RC_REQ_MODIFY_SERVICE, name, *copy);
    else
      m_client.QueueObject(RC_REQ_ADD_SERVICE, name, *copy, true);
  }
  if (!m_client.CommitService(copy, m_ctx.existing ? RC_NOTIFY_SERVICE_CHANGED : RC_NOTIFY_SERVICE_ADDED))
    prompter.Message("Lookout", "The service could not be entered.", EDITOR_MB_STOP);
  return 0;
}
