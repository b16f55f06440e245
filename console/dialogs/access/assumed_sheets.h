#pragma once
// The Qt windows of the assumed-user editors: the Assumed users sheet with its By Name and By IP
// Address pages, and the machine-name and location-rule dialogs. Each control's object name is its
// id; the values, rules and OK live in assumed_editors.h.
#include <QDialog>
#include <memory>

#include "console/dialogs/access/assumed_editors.h"
#include "console/dialogs/common/tab_sheet.h"

class QComboBox;
class QLineEdit;

// The machine-name dialog: 1308 machine name, 1030 user (a list of the users, nothing typed).
class NameLocationQtDialog : public QDialog {
  Q_OBJECT

 public:
  NameLocationQtDialog(NameLocationDialog& logic, Prompter& prompter, QWidget* parent = nullptr);
  void accept() override;

 private:
  NameLocationDialog& m_logic;
  Prompter& m_prompter;
  QLineEdit* m_machine;
  QComboBox* m_user;
};

// The location-rule dialog: 1029 address pattern, 1030 user.
class LocationRuleQtDialog : public QDialog {
  Q_OBJECT

 public:
  LocationRuleQtDialog(LocationRuleDialog& logic, CLocation& location, Prompter& prompter, QWidget* parent = nullptr);
  void accept() override;

 private:
  LocationRuleDialog& m_logic;
  CLocation& m_location;
  Prompter& m_prompter;
  QLineEdit* m_pattern;
  QComboBox* m_user;
};

// The two dialogs, modal on parent.
class QtAssumedDialogs : public AssumedDialogs {
 public:
  QtAssumedDialogs(Prompter& prompter, QWidget* parent) : m_prompter(prompter), m_parent(parent) {}
  bool EditNameLocation(NameLocationDialog& dialog) override;
  bool EditLocationRule(LocationRuleDialog& dialog, CLocation& location) override;

 private:
  Prompter& m_prompter;
  QWidget* m_parent;
};

class AssumedUsersDialog : public SheetDialog {
  Q_OBJECT

 public:
  // dialogs: null takes the Qt dialogs (tests pass scripted ones).
  AssumedUsersDialog(CLookoutClient& client, Prompter& prompter, AssumedDialogs* dialogs = nullptr,
                     QWidget* parent = nullptr);
  ~AssumedUsersDialog() override;
  AssumedUsersSheet& Logic() { return m_logic; }
  void accept() override;

 private:
  AssumedUsersSheet m_logic;
  Prompter& m_prompter;
  std::unique_ptr<AssumedDialogs> m_ownDialogs;
};
