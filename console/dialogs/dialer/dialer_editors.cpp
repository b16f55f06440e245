#include "console/dialogs/dialer/dialer_editors.h"

#include <strings.h>

#include <algorithm>

#include "console/model/lookout_client.h"
#include "engine/config/util.h"
#include "engine/core/service_settings.h"
#include "engine/remote/rc_codes.h"

namespace {

CString Trim(const CString& text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

bool SameName(const CString& a, const CString& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

}  // namespace

// ---- Edit Profile: General ----------------------------------------------------------------------

void ProfileGeneralPage::Load(const CDialerProfileSettings& p) {
  CLockGuard g(p);
  name = p.Name;
  entry = p.ProfileName;
  username = p.Username;
  password = p.Password;
  domain = p.Domain;
  autoConnect = p.AutoConnect != 0;
  autoDisconnect = p.AutoDisconnect != 0;
  disconnectAfter = p.DisconnectAfter;
  retries = p.Retries;
}

ControlStates ProfileGeneralPage::States() const {
  ControlStates st;
  // The name is the profile's registry key and the engine's handle on it: fixed once made.
  st[PROFILE_GENERAL_NAME].enabled = !m_ctx.existing;
  st[PROFILE_GENERAL_DISCONNECT_AFTER].enabled = autoDisconnect;
  return st;
}

bool ProfileGeneralPage::ReadNumbers(const CString& disconnectAfterText, const CString& retriesText,
                                     FieldError* error) {
  uint64_t after = 0, tries = 0;
  if (!ReadUnsigned(disconnectAfterText, PROFILE_GENERAL_DISCONNECT_AFTER, 0, UINT32_MAX, &after, error)) return false;
  if (!ReadUnsigned(retriesText, PROFILE_GENERAL_RETRIES, kRetriesMin, kRetriesMax, &tries, error)) return false;
  disconnectAfter = static_cast<uint32_t>(after);
  retries = static_cast<int32_t>(tries);
  return true;
}

bool ProfileGeneralPage::Validate(Prompter& prompter) {
  if (retries < static_cast<int64_t>(kRetriesMin)) {
    prompter.Message("Lookout", IntegerRangeText(kRetriesMin, kRetriesMax), EDITOR_MB_EXCLAMATION);
    return false;
  }
  if (m_ctx.existing) return true;
  if (!CheckObjectName(name, prompter)) return false;
  for (const CString& taken : m_ctx.takenNames) {
    if (SameName(taken, name)) {
      prompter.Message(kTitleDuplicateProfile, kTextChooseAnotherProfileName, EDITOR_MB_STOP);
      return false;
    }
  }
  return true;
}

void ProfileGeneralPage::Apply(CDialerProfileSettings& p) const {
  CLockGuard g(p);
  if (!m_ctx.existing) p.Name = name;
  p.ProfileName = entry;
  p.Username = username;
  p.Password = password;
  p.Domain = domain;
  p.AutoConnect = autoConnect ? 1 : 0;
  p.AutoDisconnect = autoDisconnect ? 1 : 0;
  p.DisconnectAfter = disconnectAfter;
  p.Retries = retries;
}

// ---- Edit Profile: Access -----------------------------------------------------------------------

void ProfileAccessPage::Load(const CDialerProfileSettings& p) {
  m_copy.CopyFrom(p.AccessRights);
  selected.reset();
}

ControlStates ProfileAccessPage::States() const {
  ControlStates st;
  st[PROFILE_ACCESS_REMOVE].enabled = selected && *selected < m_copy.GetRecipients().size();
  return st;
}

std::vector<ProfileAccessPage::Row> ProfileAccessPage::Rows() const {
  std::vector<Row> out;
  for (const auto& r : m_copy.GetRecipients()) {
    const bool known = m_ctx.users && (m_ctx.users->FindUser(r->UserName) || m_ctx.users->FindGroup(r->UserName));
    // What the recipient's restrictions are now, not the description it was created with.
    out.push_back({r->UserName, r->GetRestrictionDescription(), known ? 1 : 4});
  }
  return out;
}

bool ProfileAccessPage::Add(RecipientDialogs& dialogs) {
  auto recipient = dialogs.EditRecipient(nullptr, SERVICE_KIND_NONE, m_copy.RightType);
  if (!recipient) return false;
  m_copy.AddRecipient(std::move(recipient));
  return true;
}

bool ProfileAccessPage::Edit(size_t row, RecipientDialogs& dialogs) {
  const auto recipients = m_copy.GetRecipients();
  if (row >= recipients.size()) return false;
  auto edited = dialogs.EditRecipient(recipients[row].get(), SERVICE_KIND_NONE, m_copy.RightType);
  if (!edited) return false;
  recipients[row]->CopyFrom(*edited);
  return true;
}

void ProfileAccessPage::Remove(size_t row) {
  const auto recipients = m_copy.GetRecipients();
  if (row >= recipients.size()) return;
  m_copy.Recipients.Remove(recipients[row].get());
  selected.reset();
}

void ProfileAccessPage::Apply(CDialerProfileSettings& p) const {
  // The page keeps its copy: a later refusal and a second OK find it intact.
  p.AccessRights.CopyFrom(m_copy);
}

// ---- Edit Profile sheet -------------------------------------------------------------------------

std::shared_ptr<CDialerProfileSettings> NewDialerProfile() {
  auto p = std::make_shared<CDialerProfileSettings>();
  p->AccessRights.AddRecipient(std::make_shared<CRecipient>());
  return p;
}

EditProfileSheet::EditProfileSheet(const CDialerProfileSettings* existing, ProfileSheetContext ctx)
    : m_ctx(std::move(ctx)) {
  m_ctx.existing = existing != nullptr;
  m_profile = existing ? Clone(*existing) : NewDialerProfile();
  general.Load(*m_profile);
  access.Load(*m_profile);
}

CString EditProfileSheet::Title() const {
  return m_ctx.existing ? "Properties for dialer entry " + m_profile->Name : CString("Properties for new dialer entry");
}

std::shared_ptr<CDialerProfileSettings> EditProfileSheet::Ok(Prompter& prompter, int* refused) {
  std::vector<PageLogic<CDialerProfileSettings>*> order{&general, &access};
  if (!ValidatePages(order, prompter, refused)) return nullptr;
  // A fresh copy every time: what an earlier OK returned is never changed afterwards.
  auto copy = Clone(*m_profile);
  for (auto* page : order) page->Apply(*copy);
  return copy;
}

// ---- Phonebook ----------------------------------------------------------------------------------

void PhonebookPage::Load(const CDialerSettings& d) {
  m_base.clear();
  m_status.clear();
  for (const auto& p : d.GetProfileList()) {
    auto copy = Clone(*p);
    m_status[copy->Name] = copy->GetStatusText();
    m_base[copy->Name] = std::move(copy);
  }
  const auto rows = Rows();
  if (selected && *selected >= rows.size()) selected.reset();
}

std::vector<PhonebookPage::Row> PhonebookPage::Rows() const {
  std::map<CString, std::shared_ptr<CDialerProfileSettings>> shown = m_base;
  for (const auto& [name, p] : m_changes) {
    if (p)
      shown[name] = p;
    else
      shown.erase(name);
  }
  std::vector<Row> out;
  for (const auto& [name, p] : shown) {
    auto it = m_status.find(name);
    out.push_back({name, p->GetDescription(), it == m_status.end() ? CString() : it->second});
  }
  return out;
}

std::vector<CString> PhonebookPage::Names() const {
  std::vector<CString> out;
  for (const Row& r : Rows()) out.push_back(r.name);
  return out;
}

std::shared_ptr<CDialerProfileSettings> PhonebookPage::ProfileAt(size_t row) const {
  const auto rows = Rows();
  if (row >= rows.size()) return nullptr;
  const CString& name = rows[row].name;
  auto it = m_changes.find(name);
  const auto& p = it != m_changes.end() ? it->second : m_base.at(name);
  return Clone(*p);
}

void PhonebookPage::Put(std::shared_ptr<CDialerProfileSettings> profile) {
  if (!profile) return;
  const CString name = profile->Name;
  m_changes[name] = std::move(profile);
}

void PhonebookPage::Remove(size_t row) {
  const auto rows = Rows();
  if (row >= rows.size()) return;
  m_changes[rows[row].name] = nullptr;
  selected.reset();
}

bool PhonebookPage::SetStatus(const CString& name, const CString& text) {
  const auto names = Names();
  if (std::find(names.begin(), names.end(), name) == names.end()) return false;
  m_status[name] = text;
  return true;
}

ControlStates PhonebookPage::States() const {
  ControlStates st;
  const bool row = selected && *selected < Rows().size();
  st[DIALER_PHONEBOOK_REMOVE].enabled = row;
  // Dial and Reset go to the engine: nothing to send them over while off line.
  st[DIALER_PHONEBOOK_DIAL].enabled = row && online;
  st[DIALER_PHONEBOOK_RESET].enabled = row && online;
  return st;
}

void PhonebookPage::Apply(CDialerSettings& d) const {
  for (const auto& [name, p] : m_changes) {
    if (!p) {
      d.RemoveProfile(name);
      continue;
    }
    if (!d.AddProfile(Clone(*p))) throw std::runtime_error("profile name unfit for a key: " + name);
  }
  // The lines shown now: a dialer read back from its archive form keeps no status line, and an
  // edited profile's is the one it had when it was copied.
  for (const auto& [name, text] : m_status)
    if (auto p = d.FindProfileSettings(name)) p->SetStatusText(text);
}

// ---- Local sites --------------------------------------------------------------------------------

void LocalSitesPage::Load(const CDialerSettings& d) {
  if (m_modified) return;
  CLockGuard g(d);
  sites = d.LocalSites;
  selected.reset();
}

ControlStates LocalSitesPage::States() const {
  ControlStates st;
  st[DIALER_SITES_ADD].enabled = !Trim(edit).empty();
  st[DIALER_SITES_REMOVE].enabled = selected && *selected < sites.size();
  return st;
}

bool LocalSitesPage::Add() {
  const CString site = Trim(edit);
  // An empty site would match every destination and so never dial.
  if (site.empty()) return false;
  sites.push_back(site);
  edit.clear();
  m_modified = true;
  return true;
}

void LocalSitesPage::Remove(size_t row) {
  if (row >= sites.size()) return;
  edit = sites[row];
  sites.erase(sites.begin() + static_cast<std::ptrdiff_t>(row));
  selected.reset();
  m_modified = true;
}

void LocalSitesPage::Apply(CDialerSettings& d) const {
  CLockGuard g(d);
  d.LocalSites = sites;
}

// ---- Settings -----------------------------------------------------------------------------------

void DialerSettingsPage::Load(const CDialerSettings& d) {
  CLockGuard g(d);
  loggingEnabled = d.LoggingEnabled != 0;
  logDialing = (d.LogOptions & 1) != 0;
  logDebug = (d.LogOptions & 2) != 0;
  timerInterval = d.TimerInterval;
  rasdialTimeout = d.RasdialTimeout;
  timeBetweenRetries = d.TimeBetweenRetries;
  synchronous = d.UseSynchronousRasdial != 0;
}

ControlStates DialerSettingsPage::States() const {
  ControlStates st;
  st[DIALER_SETTINGS_LOG_DIAL].enabled = loggingEnabled;
  st[DIALER_SETTINGS_LOG_DEBUG].enabled = loggingEnabled;
  return st;
}

bool DialerSettingsPage::ReadNumbers(const CString& timerText, const CString& rasdialTimeoutText,
                                     const CString& retryWaitText, FieldError* error) {
  uint64_t timer = 0, timeout = 0, wait = 0;
  if (!ReadUnsigned(timerText, DIALER_SETTINGS_TIMER, kTimerIntervalMin, kTimerIntervalMax, &timer, error))
    return false;
  if (!ReadUnsigned(rasdialTimeoutText, DIALER_SETTINGS_RASDIAL_TIMEOUT, 0, UINT32_MAX, &timeout, error)) return false;
  if (!ReadUnsigned(retryWaitText, DIALER_SETTINGS_RETRY_WAIT, kRetryWaitMin, kRetryWaitMax, &wait, error))
    return false;
  timerInterval = static_cast<uint32_t>(timer);
  rasdialTimeout = static_cast<uint32_t>(timeout);
  timeBetweenRetries = static_cast<uint32_t>(wait);
  return true;
}

bool DialerSettingsPage::Validate(Prompter& prompter) {
  if (timerInterval < kTimerIntervalMin || timerInterval > kTimerIntervalMax) {
    prompter.Message("Lookout", IntegerRangeText(kTimerIntervalMin, kTimerIntervalMax), EDITOR_MB_EXCLAMATION);
    return false;
  }
  if (timeBetweenRetries < kRetryWaitMin || timeBetweenRetries > kRetryWaitMax) {
    prompter.Message("Lookout", IntegerRangeText(kRetryWaitMin, kRetryWaitMax), EDITOR_MB_EXCLAMATION);
    return false;
  }
  return true;
}

void DialerSettingsPage::Apply(CDialerSettings& d) const {
  CLockGuard g(d);
  d.LoggingEnabled = loggingEnabled ? 1 : 0;
  // Exactly the two checks: no other bit survives.
  d.LogOptions = (logDialing ? 1u : 0u) | (logDebug ? 2u : 0u);
  d.TimerInterval = timerInterval;
  d.RasdialTimeout = rasdialTimeout;
  d.TimeBetweenRetries = timeBetweenRetries;
  d.UseSynchronousRasdial = synchronous ? 1 : 0;
}

// ---- The dialer sheet ---------------------------------------------------------------------------

DialerSheet::DialerSheet(CLookoutClient& client) : m_client(client) {
  phonebook.online = client.IsOnline();
  if (const auto& d = client.Mirrors().dialer) {
    phonebook.Load(*d);
    localSites.Load(*d);
    settings.Load(*d);
  }
}

bool DialerSheet::Available() const { return m_client.Mirrors().dialer != nullptr; }

int DialerSheet::Commit(Prompter& prompter) {
  // The mirror's dialer as it is now: a 62 that replaced it meanwhile is what the edit applies to.
  const std::shared_ptr<CDialerSettings> base = m_client.Mirrors().dialer;
  if (!base) {
    prompter.Message("Lookout", kTextDialerGone, EDITOR_MB_STOP);
    return -1;
  }
  std::vector<PageLogic<CDialerSettings>*> order{&phonebook, &localSites, &settings};
  int refused = -1;
  if (!ValidatePages(order, prompter, &refused)) return refused;
  auto copy = Clone(*base);
  for (auto* page : order) page->Apply(*copy);
  m_client.CommitDialer(copy);
  if (m_client.IsOnline()) m_client.QueueObject(RC_REQ_MODIFY_DIALER, CString(), *copy);
  phonebook.Committed();
  localSites.Committed();
  DialerChanged();
  return static_cast<int>(order.size());
}

uint64_t DialerSheet::Command(const char* what) {
  phonebook.online = m_client.IsOnline();
  const auto rows = phonebook.Rows();
  if (!phonebook.online || !phonebook.selected || *phonebook.selected >= rows.size()) return 0;
  return m_client.Request(RC_REQ_DIAL_OR_HANG_UP, rows[*phonebook.selected].name, what, CString());
}

uint64_t DialerSheet::Dial() { return Command("1"); }
uint64_t DialerSheet::Reset() { return Command("0"); }

void DialerSheet::DialerChanged() {
  phonebook.online = m_client.IsOnline();
  if (const auto& d = m_client.Mirrors().dialer) {
    phonebook.Load(*d);
    localSites.Load(*d);
  }
}

ProfileSheetContext DialerSheet::Context(bool existing) const {
  ProfileSheetContext ctx;
  ctx.existing = existing;
  ctx.takenNames = phonebook.Names();
  if (const auto& d = m_client.Mirrors().dialer) {
    CLockGuard g(*d);
    ctx.phonebook = d->PhonebookEntries;
  }
  ctx.users = m_client.Mirrors().users;
  return ctx;
}

std::unique_ptr<EditProfileSheet> DialerSheet::NewProfileSheet() const {
  return std::make_unique<EditProfileSheet>(nullptr, Context(false));
}

std::unique_ptr<EditProfileSheet> DialerSheet::EditSheet(size_t row) const {
  auto p = phonebook.ProfileAt(row);
  if (!p) return nullptr;
  return std::make_unique<EditProfileSheet>(p.get(), Context(true));
}
