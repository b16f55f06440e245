#include "console/dialogs/access/user_editors.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "console/model/console_texts.h"
#include "console/model/lookout_client.h"
#include "engine/remote/rc_codes.h"

namespace {

// What a user from the engine carries in place of its password (the engine keeps the one it has
// when it receives this back).
const CString kHiddenPassword(1, '\0');

// A name held by any user or group, in any letter case: the engine's store knows names without
// their case, so a second spelling would address the same key.
std::shared_ptr<CFilterComponent> FindAnyCase(const CGroupMemberDatabase& db, const CString& name) {
  std::shared_ptr<CFilterComponent> found;
  db.ForEach([&](const CString& key, const std::shared_ptr<CObject>& obj) {
    if (!found && key.size() == name.size() && strcasecmp(key.c_str(), name.c_str()) == 0)
      found = std::dynamic_pointer_cast<CFilterComponent>(obj);
  });
  return found;
}

template <class T>
std::vector<std::shared_ptr<T>> All(const CGroupMemberDatabase& db) {
  std::vector<std::shared_ptr<T>> out;
  db.ForEach([&](const CString&, const std::shared_ptr<CObject>& obj) {
    if (auto t = std::dynamic_pointer_cast<T>(obj)) out.push_back(t);
  });
  return out;
}

template <class Row>
void MoveRow(std::vector<Row>& from, std::vector<Row>& to, size_t row) {
  if (row >= from.size()) return;
  to.push_back(from[row]);
  from.erase(from.begin() + static_cast<std::ptrdiff_t>(row));
}

}  // namespace

bool AcceptConfirmPassword(const CString& password, const CString& confirm, Prompter& prompter) {
  if (password == confirm) return true;
  prompter.Beep();
  return false;
}

// ---- User Info ------------------------------------------------------------------------------------

void UserInfoPage::Load(const CUser& user) {
  name = user.Name;
  realName = user.RealName;
  description = user.Description;
  m_passwordHidden = user.Password == kHiddenPassword;
  password = m_passwordHidden ? CString() : user.Password;
  confirm = password;
  accountEnabled = user.AccountEnabled != 0;
  cannotChange = user.UserCannotChangePassword != 0;
  mustChange = user.UserMustChangePassword != 0;
}

ControlStates UserInfoPage::States() const {
  ControlStates s;
  s[NAME].enabled = !m_existing;
  s[CANNOT_CHANGE].enabled = !mustChange;
  s[MUST_CHANGE].enabled = !cannotChange;
  return s;
}

bool UserInfoPage::Validate(Prompter& prompter) {
  if (password != confirm) {
    // Cancel keeps the page: storing a password typed once would lock the user out on a typo.
    std::optional<CString> confirmed = m_dialogs.ConfirmPassword(password);
    if (!confirmed) return false;
    password = confirm = *confirmed;
  }
  if (!m_existing) {
    if (!CheckObjectName(name, prompter)) return false;
    // A group of that name counts too: users and groups share one name space in the engine.
    if (FindAnyCase(m_db, name)) {
      prompter.Message(kTitleUserNameConflict, kTextChooseAnotherUserName, EDITOR_MB_STOP);
      return false;
    }
  }
  return true;
}

void UserInfoPage::Apply(CUser& user) const {
  if (!m_existing) user.Name = name;
  user.RealName = realName;
  user.Description = description;
  // An untouched field of a user whose password the console never saw keeps the engine's.
  if (!(m_passwordHidden && password.empty())) user.Password = password;
  user.AccountEnabled = accountEnabled;
  user.UserCannotChangePassword = cannotChange;
  user.UserMustChangePassword = mustChange;
}

// ---- Groups ---------------------------------------------------------------------------------------

void UserGroupsPage::Load(const CUser& user) {
  memberOf.clear();
  notMemberOf.clear();
  changed = false;
  for (const auto& g : All<CGroup>(m_db)) {
    GroupRow row{g->Name, g->Description};
    // Direct membership: what the page moves is what the group lists.
    const bool member = m_existing && g->HasMember(user.Name);
    (member ? memberOf : notMemberOf).push_back(row);
  }
  if (!m_existing) {
    auto it = std::find_if(notMemberOf.begin(), notMemberOf.end(),
                           [](const GroupRow& r) { return r.name == kBuiltInUsersGroup; });
    if (it != notMemberOf.end()) {
      memberOf.push_back(*it);
      notMemberOf.erase(it);
    }
    changed = true;
  }
}

void UserGroupsPage::Move(bool fromMembers, size_t row) {
  if (fromMembers)
    MoveRow(memberOf, notMemberOf, row);
  else
    MoveRow(notMemberOf, memberOf, row);
  changed = true;
}

// ---- Accounting -----------------------------------------------------------------------------------

CCurrency Charge(const CCurrency& rate, uint64_t quantity, uint64_t unit) {
  if (!rate.IsValid()) return CCurrency::Invalid();
  const __int128 units = static_cast<__int128>(quantity) * 10000 / unit;
  const __int128 charge = static_cast<__int128>(rate.GetUnits()) * units / 10000;
  if (charge > INT64_MAX || charge < INT64_MIN) return CCurrency::Invalid();
  return CCurrency::FromUnits(static_cast<int64_t>(charge));
}

