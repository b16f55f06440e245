#pragma once
// The user and group editors without a toolkit: the Edit User sheet's four pages and its OK
// (the user request, then the membership requests of the groups whose members changed), the
// Confirm Password check, and the Edit Group and New Group dialogs.
//
// Pages edit values; the sheet's OK validates every page, writes them into a clone of the
// mirror's user and commits the clone (editor.h). Group memberships are direct ones: a page shows
// a group as held when the group lists the user itself, and moving it changes exactly that entry.
//
// Threads: the user-interface thread, which owns the mirrors.
#include <optional>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "engine/access/user_db.h"

class CLookoutClient;

// Texts of these editors.
inline constexpr const char* kTitleUserNameConflict = "User name conflict";
inline constexpr const char* kTextChooseAnotherUserName = "You must choose another username";
inline constexpr const char* kTextGroupNameNotUnique =
    "You must choose a Group Name that is unique\namongst all user names and group names";
inline constexpr const char* kTextPasswordsDoNotMatch =
    "Passwords do not match\n\nMake sure you specify the same\npassword and confirmed password";
inline constexpr const char* kTitleNewUser = "Properties for new user";
inline constexpr const char* kBuiltInUsersGroup = "Users";

// The sub-dialogs of these editors.
class UserDialogs {
 public:
  virtual ~UserDialogs() = default;
  // Confirm Password preset with the typed password: the confirmed password, or nothing on Cancel.
  virtual std::optional<CString> ConfirmPassword(const CString& typed) = 0;
};

// Confirm Password's OK: closes only when both texts are equal, otherwise it beeps.
bool AcceptConfirmPassword(const CString& password, const CString& confirm, Prompter& prompter);

// ---- Edit User sheet pages ------------------------------------------------------------------------

class UserInfoPage : public PageLogic<CUser> {
 public:
  enum : int {
    NAME = 1021,
    REAL_NAME = 1025,
    PASSWORD = 1020,
    CONFIRM = 1008,
    DESCRIPTION = 1002,
    ACCOUNT_ENABLED = 1019,
    CANNOT_CHANGE = 1015,
    MUST_CHANGE = 1016
  };
  UserInfoPage(const CGroupMemberDatabase& db, bool existing, UserDialogs& dialogs)
      : m_db(db), m_existing(existing), m_dialogs(dialogs) {}
  void Load(const CUser& user) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  void Apply(CUser& user) const override;

  CString name, realName, password, confirm, description;
  bool accountEnabled = true, cannotChange = false, mustChange = false;

 private:
  const CGroupMemberDatabase& m_db;
  bool m_existing;
  UserDialogs& m_dialogs;
  // The mirror's user carries no password (the engine never sends it): an untouched field keeps it.
  bool m_passwordHidden = false;
};

struct GroupRow {
  CString name, description;
};

class UserGroupsPage : public PageLogic<CUser> {
 public:
  enum : int { MEMBER_OF = 1043, NOT_MEMBER_OF = 1045 };
  UserGroupsPage(const CGroupMemberDatabase& db, bool existing) : m_db(db), m_existing(existing) {}
  void Load(const CUser& user) override;
  void Apply(CUser&) const override {}
  // Double click: moves the row to the other list.
  void Move(bool fromMembers, size_t row);

  std::vector<GroupRow> memberOf, notMemberOf;
  bool changed = false;

 private:
  const CGroupMemberDatabase& m_db;
  bool m_existing;
};

// Charges of one counter: rate x truncate(quantity x 10000 / unit) in 1/10000 units, the same
// rounding as the engine's balance. Invalid when the rate is.
CCurrency Charge(const CCurrency& rate, uint64_t quantity, uint64_t unit);

class AccountingPage : public PageLogic<CUser> {
 public:
  // Rows: client send, client receive, non-client send, non-client receive, time on line.
  static constexpr int kRows = 5;
  static constexpr int kQuantity[kRows] = {1044, 1045, 1046, 1047, 1056};
  static constexpr int kRate[kRows] = {1048, 1050, 1052, 1054, 1057};
  static constexpr int kSubtotal[kRows] = {1049, 1051, 1053, 1055, 1058};
  enum : int { TOTAL = 1059, OPENING = 1061, CLOSING = 1062, RESET = 1060 };

  void Load(const CUser& user) override;
  // A counter update of the user: fields the operator has not changed take the new values.
  void Refresh(const CUser& user);
  void Apply(CUser& user) const override;
  // Reset: quantities and opening balance to 0, in the page only.
  void Reset();
  // Subtotals, total and closing balance from the values.
  void Recompute();

  uint64_t quantity[kRows] = {};
  CCurrency rate[kRows];
  CCurrency opening;
  // Computed, shown read-only.
  CCurrency subtotal[kRows];
  CCurrency total, closing;

 private:
  // What was loaded, so that only what the operator changed is written back: the engine credits
  // traffic while the page is open.
  uint64_t m_loadedQuantity[kRows] = {};
  CCurrency m_loadedRate[kRows];
  CCurrency m_loadedOpening;
  bool m_reset = false;
};

class AuditingPage : public PageLogic<CUser> {
 public:
  enum : int { DO_NOT_AUDIT = 1084, AUDIT = 1085 };
  // Check box -> AuditOptions bit.
  static constexpr std::pair<int, uint32_t> kBits[] = {{1090, 1},  {1093, 2},  {1091, 4},  {1089, 8},
                                                       {1086, 16}, {1088, 32}, {1092, 64}, {1087, 256}};
  void Load(const CUser& user) override;
  ControlStates States() const override;
  void Apply(CUser& user) const override;

  bool audit = false;
  uint32_t options = 0;
};

// The Edit User sheet over one user of the mirror (or a new one).
class EditUserSheet {
 public:
  // An empty name (or one the mirror does not hold as a user) edits a new user.
  EditUserSheet(CLookoutClient& client, const CString& userName, UserDialogs& dialogs);
  bool Existing() const { return m_existing; }
  const CString& UserName() const { return m_user->Name; }
  // "Properties for user %s" or "Properties for new user".
  CString Title() const;
  // A notification about the user: Accounting takes the mirror's counters.
  void CountersChanged();

  // OK: validate and write in the order User Info, Groups, Accounting, Auditing; commit the user
  // into the mirror and, on-line, send it (24 or 22); then the groups whose membership changed
  // (27 each). Returns the page (add order) that refused, or -1 when done.
  int Ok(Prompter& prompter);

  UserInfoPage info;
  UserGroupsPage groups;
  AccountingPage accounting;
  AuditingPage auditing;

 private:
  CLookoutClient& m_client;
  bool m_existing;
  std::shared_ptr<CUser> m_user;  // the mirror's user (never changed here) or the new one
};

// ---- Groups -------------------------------------------------------------------------------------

struct UserRow {
  CString name, realName, description;
};

// Edit Group (existing: the name is shown only) and New Group.
class GroupDialog {
 public:
  enum : int { NAME = 1035, DESCRIPTION = 1036, MEMBERS = 1038, NON_MEMBERS = 1037, ADD = 4, REMOVE = 3 };
  // An empty groupName: a new group.
  GroupDialog(CLookoutClient& client, const CString& groupName);
  bool Existing() const { return m_existing; }
  ControlStates States() const;
  // Add / Remove / double click.
  void Move(bool fromMembers, size_t row);
  // OK: true when done (committed, and sent on-line: 27 for an existing group, 25 for a new one).
  bool Ok(Prompter& prompter);

  CString name, description;
  std::vector<UserRow> members, nonMembers;

 private:
  CLookoutClient& m_client;
  bool m_existing;
};
