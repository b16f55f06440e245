#pragma once
// The Qt windows of the user and group editors: the Edit User sheet and its pages, Confirm
// Password, and the group dialog (Edit Group / New Group). Each control's object name is its id;
// the values, rules and OK live in user_editors.h.
#include <QDialog>
#include <memory>

#include "console/dialogs/access/user_editors.h"
#include "console/dialogs/common/tab_sheet.h"

class QLineEdit;
class QTreeWidget;

// Confirm Password (133): 1001 "Password:", 1024 "Confirm Password:".
class ConfirmPasswordDialog : public QDialog {
  Q_OBJECT

 public:
  ConfirmPasswordDialog(const CString& typed, Prompter& prompter, QWidget* parent = nullptr);
  CString Password() const;
  void accept() override;

 private:
  Prompter& m_prompter;
  QLineEdit* m_password;
  QLineEdit* m_confirm;
};

// Confirm Password through the real dialog.
class QtUserDialogs : public UserDialogs {
 public:
  QtUserDialogs(Prompter& prompter, QWidget* parent) : m_prompter(prompter), m_parent(parent) {}
  std::optional<CString> ConfirmPassword(const CString& typed) override;

 private:
  Prompter& m_prompter;
  QWidget* m_parent;
};

class EditUserDialog : public SheetDialog {
  Q_OBJECT

 public:
  // An empty name: a new user.
  EditUserDialog(CLookoutClient& client, const CString& userName, Prompter& prompter, UserDialogs& dialogs,
                 QWidget* parent = nullptr);
  ~EditUserDialog() override;
  EditUserSheet& Logic() { return *m_logic; }
  // A notification about this user (the accounting figures changed).
  void CountersChanged();
  void accept() override;

 private:
  std::unique_ptr<EditUserSheet> m_logic;
  Prompter& m_prompter;
};

class GroupEditDialog : public QDialog {
  Q_OBJECT

 public:
  // An empty name: New Group.
  GroupEditDialog(CLookoutClient& client, const CString& groupName, Prompter& prompter, QWidget* parent = nullptr);
  GroupDialog& Logic() { return m_logic; }
  void accept() override;

 private:
  void Fill();
  void MoveSelected(bool fromMembers);
  GroupDialog m_logic;
  Prompter& m_prompter;
  QLineEdit* m_name;
  QLineEdit* m_description;
  QTreeWidget* m_members;
  QTreeWidget* m_nonMembers;
};
