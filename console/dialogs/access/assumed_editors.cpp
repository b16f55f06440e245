#include "console/dialogs/access/assumed_editors.h"

#include <strings.h>

#include <algorithm>

#include "console/model/lookout_client.h"
#include "engine/access/filter_component.h"

CString DuplicateMachineText(const CString& name) { return "The machine name \"" + name + "\" is already in the list"; }
CString NotAUserText(const CString& name) { return "\"" + name + "\" is not a user of this engine"; }
CString BadAddressPatternText(const CString& pattern) {
  return "The location \"" + pattern + "\" is not a valid address pattern";
}

std::vector<CString> AssumableUsers(const CGroupMemberDatabase& db) {
  std::vector<CString> names;
  for (const auto& [name, obj] : db.Snapshot())
    if (std::dynamic_pointer_cast<CUser>(obj)) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

bool SameName(const CString& a, const CString& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

bool Holds(const std::vector<CString>& list, const CString& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

// The user of a row: chosen, and a user of the list.
bool CheckUser(const CString& user, const std::vector<CString>& users, Prompter& prompter) {
  if (user.empty()) {
    prompter.Message(kTitleAssumedUser, kTextChooseUser, EDITOR_MB_STOP);
    return false;
  }
  if (!Holds(users, user)) {
    prompter.Message(kTitleAssumedUser, NotAUserText(user), EDITOR_MB_STOP);
    return false;
  }
  return true;
}

}  // namespace

// ---- Dialogs --------------------------------------------------------------------------------------

NameLocationDialog::NameLocationDialog(std::vector<CString> users, std::vector<CString> otherNames, CString m,
                                       CString u)
    : machine(std::move(m)), user(std::move(u)), m_users(std::move(users)), m_otherNames(std::move(otherNames)) {}

bool NameLocationDialog::Validate(Prompter& prompter) const {
  if (machine.empty()) {
    prompter.Message(kTitleMachineName, kTextEnterMachineName, EDITOR_MB_STOP);
    return false;
  }
  // The name is a value name in the engine's registry.
  if (!CheckObjectName(machine, prompter)) return false;
  for (const CString& other : m_otherNames) {
    if (SameName(other, machine)) {
      prompter.Message(kTitleMachineName, DuplicateMachineText(machine), EDITOR_MB_STOP);
      return false;
    }
  }
  return CheckUser(user, m_users, prompter);
}

LocationRuleDialog::LocationRuleDialog(std::vector<CString> users, const CLocation& location)
    : pattern(location.IPFilter.Filter), user(location.Username), m_users(std::move(users)) {}

bool LocationRuleDialog::Ok(Prompter& prompter, CLocation& location) const {
  if (!CIPFilter::IsValidPattern(pattern)) {
    prompter.Message(kTitleAddressPattern, BadAddressPatternText(pattern), EDITOR_MB_STOP);
    return false;
  }
  if (!CheckUser(user, m_users, prompter)) return false;
  if (!location.Set(user, pattern)) {
    prompter.Message(kTitleAddressPattern, BadAddressPatternText(pattern), EDITOR_MB_STOP);
    return false;
  }
  return true;
}

// ---- By Name ------------------------------------------------------------------------------------

void AssumedByNamePage::Load(const AssumedUsers& obj) {
  rows.clear();
  if (obj.names)
    for (const auto& [name, user] : obj.names->Snapshot()) rows.push_back({name, user});
  selected = rows.empty() ? -1 : 0;
}

ControlStates AssumedByNamePage::States() const {
  return {{REMOVE, {selected >= 0 && size_t(selected) < rows.size(), true, std::nullopt}}};
}

std::vector<CString> AssumedByNamePage::OtherNames(int except) const {
  std::vector<CString> names;
  for (size_t i = 0; i < rows.size(); ++i)
    if (static_cast<int>(i) != except) names.push_back(rows[i].first);
  return names;
}

bool AssumedByNamePage::Add(AssumedDialogs& dialogs) {
  NameLocationDialog dlg(AssumableUsers(m_db), OtherNames(-1));
  if (!dialogs.EditNameLocation(dlg)) return false;
  rows.push_back({dlg.machine, dlg.user});
  selected = static_cast<int>(rows.size()) - 1;
  return true;
}

bool AssumedByNamePage::Edit(size_t row, AssumedDialogs& dialogs) {
  if (row >= rows.size()) return false;
  NameLocationDialog dlg(AssumableUsers(m_db), OtherNames(static_cast<int>(row)), rows[row].first, rows[row].user);
  if (!dialogs.EditNameLocation(dlg)) return false;
  rows[row] = {dlg.machine, dlg.user};
  return true;
}

bool AssumedByNamePage::Remove(size_t row) {
  if (row >= rows.size()) return false;
  rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(row));
  selected = rows.empty() ? -1 : std::min<int>(static_cast<int>(row), static_cast<int>(rows.size()) - 1);
  return true;
}

bool AssumedByNamePage::Validate(Prompter& prompter) {
  // Rows from the engine passed the same checks; these catch a user deleted since.
  const std::vector<CString> users = AssumableUsers(m_db);
  for (size_t i = 0; i < rows.size(); ++i) {
    NameLocationDialog check(users, OtherNames(static_cast<int>(i)), rows[i].first, rows[i].user);
    if (!check.Validate(prompter)) {
      selected = static_cast<int>(i);
      return false;
    }
  }
  return true;
}

void AssumedByNamePage::Apply(AssumedUsers& obj) const {
  obj.names->RemoveAll();
  for (const AssumedRow& r : rows) obj.names->SetAt(r.first, r.user);
}

// ---- By IP Address ------------------------------------------------------------------------------

void AssumedByIPPage::Load(const AssumedUsers& obj) {
  m_working.RemoveAll();
  if (obj.locations) {
    CLocationArray copy;
    copy.CopyFrom(*obj.locations);
    for (size_t i = 0; i < copy.GetSize(); ++i)
      if (auto loc = copy.GetLocation(i)) m_working.Add(loc);
  }
  selected = m_working.GetSize() ? 0 : -1;
}

std::vector<AssumedRow> AssumedByIPPage::Rows() const {
  std::vector<AssumedRow> rows;
  for (size_t i = 0; i < m_working.GetSize(); ++i) {
    auto loc = m_working.GetLocation(i);
    rows.push_back({loc->IPFilter.Filter, loc->Username});
  }
  return rows;
}

ControlStates AssumedByIPPage::States() const {
  const size_t n = m_working.GetSize();
  const bool any = selected >= 0 && size_t(selected) < n;
  return {{REMOVE, {any, true, std::nullopt}},
          {UP, {any && selected > 0, true, std::nullopt}},
          {DOWN, {any && size_t(selected) + 1 < n, true, std::nullopt}}};
}

bool AssumedByIPPage::Add(AssumedDialogs& dialogs) {
  if (m_working.GetSize() >= kMaxLocations) return false;
  CLocation fresh;
  LocationRuleDialog dlg(AssumableUsers(m_db), fresh);
  if (!dialogs.EditLocationRule(dlg, fresh)) return false;
  auto loc = std::make_shared<CLocation>();
  loc->CopyFrom(fresh);
  m_working.Add(loc);
  selected = static_cast<int>(m_working.GetSize()) - 1;
  return true;
}

bool AssumedByIPPage::Edit(size_t row, AssumedDialogs& dialogs) {
  auto loc = row < m_working.GetSize() ? m_working.GetLocation(row) : nullptr;
  if (!loc) return false;
  // The dialog works on a copy: Cancel leaves the row as it was.
  CLocation copy(*loc);
  LocationRuleDialog dlg(AssumableUsers(m_db), copy);
  if (!dialogs.EditLocationRule(dlg, copy)) return false;
  loc->CopyFrom(copy);
  return true;
}

bool AssumedByIPPage::Remove(size_t row) {
  auto loc = row < m_working.GetSize() ? m_working.GetLocation(row) : nullptr;
  if (!loc || !m_working.Remove(loc.get())) return false;
  const int n = static_cast<int>(m_working.GetSize());
  selected = n == 0 ? -1 : std::min(static_cast<int>(row), n - 1);
  return true;
}

bool AssumedByIPPage::Up(size_t row) {
  auto loc = row < m_working.GetSize() ? m_working.GetLocation(row) : nullptr;
  if (!loc || !m_working.MoveUp(loc.get())) return false;
  selected = static_cast<int>(row) - 1;
  return true;
}

bool AssumedByIPPage::Down(size_t row) {
  auto loc = row < m_working.GetSize() ? m_working.GetLocation(row) : nullptr;
  if (!loc || !m_working.MoveDown(loc.get())) return false;
  selected = static_cast<int>(row) + 1;
  return true;
}

bool AssumedByIPPage::Validate(Prompter& prompter) {
  const std::vector<CString> users = AssumableUsers(m_db);
  for (size_t i = 0; i < m_working.GetSize(); ++i) {
    auto loc = m_working.GetLocation(i);
    bool ok = CIPFilter::IsValidPattern(loc->IPFilter.Filter);
    if (!ok) prompter.Message(kTitleAddressPattern, BadAddressPatternText(loc->IPFilter.Filter), EDITOR_MB_STOP);
    if (ok) ok = CheckUser(loc->Username, users, prompter);
    if (!ok) {
      selected = static_cast<int>(i);
      return false;
    }
  }
  return true;
}

void AssumedByIPPage::Apply(AssumedUsers& obj) const { obj.locations->CopyFrom(m_working); }

// ---- Sheet --------------------------------------------------------------------------------------

AssumedUsersSheet::AssumedUsersSheet(CLookoutClient& client)
    : byName(*client.Mirrors().users), byIP(*client.Mirrors().users), m_client(client) {
  const AssumedUsers mirrors{client.Mirrors().locations, client.Mirrors().machineNames};
  byName.Load(mirrors);
  byIP.Load(mirrors);
}

int AssumedUsersSheet::Ok(Prompter& prompter) {
  int refused = -1;
  if (!ValidatePages<AssumedUsers>({&byName, &byIP}, prompter, &refused)) return refused;
  AssumedUsers result{std::make_shared<CLocationArray>(), std::make_shared<CLockableStringMap>()};
  byName.Apply(result);
  byIP.Apply(result);
  m_client.PutAssumptions(result.locations, result.names);
  return -1;
}