static uint64_t Counter(const CUser& u, int row) {
  switch (row) {
    case 0: return u.ClientSendTraffic;
    case 1: return u.ClientRecvTraffic;
    case 2: return u.NonClientSendTraffic;
    case 3: return u.NonClientRecvTraffic;
    default: return u.TimeOnLine;
  }
}
static uint64_t& Counter(CUser& u, int row) {
  switch (row) {
    case 0: return u.ClientSendTraffic;
    case 1: return u.ClientRecvTraffic;
    case 2: return u.NonClientSendTraffic;
    case 3: return u.NonClientRecvTraffic;
    default: return u.TimeOnLine;
  }
}
static const CCurrency& Rate(const CUser& u, int row) {
  const CCurrency* r[] = {&u.ClientSendTrafficRate, &u.ClientRecvTrafficRate, &u.NonClientSendTrafficRate,
                          &u.NonClientRecvTrafficRate, &u.TimeRate};
  return *r[row];
}
static CCurrency& Rate(CUser& u, int row) { return const_cast<CCurrency&>(Rate(static_cast<const CUser&>(u), row)); }

void AccountingPage::Load(const CUser& user) {
  for (int i = 0; i < kRows; ++i) {
    quantity[i] = m_loadedQuantity[i] = Counter(user, i);
    rate[i] = m_loadedRate[i] = Rate(user, i);
  }
  opening = m_loadedOpening = user.OpeningBalance;
  m_reset = false;
  Recompute();
}

void AccountingPage::Refresh(const CUser& user) {
  for (int i = 0; i < kRows; ++i) {
    if (!m_reset && quantity[i] == m_loadedQuantity[i]) quantity[i] = m_loadedQuantity[i] = Counter(user, i);
    if (rate[i] == m_loadedRate[i]) rate[i] = m_loadedRate[i] = Rate(user, i);
  }
  if (!m_reset && opening == m_loadedOpening) opening = m_loadedOpening = user.OpeningBalance;
  Recompute();
}

void AccountingPage::Reset() {
  for (uint64_t& q : quantity) q = 0;
  opening = CCurrency::FromUnits(0);
  m_reset = true;
  Recompute();
}

void AccountingPage::Recompute() {
  total = CCurrency::FromUnits(0);
  for (int i = 0; i < kRows; ++i) {
    subtotal[i] = Charge(rate[i], quantity[i], i == kRows - 1 ? 3600 : 1048576);
    total = total + subtotal[i];
  }
  closing = opening - total;
}

void AccountingPage::Apply(CUser& user) const {
  // Only what the operator changed: a counter written back as loaded would undo the traffic the
  // engine credited since.
  bool any = false;
  for (int i = 0; i < kRows; ++i) {
    if (m_reset || quantity[i] != m_loadedQuantity[i]) {
      Counter(user, i) = quantity[i];
      any = true;
    }
    if (rate[i] != m_loadedRate[i]) {
      Rate(user, i) = rate[i];
      any = true;
    }
  }
  if (m_reset || opening != m_loadedOpening) {
    user.OpeningBalance = opening;
    any = true;
  }
  if (any) user.UpdateBalance();
}

// ---- Auditing -------------------------------------------------------------------------------------

void AuditingPage::Load(const CUser& user) {
  audit = user.AuditUser != 0;
  options = user.AuditOptions;
}

ControlStates AuditingPage::States() const {
  ControlStates s;
  for (const auto& [id, bit] : kBits) s[id].enabled = audit;
  return s;
}

void AuditingPage::Apply(CUser& user) const {
  user.AuditUser = audit ? 1 : 0;
  user.AuditOptions = options;
}

// ---- Edit User sheet ------------------------------------------------------------------------------

static std::shared_ptr<CUser> SheetUser(CLookoutClient& client, const CString& name) {
  if (auto u = name.empty() ? nullptr : client.Mirrors().users->FindUser(name)) return u;
  return std::make_shared<CUser>();
}

EditUserSheet::EditUserSheet(CLookoutClient& client, const CString& userName, UserDialogs& dialogs)
    : info(*client.Mirrors().users, !userName.empty() && client.Mirrors().users->FindUser(userName) != nullptr,
           dialogs),
      groups(*client.Mirrors().users, !userName.empty() && client.Mirrors().users->FindUser(userName) != nullptr),
      m_client(client),
      m_existing(!userName.empty() && client.Mirrors().users->FindUser(userName) != nullptr),
      m_user(SheetUser(client, userName)) {
  info.Load(*m_user);
  groups.Load(*m_user);
  accounting.Load(*m_user);
  auditing.Load(*m_user);
}

CString EditUserSheet::Title() const {
  return m_existing ? "Properties for user " + m_user->Name : CString(kTitleNewUser);
}

void EditUserSheet::CountersChanged() {
  if (!m_existing) return;
  if (auto u = m_client.Mirrors().users->FindUser(m_user->Name)) accounting.Refresh(*u);
}

