#pragma once
// The console's dialogs and message boxes with Qt Widgets (the interface is console_dialogs.h).
// Notices from the session are non-modal boxes deleted on close, raised to the front; questions
// and sub-dialogs are modal on the main window.
#include <QPointer>
#include <QWidget>

#include "console/model/console_dialogs.h"

class QDialog;

// Runs a modal dialog raised above its window and given the focus; returns its result.
int RunModal(QDialog& dialog);

class QtDialogs : public ConsoleDialogs {
 public:
  explicit QtDialogs(QWidget* parent) : m_parent(parent) {}
  void SetParent(QWidget* parent) { m_parent = parent; }

  bool AskYesNo(const CString& title, const CString& text, uint32_t style) override;
  bool AskOkCancel(const CString& title, const CString& text) override;
  void Inform(const CString& title, const CString& text, uint32_t style) override;
  void ShowMessage(const CString& title, const CString& text, uint32_t style) override;
  bool OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) override;
  bool ChangePassword(bool forced, CString* oldPassword, CString* newPassword) override;
  bool WriteMessage(const CString& title, CString* text) override;
  void ShowReceivedMessage(const CString& title, const CString& text, const CString& replyAddress,
                           const std::function<void(const CString& text)>& reply) override;
  bool ConfirmationOptions(ConsoleWarnings& warnings) override;
  void MachineProperties(const CMachineRecord& machine) override;
  void About() override;
  bool OpenHelp() override;

 private:
  QPointer<QWidget> m_parent;
};
