#include "console/model/console_dialogs.h"

#include "console/model/console_texts.h"
#include "console/model/local_check.h"

PasswordCheck CheckPasswordChange(bool forced, const CString& oldPassword, const CString& newPassword,
                                  const CString& confirmation) {
  if (forced && newPassword.empty()) return {PASSWORD_NEW, kTextForcedPasswordEmpty};
  if (forced && newPassword == oldPassword) return {PASSWORD_NEW, kTextForcedPasswordSame};
  if (newPassword != confirmation) return {PASSWORD_CONFIRM, kTextPasswordsDiffer};
  return {};
}

bool AcceptOnlineOptions(ConnectParams& params, ConsoleDialogs& dialogs) {
  if (params.password.empty() && !dialogs.AskOkCancel(kTitleLookout, kTextNoPassword)) return false;
  const LocalCheck check = CheckLocalLogin(params.server, params.user);
  switch (check.result) {
    case LocalCheckResult::NotRunning: dialogs.Inform(kTitleLookout, kTextNotRunning, MB_STOP); return false;
    case LocalCheckResult::NoSuchUser: dialogs.Inform(kTitleLookout, kTextNoSuchLocalUser, MB_STOP); return false;
    case LocalCheckResult::Ok: break;
  }
  params.user = check.userName;
  return true;
}
