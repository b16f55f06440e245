// Console requests on the engine as a whole: system information, saving and reloading the
// configuration, the console user's own password, and shutting the engine down.
#include "engine/remote/frame.h"
#include "engine/remote/rc_requests.h"
#include "engine/remote/rc_service.h"

using namespace remote_control;

namespace {

// A refused change is no failed request: the reply is "done", and the reason follows as an
// operator message once the transaction is over.
bool ChangePassword(CRemoteControlSession& console, const CString& name, const CString& oldPassword,
                    const CString& newPassword) {
  auto engine = TheEngine();
  CGroupMemberDatabase& users = engine->Users();
  bool completesLogin = false;
  const char* refused = nullptr;
  {
    CLockGuard g(users);
    auto user = users.FindUser(name);
    if (!user) return false;
    CLockGuard ug(*user);
    if (user->UserCannotChangePassword) {
      console.QueueNotification(RC_NOTIFY_OPERATOR_MESSAGE, "Password change denied",
                                "You do not have permission to\nchange your password", CString());
      return true;
    }
    if (user->Password != oldPassword) {
      console.QueueNotification(RC_NOTIFY_OPERATOR_MESSAGE, "Invalid Password",
                                "You have specified an invalid old password", CString());
      return true;
    }
    // A change the account must make is a new password: an empty one or the old one again would
    // clear the mark and hand out every right while nothing was changed.
    if (user->UserMustChangePassword && (newPassword.empty() || newPassword == oldPassword)) {
      console.QueueNotification(RC_NOTIFY_OPERATOR_MESSAGE, "Password change denied",
                                "You do not have permission to\nchange your password", CString());
      refused = newPassword.empty() ? "is empty" : "is the old one";
    } else {
      user->Password = newPassword;
      if (user->UserMustChangePassword) {
        user->UserMustChangePassword = 0;
        completesLogin = true;
      }
      if (!user->SaveToRegistry(UserKey(name))) return false;
    }
  }
  // The audit line locks the user database itself.
  if (refused) {
    console.Audit(CSession::kAuditFailedAuthorisation, "Change password refused: the new password %s", refused);
    console.Log(CSession::kLogFailedAuthorisation, "Change password refused: the new password %s", refused);
  }
  if (completesLogin) console.QueueNotification(RC_NOTIFY_LOGGED_IN, CString(), CString(), CString());
  return true;
}

}  // namespace

bool CRemoteControlSession::SystemRequest(const CTLRCPMessage& message) {
  auto engine = TheEngine();
  switch (message.m_code) {
    case RC_REQ_GET_SYSTEM_INFO:
      SendObject(m_clientSocket, engine->GetSysInfo());
      return true;
    case RC_REQ_SAVE_CONFIGURATION: return engine->SaveConfiguration();
    // Applied as a difference, as an upload is: nothing is loaded over a live object
    // (engine_reload.cpp).
    case RC_REQ_RELOAD_CONFIGURATION: return engine->ReloadConfiguration();
    case RC_REQ_CHANGE_PASSWORD:
      return ChangePassword(*this, message.m_text1, message.m_text2, message.m_text3);
    case RC_REQ_SHUTDOWN:
      // The engine stops only after the request is answered and audited (HandleRequest).
      return true;
    default: return false;
  }
}
