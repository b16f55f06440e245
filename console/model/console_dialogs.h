#pragma once
// Every message box and sub-dialog the console shows goes through this interface, so the logic
// that asks runs in tests with answers given in advance and no test ever blocks on a window.
// The Qt program implements it with real dialogs (qt_dialogs.h).
#include <cstdint>
#include <functional>

#include "console/model/console_settings.h"
#include "console/model/lookout_session.h"
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
  // Old and new password; the dialog stays open until CheckPasswordChange lets it close. forced:
  // the engine's log-in waits for this change.
  virtual bool ChangePassword(bool forced, CString* oldPassword, CString* newPassword) = 0;
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

// The Change Password dialog's OK, before anything is sent: the field to mend and why, or none.
// The new password must be typed twice alike; a forced change must also give a new password that
// is neither empty nor the old one (the engine refuses those, and the log-in would stay waiting).
enum PasswordField : int { PASSWORD_NONE = -1, PASSWORD_OLD = 0, PASSWORD_NEW = 1, PASSWORD_CONFIRM = 2 };
struct PasswordCheck {
  PasswordField field = PASSWORD_NONE;
  const char* text = nullptr;
};
PasswordCheck CheckPasswordChange(bool forced, const CString& oldPassword, const CString& newPassword,
                                  const CString& confirmation);
