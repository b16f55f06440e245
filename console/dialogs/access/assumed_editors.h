#pragma once
// The Assumed users sheet without a toolkit: the engine gives a client machine its assumed user
// first by the machine's name, then by the first location whose address pattern matches. The
// sheet edits both rules of the console's mirrors (the machine-name map, page By Name, and the
// ordered location table, page By IP Address) and sends them back together (51).
//
// Both pages validate before either writes; the result is built into new objects that replace the
// mirrors only when every check passed, so Cancel or a refusal leaves the mirrors as they were.
// Every row names an existing user (not a group, not a typed name): the engine drops a rule whose
// user is not a user when it next loads, so the rule would vanish at its next restart.
//
// Threads: the user-interface thread, which owns the mirrors.
#include <memory>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "engine/access/location.h"
#include "engine/access/user_db.h"

class CLookoutClient;

// Texts of these editors.
inline constexpr const char* kTitleAssumedUsers = "Assumed Users";
inline constexpr const char* kTitleMachineName = "Machine name";
inline constexpr const char* kTextEnterMachineName = "You must enter a machine name";
// "The machine name \"%s\" is already in the list"
CString DuplicateMachineText(const CString& name);
inline constexpr const char* kTitleAssumedUser = "Assumed user";
inline constexpr const char* kTextChooseUser = "You must choose the user that is assumed";
// "\"%s\" is not a user of this engine"
CString NotAUserText(const CString& name);
inline constexpr const char* kTitleAddressPattern = "Invalid location";
// "The location \"%s\" is not a valid address pattern"
CString BadAddressPatternText(const CString& pattern);

// What the sheet edits: the two mirrors it replaces.
struct AssumedUsers {
  std::shared_ptr<CLocationArray> locations;
  std::shared_ptr<CLockableStringMap> names;
};

// The users (not groups) of the user database, in name order: all a user list offers.
std::vector<CString> AssumableUsers(const CGroupMemberDatabase& db);

// The machine-name dialog: a machine name and the user it is assumed to be.
class NameLocationDialog {
 public:
  enum : int { MACHINE = 1308, USER = 1030 };
  // otherNames: the machine names of the other rows (a name may stand once, in any letter case).
  NameLocationDialog(std::vector<CString> users, std::vector<CString> otherNames, CString machine = CString(),
                     CString user = CString());
  const std::vector<CString>& Users() const { return m_users; }
  // OK: a usable machine name not held by another row, and a user of the list.
  bool Validate(Prompter& prompter) const;

  CString machine, user;

 private:
  std::vector<CString> m_users, m_otherNames;
};

// The location-rule dialog: an address pattern and its user.
class LocationRuleDialog {
 public:
  enum : int { PATTERN = 1029, USER = 1030 };
  LocationRuleDialog(std::vector<CString> users, const CLocation& location);
  const std::vector<CString>& Users() const { return m_users; }
  // OK: a pattern that compiles and a user of the list; then the location takes both (its mask
  // rebuilt). False leaves the location unchanged.
  bool Ok(Prompter& prompter, CLocation& location) const;

  CString pattern, user;

 private:
  std::vector<CString> m_users;
};

// How the pages open their dialogs: the Qt program shows them, tests fill them in. True when the
// dialog ended with an OK that its own check accepted.
class AssumedDialogs {
 public:
  virtual ~AssumedDialogs() = default;
  virtual bool EditNameLocation(NameLocationDialog& dialog) = 0;
  virtual bool EditLocationRule(LocationRuleDialog& dialog, CLocation& location) = 0;
};

struct AssumedRow {
  CString first, user;  // machine name or address pattern; the assumed user
};

class AssumedByNamePage : public PageLogic<AssumedUsers> {
 public:
  enum : int { LIST = 1277, ADD = 1098, REMOVE = 1099 };
  explicit AssumedByNamePage(const CGroupMemberDatabase& db) : m_db(db) {}
  void Load(const AssumedUsers& obj) override;
  ControlStates States() const override;
  // Every row names a user and no machine name stands twice.
  bool Validate(Prompter& prompter) override;
  // The map becomes the rows.
  void Apply(AssumedUsers& obj) const override;

  // Add (appends a row), double click (rewrites the row), Remove. False when nothing changed.
  bool Add(AssumedDialogs& dialogs);
  bool Edit(size_t row, AssumedDialogs& dialogs);
  bool Remove(size_t row);

  std::vector<AssumedRow> rows;
  int selected = -1;

 private:
  std::vector<CString> OtherNames(int except) const;
  const CGroupMemberDatabase& m_db;
};

class AssumedByIPPage : public PageLogic<AssumedUsers> {
 public:
  enum : int { LIST = 1277, ADD = 1098, REMOVE = 1099, UP = 1293, DOWN = 1294 };
  explicit AssumedByIPPage(const CGroupMemberDatabase& db) : m_db(db) {}
  // The working table becomes a copy of the mirror's, in its order (empty positions, which the
  // engine passes over, are left out).
  void Load(const AssumedUsers& obj) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  // The table becomes a copy of the working one.
  void Apply(AssumedUsers& obj) const override;

  // The rows in try order.
  std::vector<AssumedRow> Rows() const;
  bool Add(AssumedDialogs& dialogs);
  bool Edit(size_t row, AssumedDialogs& dialogs);
  bool Remove(size_t row);
  // One place earlier / later; the first row does not move up, the last not down. The selection
  // follows the row.
  bool Up(size_t row);
  bool Down(size_t row);

  int selected = -1;

 private:
  const CGroupMemberDatabase& m_db;
  CLocationArray m_working;
};

// The sheet: By Name, then By IP Address; OK applies them in that order.
class AssumedUsersSheet {
 public:
  AssumedUsersSheet(CLookoutClient& client);
  // OK: both pages validate, both write into new objects, the new objects replace the mirrors
  // and, on-line, go to the engine (51). Returns the page that refused, or -1 when done.
  int Ok(Prompter& prompter);

  AssumedByNamePage byName;
  AssumedByIPPage byIP;

 private:
  CLookoutClient& m_client;
};
