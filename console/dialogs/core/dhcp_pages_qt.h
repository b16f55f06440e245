#pragma once
// The service sheet's DHCP Mode and DHCP Settings pages with Qt (their logic: dhcp_pages.h). Each
// control's object name is its id; the Settings page opens the DHCP editors through QtDHCPDialogs.
#include <optional>

#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/core/dhcp_pages.h"
#include "console/dialogs/netsvc/dhcp_editors_qt.h"

class QMenu;
class QTreeWidget;

TabPage* NewDHCPModeWidget(DHCPModePage& logic);

// The DHCP Settings page: the tree, its context menus (146, 147), Insert, Delete and double click.
class DHCPSettingsWidget : public TabPage {
  Q_OBJECT

 public:
  DHCPSettingsWidget(DHCPSettingsPage& logic, Prompter& prompter);
  void LoadControls() override { Refill(); }
  QTreeWidget* Tree() const { return m_tree; }
  // The context menu of the selected item (the caller owns it); its actions are named by
  // command id.
  QMenu* BuildMenu();
  // The commands on the selected item.
  void NewScope();
  void NewReservation();
  void DeleteSelected();
  void Properties();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Refill();
  std::optional<DHCPTreeItem> Selected() const;
  DHCPSettingsPage& m_logic;
  QtDHCPDialogs m_dialogs;
  QTreeWidget* m_tree;
};
