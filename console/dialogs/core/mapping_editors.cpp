#include "console/dialogs/core/mapping_editors.h"

#include "console/model/lookout_client.h"
#include "engine/access/group.h"
#include "engine/access/location.h"
#include "engine/access/user_db.h"
#include "engine/dialer/dialer_settings.h"
#include "engine/proxy/mapping/mapping_settings.h"

CString MappingDescription(const CMapping& m) {
  CString text = "Link to " + m.Destination.Host + ":" + std::to_string(m.Destination.Port);
  const bool byLocation = m.SpecifyLocation != 0, byUser = m.SpecifyUser != 0;
  if (byLocation || byUser) {
    text += " by ";
    if (byLocation) text += "location";
    if (byLocation && byUser) text += " and ";
    if (byUser) text += "user";
  } else {
    text += " no dependencies";
  }
  if (m.Enabled == 0) text += " (disabled)";
  return text;
}

std::shared_ptr<CMappings> ServiceMappings(const CServiceSettings& s) {
  if (auto* tcp = dynamic_cast<const CTCPMappingServiceSettings*>(&s)) return tcp->Mappings;
  if (auto* udp = dynamic_cast<const CUDPMappingServiceSettings*>(&s)) return udp->Mappings;
  return nullptr;
}

MappingSheetContext MappingContextOf(const CLookoutClient& client) {
  MappingSheetContext ctx;
  const ConsoleMirrors& m = client.Mirrors();
  if (m.dialer) {
    CLockGuard guard(*m.dialer);
    ctx.phonebook = m.dialer->PhonebookEntries;
  }
  ctx.principals = PrincipalsOf(client);
  return ctx;
}

// ---- Mapping page --------------------------------------------------------------------------------

void MappingServerPage::Load(const CMapping& m) {
  enabled = m.Enabled != 0;
  host = m.Destination.Host;
  port = m.Destination.Port;
  dialerDependent = m.DialerDependent != 0;
  connectoid = m.DUNConnectoid;
}

ControlStates MappingServerPage::States() const {
  ControlStates st;
  st[CONNECTOID].enabled = dialerDependent;
  return st;
}

void MappingServerPage::Apply(CMapping& m) const {
  m.Enabled = enabled ? 1 : 0;
  m.Destination = CHostPort(host, port);
  m.DialerDependent = dialerDependent ? 1 : 0;
  m.DUNConnectoid = connectoid;
}

// ---- User page -----------------------------------------------------------------------------------

void MappingUserPage::Load(const CMapping& m) {
  specify = m.SpecifyUser != 0;
  name = m.UserName;
}

ControlStates MappingUserPage::States() const {
  ControlStates st;
  st[LIST].enabled = specify;
  return st;
}

bool MappingUserPage::Validate(Prompter& prompter) {
  if (specify && name.empty()) {
    prompter.Message(kTitleError, kTextSelectUserOrGroup, EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void MappingUserPage::Apply(CMapping& m) const {
  m.SpecifyUser = specify ? 1 : 0;
  m.UserName = name;
}

void MappingUserPage::Select(const MappingSheetContext& ctx, size_t row) {
  if (row < ctx.principals.size()) name = ctx.principals[row].name;
}

// ---- Location page -------------------------------------------------------------------------------

void MappingLocationPage::Load(const CMapping& m) {
  specify = m.SpecifyLocation != 0;
  included = m.IncludedLocations;
  excluded = m.ExcludedLocations;
}

bool MappingLocationPage::Validate(Prompter& prompter) {
  if (!CheckPatterns(prompter)) return false;
  if (included.size() > CMapping::kMaxPatterns || excluded.size() > CMapping::kMaxPatterns) {
    prompter.Message(kTitleInvalidLocation, "Too many locations", EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void MappingLocationPage::Apply(CMapping& m) const {
  m.SpecifyLocation = specify ? 1 : 0;
  m.IncludedLocations = included;
  m.ExcludedLocations = excluded;
}

// ---- Mapping sheet -------------------------------------------------------------------------------

MappingSheet::MappingSheet(const CMapping& mapping, bool existing, MappingSheetContext ctx)
    : m_copy(Clone(mapping)), m_existing(existing), m_ctx(std::move(ctx)) {
  server.Load(*m_copy);
  user.Load(*m_copy);
  location.Load(*m_copy);
}

std::shared_ptr<CMapping> MappingSheet::Ok(Prompter& prompter, int* refused) {
  std::vector<PageLogic<CMapping>*> order{&server, &user, &location};
  auto result = ValidateAndApply(order, *m_copy, prompter, refused);
  if (result) m_copy = result;
  return result;
}

// ---- Mappings page -------------------------------------------------------------------------------

void MappingsPage::Load(const CServiceSettings& s) {
  m_rules.clear();
  auto mappings = ServiceMappings(s);
  m_has = mappings != nullptr;
  if (!m_has) return;
  // Working copies: nothing edited here reaches the service before the sheet's OK.
  for (const auto& rule : mappings->GetMappings()) m_rules.push_back(Clone(*rule));
}

ControlStates MappingsPage::States() const {
  ControlStates st;
  st[REMOVE].enabled = selected && *selected < m_rules.size();
  return st;
}

void MappingsPage::Apply(CServiceSettings& s) const {
  auto target = ServiceMappings(s);
  if (!target) return;
  // The allow-default switch and the default destination stay the service's own; only the list
  // is replaced, in the page's order.
  CLockGuard guard(*target);
  target->RemoveAll();
  for (const auto& rule : m_rules) target->AddMapping(Clone(*rule));
}

std::vector<CString> MappingsPage::Rows() const {
  std::vector<CString> rows;
  for (const auto& rule : m_rules) rows.push_back(MappingDescription(*rule));
  return rows;
}

void MappingsPage::Add(std::shared_ptr<CMapping> rule) {
  if (rule) m_rules.push_back(std::move(rule));
}

void MappingsPage::Replace(size_t row, std::shared_ptr<CMapping> rule) {
  if (row < m_rules.size() && rule) m_rules[row] = std::move(rule);
}

void MappingsPage::Remove(size_t row) {
  if (row >= m_rules.size()) return;
  m_rules.erase(m_rules.begin() + static_cast<std::ptrdiff_t>(row));
  if (selected && *selected >= m_rules.size()) selected.reset();
}
