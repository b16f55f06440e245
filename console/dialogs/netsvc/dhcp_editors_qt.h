#pragma once
// The DHCP editors' Qt windows: the service sheet's DHCP Mode and DHCP Settings pages, Scope
// Properties, Reservation, DHCP Options and the option-type editors ("Edit DHCP Option"). Each
// control's object name is its id; values, rules and checks are in dhcp_editors.h. The dialogs
// are modal and each opens the next through QtDHCPDialogs.
#include <QDialog>

#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/netsvc/dhcp_editors.h"

class QLineEdit;
class QListWidget;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

// Opens the DHCP dialogs modal over parent.
class QtDHCPDialogs : public DHCPDialogs {
 public:
  QtDHCPDialogs(QWidget* parent, Prompter& prompter) : m_parent(parent), m_prompter(prompter) {}
  bool EditOption(CDHCPOption& option) override;
  bool EditOptions(CDHCPOptionsContainer& options) override;
  bool EditScope(CDHCPScope& scope, const std::vector<CIPRange>& others) override;
  bool EditReservation(CDHCPReservation& reservation, const std::vector<CString>& taken,
                       const std::vector<CIPRange>& scopes) override;

 private:
  QWidget* m_parent;
  Prompter& m_prompter;
};

// One of the five editors, by the option's type.
class DHCPOptionEditorDialog : public QDialog {
  Q_OBJECT

 public:
  DHCPOptionEditorDialog(const CDHCPOption& option, Prompter& prompter, QWidget* parent = nullptr);
  DHCPOptionEditorLogic& Logic() { return m_logic; }
  void accept() override;

 private:
  void Store();
  void RefillList();
  DHCPOptionEditorLogic m_logic;
  Prompter& m_prompter;
  QLineEdit* m_value = nullptr;
  QLineEdit* m_listEdit = nullptr;
  QListWidget* m_list = nullptr;
};

// "DHCP Options" over a container the caller owns (a copy it keeps only on OK).
class DHCPOptionsDialog : public QDialog {
  Q_OBJECT

 public:
  DHCPOptionsDialog(CDHCPOptionsContainer& options, Prompter& prompter, QWidget* parent = nullptr);
  DHCPOptionsLogic& Logic() { return m_logic; }

 private:
  void Refill(int selectCode);
  void Describe(QListWidget* list);
  void EditSelected();
  DHCPOptionsLogic m_logic;
  QtDHCPDialogs m_dialogs;
  QListWidget *m_available, *m_inUse;
};

class ScopeDialog : public QDialog {
  Q_OBJECT

 public:
  ScopeDialog(const CDHCPScope& scope, const std::vector<CIPRange>& others, Prompter& prompter,
              QWidget* parent = nullptr);
  ScopeDialogLogic& Logic() { return m_logic; }
  void accept() override;

 private:
  void Store();
  void Load();
  ScopeDialogLogic m_logic;
  Prompter& m_prompter;
  QtDHCPDialogs m_dialogs;
  QListWidget* m_exclusions;
};

class ReservationDialog : public QDialog {
  Q_OBJECT

 public:
  ReservationDialog(const CDHCPReservation& reservation, const std::vector<CString>& taken,
                    const std::vector<CIPRange>& scopes, Prompter& prompter, QWidget* parent = nullptr);
  ReservationDialogLogic& Logic() { return m_logic; }
  void accept() override;

 private:
  ReservationDialogLogic m_logic;
  Prompter& m_prompter;
  QtDHCPDialogs m_dialogs;
};
