#include "engine/remote/rc_codes.h"

#include <algorithm>

#include "engine/remote/rc_message.h"

namespace {

using F = RCFrame;

const std::vector<RCRequestInfo> kRequests = {
    {10, "Retrieve System Info", RC_RIGHT_NONE, {F::SysInfo}, {}, 0, false},
    {12, "Commit configuration to disk", 4, {}, {}, 0, false},
    {13, "Reload configuration from disk", 4, {}, {}, 0, false},
    {20, "Retrieve user database", 3, {F::UserDatabase}, {}, 0, false},
    {21, "Upload user database", 3, {}, {F::UserDatabase}, 0, false},
    {22, "Add user %s", 3, {}, {F::User}, 22, false},
    {23, "Delete user %s", 3, {}, {}, 23, false},
    {24, "Modify user %s", 3, {}, {F::User}, 24, false},
    {25, "Add group %s", 3, {}, {F::Group}, 25, false},
    {26, "Delete group %s", 3, {}, {}, 26, false},
    {27, "Modify group %s", 3, {}, {F::Group}, 27, false},
    {30, "Retrieve service configurations", 4, {F::InterfaceMap, F::ServiceManager}, {}, 0, false},
    {31, "Upload service configurations", 4, {}, {F::ServiceManager}, 0, false},
    {32, "Add service %s", 4, {}, {F::ServiceTagged}, 32, false},
    {33, "Delete service %s", 4, {}, {}, 33, false},
    {34, "Modify service %s", RC_RIGHT_SERVICE_EDIT, {}, {F::ServiceBare}, 34, false},
    {35, "%s service %s", RC_RIGHT_SERVICE_START_STOP, {}, {}, 35, false},
    {40, "Retrieve system policies", 7, {F::Right}, {}, 0, false},
    {41, "Upload system policies", 7, {}, {F::Right}, 42, false},
    {42, "Modify system policies", 7, {}, {F::Right}, 42, false},
    {50, "Retrieve Assumptions", 3, {F::Locations, F::MachineNames}, {}, 0, false},
    {51, "Modify Assumptions", 3, {}, {F::Locations, F::MachineNames}, 51, false},
    {60, "Retrieve dialer settings", 8, {F::Dialer}, {}, 0, true},
    {61, "Upload dialer settings", 8, {}, {F::Dialer}, 62, true},
    {62, "Modify dialer settings", 8, {}, {F::Dialer}, 62, true},
    {63, "%s %s", 8, {}, {}, 0, true},
    {70, "Retrieve activity information", 5, {}, {}, 0, false},
    {73, "Terminate all activity on %s", 6, {}, {}, 0, false},
    {76, "Terminate session %s on %s", 6, {}, {}, 0, false},
    {80, "Register for everything", 5, {}, {}, 0, false},
    {81, "Register for alerts", 5, {}, {}, 0, false},
    {82, "Register for messages", 5, {}, {}, 0, false},
    {83, "Register for activity updates", 5, {}, {}, 0, false},
    {84, "Register for dialler updates", 5, {}, {}, 0, false},
    {90, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {91, "Send message to %s", RC_RIGHT_NONE, {}, {}, 0, false},
    {100, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {101, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {102, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {103, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {104, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {110, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {111, nullptr, RC_RIGHT_NONE, {}, {}, 0, false},
    {120, "Change password", RC_RIGHT_OWN_USER, {}, {}, 0, false},
    {130, "Retrieve cache settings", 9, {F::Cache}, {}, 0, true},
    {131, "Update cache settings", 9, {}, {F::Cache}, 131, true},
    {132, "Purge cache", 9, {}, {}, 0, true},
    {133, "Remove cache entry %s", 9, {}, {}, 0, true},
    {134, "Rebuild cache index file", 9, {}, {}, 0, true},
    {140, "Shutdown", 10, {}, {}, 0, false},
    {150, "Get scheduler settings", 12, {F::Scheduler}, {}, 0, true},
    {151, "Update scheduler settings", 12, {}, {F::Scheduler}, 151, true},
    {152, "Run schedule event id %s", 12, {}, {}, 0, true},
};

const std::vector<RCNotificationInfo> kNotifications = {
    {5, {}, RC_RIGHT_NONE},
    {120, {}, RC_RIGHT_NONE},
    {90, {}, RC_RIGHT_NONE},
    {22, {F::User}, 3},
    {23, {}, 3},
    {24, {F::User}, 3},
    {25, {F::Group}, 3},
    {26, {}, 3},
    {27, {F::Group}, 3},
    {32, {F::ServiceTagged}, 4},
    {33, {}, 4},
    {34, {F::ServiceTagged}, 4},
    {35, {}, RC_RIGHT_NONE},
    {42, {F::Right}, 7},
    {51, {F::Locations, F::MachineNames}, 3},
    {62, {F::Dialer}, 8},
    {63, {}, RC_RIGHT_NONE},
    {71, {F::Machine}, RC_RIGHT_NONE},
    {72, {F::Machine}, RC_RIGHT_NONE},
    {73, {}, RC_RIGHT_NONE},
    {74, {}, RC_RIGHT_NONE},
    {75, {}, RC_RIGHT_NONE},
    {76, {}, RC_RIGHT_NONE},
    {91, {}, RC_RIGHT_NONE},
    {101, {}, RC_RIGHT_NONE},
    {100, {}, RC_RIGHT_NONE},
    {104, {}, RC_RIGHT_NONE},
    {110, {}, RC_RIGHT_NONE},
    {111, {}, RC_RIGHT_NONE},
    {131, {F::Cache}, 9},
    {151, {F::Scheduler}, 12},
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
  const RCRequestInfo* info = FindRCRequest(message.m_nCode);
  if (!info || !info->text) return CString();
  // The texts come from the console: they are pasted in, never read as a format.
  const CString& t1 = message.m_strText1;
  const CString& t2 = message.m_strText2;
  switch (message.m_nCode) {
    case 35: return (t2 == "0" ? CString("Stop service ") : CString("Start service ")) + t1;
    case 63: return (t2 == "1" ? CString("Dial ") : CString("Hang up ")) + t1;
    case 76: return "Terminate session " + t2 + " on " + t1;
    default: break;
  }
  CString text = info->text;
  const size_t at = text.find("%s");
  if (at != CString::npos) text.replace(at, 2, t1);
  return text;
}
