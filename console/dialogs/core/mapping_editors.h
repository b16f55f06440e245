#pragma once
// The mapping editors without a toolkit: the Mappings page of a port mapping service's sheet (the
// rules in order, edited on a working copy that reaches the service only at the sheet's OK) and
// the Mapping sheet over one rule (Mapping, User and Location pages).
//
// A rule open in the Mapping sheet is edited on a clone: the sheet's OK validates every page
// before any writes, so a refused or cancelled sheet leaves the working copy's rule untouched.
// Location patterns are checked as they are added and again at OK: a pattern that does not
// compile would match no client, or, mistyped into a short mask, every client.
//
// Threads: the user-interface thread, which owns the mirrors.
#include <memory>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "console/dialogs/common/location_lists.h"
#include "console/dialogs/common/principals.h"
#include "console/dialogs/core/service_sheet.h"
#include "engine/proxy/mapping/mapping.h"

// kTitleError, kTextSelectUserOrGroup and the location pattern check are the editors' common ones
// (editor.h).
inline constexpr const char* kMappingSheetTitle = "Mapping Properties";

// The row text of a rule: "Link to host:port by location and user", "... no dependencies",
// then " (disabled)" for a disabled rule.
CString MappingDescription(const CMapping& m);

// The rules of a mapping service, or null for a class without rules.
std::shared_ptr<CMappings> ServiceMappings(const CServiceSettings& s);

// What the Mapping sheet's pages list: the dialer's phonebook entries and the users and groups.
struct MappingSheetContext {
  std::vector<CString> phonebook;
  using Principal = ::Principal;
  std::vector<Principal> principals;
};

// The lists from the console's mirrors: the dialer's phonebook entries (empty until the dialer
// is fetched) and every user and group, by name.
MappingSheetContext MappingContextOf(const CLookoutClient& client);

class MappingServerPage : public PageLogic<CMapping> {
 public:
  enum : int { ENABLED = 1200, HOST = 1201, PORT = 1202, DIALER = 1335, CONNECTOID = 1336 };
  void Load(const CMapping& m) override;
  ControlStates States() const override;
  void Apply(CMapping& m) const override;

  bool enabled = true;
  CString host;
  uint32_t port = 0;
  bool dialerDependent = false;
  CString connectoid;
};

class MappingUserPage : public PageLogic<CMapping> {
 public:
  enum : int { EVERYONE = 1105, SPECIFY = 1106, NAME = 1000, LIST = 1099 };
  void Load(const CMapping& m) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  void Apply(CMapping& m) const override;
  // A row of the user and group list chosen: its name goes into the edit.
  void Select(const MappingSheetContext& ctx, size_t row);

  bool specify = false;
  CString name;
};

class MappingLocationPage : public PageLogic<CMapping>, public LocationLists {
 public:
  void Load(const CMapping& m) override;
  ControlStates States() const override { return ListStates(); }
  // Every listed pattern must compile (the lists are written even with "from everywhere").
  bool Validate(Prompter& prompter) override;
  void Apply(CMapping& m) const override;
};

class MappingSheet {
 public:
  // A rule to edit (existing) or a fresh one; the sheet works on its own clone either way.
  MappingSheet(const CMapping& mapping, bool existing, MappingSheetContext ctx = {});

  bool Existing() const { return m_existing; }
  const MappingSheetContext& Context() const { return m_ctx; }
  // OK: Mapping, User and Location validate in that order, then write into the sheet's copy.
  // Returns the edited copy, or null when a page refused (*refused: 0, 1 or 2).
  std::shared_ptr<CMapping> Ok(Prompter& prompter, int* refused = nullptr);

  MappingServerPage server;
  MappingUserPage user;
  MappingLocationPage location;

 private:
  std::shared_ptr<CMapping> m_copy;
  bool m_existing;
  MappingSheetContext m_ctx;
};

// MappingsPage, the service sheet's page over these rules, is declared in service_sheet.h.
