#include "engine/remote/rc_codes.h"

#include <algorithm>

#include "engine/access/right.h"
#include "engine/remote/rc_message.h"

namespace {

using F = RCFrame;

const std::vector<RCRequestInfo> kRequests = {
    {RC_REQ_GET_SYSTEM_INFO, "Retrieve System Info", RC_RIGHT_NONE, {F::SysInfo}, {}, 0, false},
    // Any logged-in console may commit: it writes only what the engine already runs, and a console
    // holding only the cache right must be able to keep the cache settings it changed.
    {RC_REQ_SAVE_CONFIGURATION, "Commit configuration to disk", RC_RIGHT_NONE, {}, {}, 0, false},
    // Reloading replaces the running configuration with the stored one (services restarted or
    // removed, users dropped with their sessions, unsaved changes of other consoles undone): as far
    // reaching as an upload of the services, so it asks the same right.
    {RC_REQ_RELOAD_CONFIGURATION, "Reload configuration from disk", kRightServiceAdd, {}, {}, 0, false},
    {RC_REQ_GET_USERS, "Retrieve user database", kRightUserAdd, {F::UserDatabase}, {}, 0, false},
    {RC_REQ_UPLOAD_USERS, "Upload user database", kRightUserAdd, {}, {F::UserDatabase}, 0, false},
    {RC_REQ_ADD_USER, "Add user %s", kRightUserAdd, {}, {F::User}, RC_NOTIFY_USER_ADDED, false},
    {RC_REQ_DELETE_USER, "Delete user %s", kRightUserAdd, {}, {}, RC_NOTIFY_USER_DELETED, false},
    {RC_REQ_MODIFY_USER, "Modify user %s", kRightUserAdd, {}, {F::User}, RC_NOTIFY_USER_CHANGED, false},
    {RC_REQ_ADD_GROUP, "Add group %s", kRightUserAdd, {}, {F::Group}, RC_NOTIFY_GROUP_ADDED, false},
    {RC_REQ_DELETE_GROUP, "Delete group %s", kRightUserAdd, {}, {}, RC_NOTIFY_GROUP_DELETED, false},
    {RC_REQ_MODIFY_GROUP, "Modify group %s", kRightUserAdd, {}, {F::Group}, RC_NOTIFY_GROUP_CHANGED, false},
    {RC_REQ_GET_SERVICES,
     "Retrieve service configurations",
     kRightServiceAdd,
     {F::InterfaceMap, F::ServiceManager},
     {},
     0,
     false},
    {RC_REQ_UPLOAD_SERVICES, "Upload service configurations", kRightServiceAdd, {}, {F::ServiceManager}, 0, false},
    {RC_REQ_ADD_SERVICE, "Add service %s", kRightServiceAdd, {}, {F::ServiceTagged}, RC_NOTIFY_SERVICE_ADDED, false},
    {RC_REQ_DELETE_SERVICE, "Delete service %s", kRightServiceAdd, {}, {}, RC_NOTIFY_SERVICE_DELETED, false},
    {RC_REQ_MODIFY_SERVICE,
     "Modify service %s",
     RC_RIGHT_SERVICE_EDIT,
     {},
     {F::ServiceBare},
     RC_NOTIFY_SERVICE_CHANGED,
     false},
    {RC_REQ_START_STOP_SERVICE, "%s service %s", RC_RIGHT_SERVICE_START_STOP, {}, {}, RC_NOTIFY_SERVICE_STATE, false},
    {RC_REQ_GET_POLICIES, "Retrieve system policies", kRightPolicyEdit, {F::Right}, {}, 0, false},
    {RC_REQ_UPLOAD_POLICIES,
     "Upload system policies",
     kRightPolicyEdit,
     {},
     {F::Right},
     RC_NOTIFY_POLICIES_CHANGED,
     false},
    {RC_REQ_MODIFY_POLICIES,
     "Modify system policies",
     kRightPolicyEdit,
     {},
     {F::Right},
     RC_NOTIFY_POLICIES_CHANGED,
     false},
    {RC_REQ_GET_ASSUMPTIONS, "Retrieve Assumptions", kRightUserAdd, {F::Locations, F::MachineNames}, {}, 0, false},
    {RC_REQ_MODIFY_ASSUMPTIONS,
     "Modify Assumptions",
     kRightUserAdd,
     {},
     {F::Locations, F::MachineNames},
     RC_NOTIFY_ASSUMPTIONS_CHANGED,
     false},
    {RC_REQ_GET_DIALER, "Retrieve dialer settings", kRightDialerEdit, {F::Dialer}, {}, 0, true},
    {RC_REQ_UPLOAD_DIALER, "Upload dialer settings", kRightDialerEdit, {}, {F::Dialer}, RC_NOTIFY_DIALER_CHANGED, true},
    {RC_REQ_MODIFY_DIALER, "Modify dialer settings", kRightDialerEdit, {}, {F::Dialer}, RC_NOTIFY_DIALER_CHANGED, true},
    {RC_REQ_DIAL_OR_HANG_UP, "%s %s", kRightDialerEdit, {}, {}, 0, true},
    {RC_REQ_GET_ACTIVITY, "Retrieve activity information", kRightActivityMonitor, {}, {}, 0, false},
    {RC_REQ_TERMINATE_MACHINE, "Terminate all activity on %s", kRightActivityControl, {}, {}, 0, false},
    {RC_REQ_TERMINATE_SESSION, "Terminate session %s on %s", kRightActivityControl, {}, {}, 0, false},
    {RC_REQ_REGISTER_ALL, "Register for everything", kRightActivityMonitor, {}, {}, 0, false},
    {RC_REQ_REGISTER_ALERTS, "Register for alerts", kRightActivityMonitor, {}, {}, 0, false},
    {RC_REQ_REGISTER_MESSAGES, "Register for messages", kRightActivityMonitor, {}, {}, 0, false},
    {RC_REQ_REGISTER_ACTIVITY, "Register for activity updates", kRightActivityMonitor, {}, {}, 0, false},
    {RC_REQ_REGISTER_DIALER, "Register for dialler updates", kRightActivityMonitor, {}, {}, 0, false},
    {RC_REQ_NO_EFFECT_90, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_SEND_MESSAGE, "Send message to %s", RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_SEND_SIGNAL, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_NO_EFFECT_101, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_NO_EFFECT_102, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_NO_EFFECT_103, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_NO_EFFECT_104, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_NO_EFFECT_110, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_NO_EFFECT_111, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {RC_REQ_CHANGE_PASSWORD, "Change password", RC_RIGHT_OWN_USER, {}, {}, 0, false},
    {RC_REQ_GET_CACHE, "Retrieve cache settings", kRightCacheManagement, {F::Cache}, {}, 0, true},
    {RC_REQ_UPDATE_CACHE,
     "Update cache settings",
     kRightCacheManagement,
     {},
     {F::Cache},
     RC_NOTIFY_CACHE_CHANGED,
     true},
    {RC_REQ_PURGE_CACHE, "Purge cache", kRightCacheManagement, {}, {}, 0, true},
    {RC_REQ_REMOVE_CACHE_ENTRY, "Remove cache entry %s", kRightCacheManagement, {}, {}, 0, true},
    {RC_REQ_REBUILD_CACHE_INDEX, "Rebuild cache index file", kRightCacheManagement, {}, {}, 0, true},
    {RC_REQ_SHUTDOWN, "Shutdown", kRightShutdown, {}, {}, 0, false},
    {RC_REQ_GET_SCHEDULER, "Get scheduler settings", kRightScheduler, {F::Scheduler}, {}, 0, true},
    {RC_REQ_UPDATE_SCHEDULER,
     "Update scheduler settings",
     kRightScheduler,
     {},
     {F::Scheduler},
     RC_NOTIFY_SCHEDULER_CHANGED,
     true},
    {RC_REQ_RUN_SCHEDULE_EVENT, "Run schedule event id %s", kRightScheduler, {}, {}, 0, true},
};

const std::vector<RCNotificationInfo> kNotifications = {
    {RC_NOTIFY_LOGGED_IN, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_MUST_CHANGE_PASSWORD, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_OPERATOR_MESSAGE, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_USER_ADDED, {F::User}, kRightUserAdd},
    {RC_NOTIFY_USER_DELETED, {}, kRightUserAdd},
    {RC_NOTIFY_USER_CHANGED, {F::User}, kRightUserAdd},
    {RC_NOTIFY_GROUP_ADDED, {F::Group}, kRightUserAdd},
    {RC_NOTIFY_GROUP_DELETED, {}, kRightUserAdd},
    {RC_NOTIFY_GROUP_CHANGED, {F::Group}, kRightUserAdd},
    {RC_NOTIFY_SERVICE_ADDED, {F::ServiceTagged}, kRightServiceAdd},
    {RC_NOTIFY_SERVICE_DELETED, {}, kRightServiceAdd},
    {RC_NOTIFY_SERVICE_CHANGED, {F::ServiceTagged}, kRightServiceAdd},
    {RC_NOTIFY_SERVICE_STATE, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_POLICIES_CHANGED, {F::Right}, kRightPolicyEdit},
    {RC_NOTIFY_ASSUMPTIONS_CHANGED, {F::Locations, F::MachineNames}, kRightUserAdd},
    {RC_NOTIFY_DIALER_CHANGED, {F::Dialer}, kRightDialerEdit},
    {RC_NOTIFY_DIALER_PROFILE, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_MACHINE_ADDED, {F::Machine}, RC_RIGHT_NONE},
    {RC_NOTIFY_MACHINE_CHANGED, {F::Machine}, RC_RIGHT_NONE},
    {RC_NOTIFY_MACHINE_REMOVED, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_SESSION_ADDED, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_SESSION_CHANGED, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_SESSION_ENDED, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_CONSOLE_MESSAGE, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_CONSOLE_SIGNAL, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_NO_FRAMES_100, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_NO_FRAMES_104, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_NO_FRAMES_110, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_NO_FRAMES_111, {}, RC_RIGHT_NONE},
    {RC_NOTIFY_CACHE_CHANGED, {F::Cache}, kRightCacheManagement},
    {RC_NOTIFY_SCHEDULER_CHANGED, {F::Scheduler}, kRightScheduler},
};

}  // namespace

const std::vector<RCRequestInfo>& RCRequestTable() { return kRequests; }

const RCRequestInfo* FindRCRequest(uint16_t code) {
  auto it = std::find_if(kRequests.begin(), kRequests.end(), [code](const RCRequestInfo& r) { return r.code == code; });
  return it == kRequests.end() ? nullptr : &*it;
}

const RCNotificationInfo* FindRCNotification(uint16_t code) {
  auto it = std::find_if(kNotifications.begin(), kNotifications.end(),
                         [code](const RCNotificationInfo& n) { return n.code == code; });
  return it == kNotifications.end() ? nullptr : &*it;
}

CString GetCommandText(const CTLRCPMessage& message) {
  const RCRequestInfo* info = FindRCRequest(message.m_code);
  if (!info || !info->text) return CString();
  // The texts come from the console: they are pasted in, never read as a format.
  const CString& t1 = message.m_text1;
  const CString& t2 = message.m_text2;
  switch (message.m_code) {
    case RC_REQ_START_STOP_SERVICE: return (t2 == "0" ? CString("Stop service ") : CString("Start service ")) + t1;
    case RC_REQ_DIAL_OR_HANG_UP: return (t2 == "1" ? CString("Dial ") : CString("Hang up ")) + t1;
    case RC_REQ_TERMINATE_SESSION: return "Terminate session " + t2 + " on " + t1;
    default: break;
  }
  CString text = info->text;
  const size_t at = text.find("%s");
  if (at != CString::npos) text.replace(at, 2, t1);
  return text;
}
