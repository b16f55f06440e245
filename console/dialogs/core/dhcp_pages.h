#pragma once
// The service sheet's DHCP Mode and DHCP Settings pages without a toolkit: the server's mode and
// automatic options, and the tree of interfaces, scopes and reservations whose commands open the
// DHCP editors (dialogs/netsvc/dhcp_editors.h).
//
// The Settings page holds a clone of the service's database made by an archive round trip, so it
// has no address host: the database's lease side effects (a reserved lease for a new reservation,
// leases dropped with a scope) never run in the console. The clone goes back into the service's
// own clone at the sheet's OK, and reaches the engine with the service (34 or 32).
//
// Threads: the user-interface thread only.
#include <memory>
#include <vector>

#include "console/dialogs/core/service_sheet.h"
#include "console/dialogs/netsvc/dhcp_editors.h"
#include "engine/netsvc/dhcp/dhcp_database.h"

// ---- The service sheet's pages ---------------------------------------------------------------------

class DHCPModePage : public ServicePage {
 public:
  enum : int {
    AUTOMATIC = 1560,
    SEMI = 1561,
    MANUAL = 1562,
    CREATE_SCOPES = 1563,
    ASSIGN_GATEWAY = 1564,
    ASSIGN_DNS = 1565
  };
  static constexpr std::pair<int, uint32_t> kBits[] = {{CREATE_SCOPES, CDHCPDatabase::AUTO_CREATE_SCOPES},
                                                       {ASSIGN_GATEWAY, CDHCPDatabase::AUTO_ROUTER},
                                                       {ASSIGN_DNS, CDHCPDatabase::AUTO_DNS}};
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  void Apply(CServiceSettings& s) const override;

  uint32_t mode = CDHCPDatabase::MODE_AUTOMATIC;
  uint32_t autoOptions = 0;
};

// One item of the Settings page's tree.
enum : int { DHCP_ITEM_INTERFACE = 1, DHCP_ITEM_SCOPE = 2, DHCP_ITEM_RESERVATION = 3, DHCP_ITEM_GLOBAL = 4 };
struct DHCPTreeItem {
  int kind = 0;
  CString text;
  CString interfaceName;  // interface items
  uint32_t scopeId = 0;   // scopes; a reservation's scope
  CString address;        // reservations
  std::vector<DHCPTreeItem> children;
};

class DHCPSettingsPage : public ServicePage {
 public:
  enum : int { TREE = 1570, NEW_SCOPE = 1571, NEW_RESERVATION = 1572, DELETE = 1573, PROPERTIES = 1574 };
  // Menus by the kind of item: 147 on a scope, 146 on the others.
  enum : int { MENU_SCOPE = 147, MENU_OTHER = 146 };

  // bindings: the sheet's Bindings page, whose current choice names the interfaces served.
  DHCPSettingsPage(const ServiceSheetContext& ctx, const BindingsPage& bindings)
      : ServicePage(ctx), m_bindings(bindings) {}
  void Load(const CServiceSettings& s) override;
  void Apply(CServiceSettings& s) const override;

  // Interfaces (the bound ones, then any other a scope names), each with its scopes and their
  // reservations; "Global Options" last.
  std::vector<DHCPTreeItem> Tree() const;
  // The commands a selected item allows.
  ControlStates States(const DHCPTreeItem* selected) const;

  // The commands on the selected item. Each returns true when the configuration changed.
  bool NewScope(const DHCPTreeItem& selected, DHCPDialogs& dialogs);
  bool NewReservation(const DHCPTreeItem& selected, DHCPDialogs& dialogs);
  bool Delete(const DHCPTreeItem& selected);
  bool Properties(const DHCPTreeItem& selected, DHCPDialogs& dialogs);

  const CDHCPDatabase& Database() const { return *m_db; }

 private:
  std::vector<CString> Interfaces() const;
  std::vector<CString> TakenAddresses(const CString& except) const;
  // The ranges of every scope but the one numbered except (0: every scope).
  std::vector<CIPRange> ScopeRanges(uint32_t except) const;
  const BindingsPage& m_bindings;
  std::shared_ptr<CDHCPDatabase> m_db;
};
