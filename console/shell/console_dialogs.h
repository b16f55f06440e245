#pragma once
// Every message box and sub-dialog the console shows goes through this interface, so the logic
// that asks runs in tests with answers given in advance and no test ever blocks on a window.
// The Qt program implements it with real dialogs (qt_dialogs.h).
#include <cstdint>
#include <functional>

#include "console/shell/console_settings.h"
#include "console/shell/lookout_session.h"
#include "engine/core/machine_record.h"

class ConsoleDialogs {
 public:
  virtual ~ConsoleDialogs() = default;
  // Modal questions: true for Yes / OK.
  virtual bool AskYesNo(const CString& title, const CString& text, uint32_t style) = 0;
  virtual bool AskOkCancel(const CString& title, const CString& text) = 0;
  // A modal notice (inside a dialog that stays open after it).
  virtual void Inform(const CString& title, const CString& text, uint32_t style) = 0;
  // A notice that does not hold the window (the session's messages): shown, raised, left open.
  virtual void ShowMessage(const CString& title, const CString& text, uint32_t style) = 0;

  // On-line options: server, port, user, password. accept runs on OK and may change the values
  // or refuse (the dialog then stays open). False on Cancel.
  virtual bool OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) = 0;
  // Old and new password (the dialog checks that the new one was typed twice alike).
  virtual bool ChangePassword(CString* oldPassword, CString* newPassword) = 0;
  // A message to write to a console user (title "Message to <user> on <address>"). False on Cancel.
  virtual bool WriteMessage(const CString& title, CString* text) = 0;
  // A message a console user sent; the user may answer it to replyAddress through reply.
  virtual void ShowReceivedMessage(const CString& title, const CString& text, const CString& replyAddress,
                                   const std::function<void(const CString& text)>& reply) = 0;
  virtual bool ConfirmationOptions(ConsoleWarnings& warnings) = 0;
  virtual void MachineProperties(const CMachineRecord& machine) = 0;
  virtual void About() = 0;
  // Opens the console's help; false when it could not be opened.
  virtual bool OpenHelp() = 0;
};

// The On-line Options dialog's OK: an empty password is confirmed, and a local engine is checked
// (local_check.h); refusals are said through dialogs. True when the dialog may close.
bool AcceptOnlineOptions(ConnectParams& params, ConsoleDialogs& dialogs);