int EditUserSheet::Ok(Prompter& prompter) {
  // Against the mirror's current user: a notification may have replaced it while the sheet was
  // open, and its newer counters must not be undone.
  std::shared_ptr<CUser> base = m_existing ? m_client.Mirrors().users->FindUser(m_user->Name) : m_user;
  if (!base) {
    // Deleted meanwhile (another console): nothing left to change.
    prompter.Message(kTitleLookout, "This user no longer exists.", EDITOR_MB_STOP);
    return 0;
  }
  int refused = -1;
  std::vector<PageLogic<CUser>*> order{&info, &groups, &accounting, &auditing};
  std::shared_ptr<CUser> copy = m_existing
                                    ? ValidateAndApply(order, *base, prompter, &refused)
                                    : ValidateAndApplyNew(order, std::make_shared<CUser>(*base), prompter, &refused);
  if (!copy) return refused;

  const CString name = copy->Name;
  const bool online = m_client.IsOnline();
  if (online) {
    // The request takes its own snapshot of the object now; nothing the sheet holds is handed over.
    m_client.QueueObject(m_existing ? RC_REQ_MODIFY_USER : RC_REQ_ADD_USER, name, *copy);
    // The engine keeps the password; the mirror holds what the engine would send.
    copy->Password = kHiddenPassword;
  }
  // Off-line the mirror keeps the new user too, so the edit is not lost.
  if (!m_client.CommitUserObject(copy, m_existing ? RC_NOTIFY_USER_CHANGED : RC_NOTIFY_USER_ADDED)) {
    prompter.Message(kTitleLookout, "The user could not be entered.", EDITOR_MB_STOP);
    return 0;
  }

  if (groups.changed) {
    auto change = [&](const GroupRow& row, bool member) {
      auto group = m_client.Mirrors().users->FindGroup(row.name);
      if (!group || group->HasMember(name) == member) return;
      auto g = Clone(*group);
      if (member)
        g->AddMember(name, CGroup::kUser);
      else
        g->RemoveMember(name);
      if (online) m_client.QueueObject(RC_REQ_MODIFY_GROUP, g->Name, *g);
      m_client.CommitUserObject(g, RC_NOTIFY_GROUP_CHANGED);
    };
    for (const GroupRow& row : groups.memberOf) change(row, true);
    for (const GroupRow& row : groups.notMemberOf) change(row, false);
  }
  return -1;
}

// ---- Groups ---------------------------------------------------------------------------------------

// The engine puts Administrator back into Administrators whenever it loads the group.
static bool Pinned(const CString& group, const CString& user) {
  return group == "Administrators" && user == "Administrator";
}

GroupDialog::GroupDialog(CLookoutClient& client, const CString& groupName) : m_client(client) {
  auto group = groupName.empty() ? nullptr : client.Mirrors().users->FindGroup(groupName);
  m_existing = group != nullptr;
  if (group) {
    name = group->Name;
    description = group->Description;
  }
  for (const auto& u : All<CUser>(*client.Mirrors().users)) {
    UserRow row{u->Name, u->RealName, u->Description};
    (group && group->HasMember(u->Name) ? members : nonMembers).push_back(row);
  }
}

ControlStates GroupDialog::States() const {
  ControlStates s;
  s[NAME].enabled = !m_existing;
  return s;
}

void GroupDialog::Move(bool fromMembers, size_t row) {
  if (fromMembers) {
    if (row < members.size() && Pinned(name, members[row].name)) return;
    MoveRow(members, nonMembers, row);
  } else {
    MoveRow(nonMembers, members, row);
  }
}

bool GroupDialog::Ok(Prompter& prompter) {
  const CGroupMemberDatabase& db = *m_client.Mirrors().users;
  std::shared_ptr<CGroup> g;
  if (m_existing) {
    auto group = db.FindGroup(name);
    if (!group) {
      prompter.Message(kTitleLookout, "This group no longer exists.", EDITOR_MB_STOP);
      return true;
    }
    g = Clone(*group);
  } else {
    if (!CheckObjectName(name, prompter)) return false;
    if (FindAnyCase(db, name)) {
      prompter.Message(kTitleLookout, kTextGroupNameNotUnique, EDITOR_MB_STOP);
      return false;
    }
    g = std::make_shared<CGroup>(name, description);
  }
  g->Description = description;
  // Users only: member groups are not shown and stay as they are.
  for (const UserRow& r : members)
    if (db.FindUser(r.name)) g->AddMember(r.name, CGroup::kUser);
  for (const UserRow& r : nonMembers)
    if (g->HasMember(r.name)) g->RemoveMember(r.name);
  if (m_client.IsOnline()) m_client.QueueObject(m_existing ? RC_REQ_MODIFY_GROUP : RC_REQ_ADD_GROUP, g->Name, *g);
  if (!m_client.CommitUserObject(g, m_existing ? RC_NOTIFY_GROUP_CHANGED : RC_NOTIFY_GROUP_ADDED)) {
    prompter.Message(kTitleLookout, "The group could not be entered.", EDITOR_MB_STOP);
  }
  return true;
}
