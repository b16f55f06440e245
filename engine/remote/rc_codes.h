#pragma once
// The remote-control codes both ends follow: for every request the command text (audited and
// shown), the right it needs and the frames that travel each way between reply 1 and reply 3; for
// every notification the frames that follow it. The engine's session and the console's session
// are driven by this one table, so the two ends cannot disagree on how many frames a code carries.
//
// docs/wire-format.md section 5 describes the same table for readers of the byte stream.
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "engine/config/archive.h"

class CTLRCPMessage;

// Replies around every request.
enum : uint16_t {
  RC_REPLY_ACCEPTED = 1,
  RC_REPLY_REFUSED = 2,
  RC_REPLY_DONE = 3,
  RC_REPLY_FAILED = 4,
};

// Requests a console sends. A request and a notification may share a number; which one a message
// is follows from its direction.
enum : uint16_t {
  // Configuration and system.
  RC_REQ_GET_SYSTEM_INFO = 10,
  RC_REQ_SAVE_CONFIGURATION = 12,
  RC_REQ_RELOAD_CONFIGURATION = 13,
  RC_REQ_CHANGE_PASSWORD = 120,  // t1 user, t2 old password, t3 new password
  RC_REQ_SHUTDOWN = 140,

  // Users and groups (t1 the user's or group's name).
  RC_REQ_GET_USERS = 20,
  RC_REQ_UPLOAD_USERS = 21,
  RC_REQ_ADD_USER = 22,
  RC_REQ_DELETE_USER = 23,
  RC_REQ_MODIFY_USER = 24,
  RC_REQ_ADD_GROUP = 25,
  RC_REQ_DELETE_GROUP = 26,
  RC_REQ_MODIFY_GROUP = 27,

  // Services (t1 the service's name).
  RC_REQ_GET_SERVICES = 30,
  RC_REQ_UPLOAD_SERVICES = 31,
  RC_REQ_ADD_SERVICE = 32,
  RC_REQ_DELETE_SERVICE = 33,
  RC_REQ_MODIFY_SERVICE = 34,
  RC_REQ_START_STOP_SERVICE = 35,  // t2 "0" stops, anything else starts

  // System policies (the rights) and the assumptions about machines.
  RC_REQ_GET_POLICIES = 40,
  RC_REQ_UPLOAD_POLICIES = 41,
  RC_REQ_MODIFY_POLICIES = 42,
  RC_REQ_GET_ASSUMPTIONS = 50,
  RC_REQ_MODIFY_ASSUMPTIONS = 51,

  // Dialer.
  RC_REQ_GET_DIALER = 60,
  RC_REQ_UPLOAD_DIALER = 61,
  RC_REQ_MODIFY_DIALER = 62,
  RC_REQ_DIAL_OR_HANG_UP = 63,  // t2 "1" dials t1, anything else hangs it up

  // Sessions, machines and activity.
  RC_REQ_GET_ACTIVITY = 70,
  RC_REQ_TERMINATE_MACHINE = 73,  // t1 the machine's address
  RC_REQ_TERMINATE_SESSION = 76,  // t1 the machine's address, t2 the session number in decimal
  RC_REQ_REGISTER_ALL = 80,
  RC_REQ_REGISTER_ALERTS = 81,
  RC_REQ_REGISTER_MESSAGES = 82,
  RC_REQ_REGISTER_ACTIVITY = 83,
  RC_REQ_REGISTER_DIALER = 84,
  RC_REQ_SEND_MESSAGE = 91,  // t1 the address of the consoles, t2 the text
  RC_REQ_SEND_SIGNAL = 100,  // t1 the address of the consoles

  // Cache.
  RC_REQ_GET_CACHE = 130,
  RC_REQ_UPDATE_CACHE = 131,
  RC_REQ_PURGE_CACHE = 132,
  RC_REQ_REMOVE_CACHE_ENTRY = 133,  // t1 the URL
  RC_REQ_REBUILD_CACHE_INDEX = 134,

  // Scheduler.
  RC_REQ_GET_SCHEDULER = 150,
  RC_REQ_UPDATE_SCHEDULER = 151,
  RC_REQ_RUN_SCHEDULE_EVENT = 152,  // t1 the event's id

  // Accepted from any logged-in console and answered without any effect.
  RC_REQ_NO_EFFECT_90 = 90,
  RC_REQ_NO_EFFECT_101 = 101,
  RC_REQ_NO_EFFECT_102 = 102,
  RC_REQ_NO_EFFECT_103 = 103,
  RC_REQ_NO_EFFECT_104 = 104,
  RC_REQ_NO_EFFECT_110 = 110,
  RC_REQ_NO_EFFECT_111 = 111,
};

// Messages the engine sends on its own (their texts: docs/wire-format.md section 5.5). The engine's
// core sends some of them under names of its own with the same values (engine/core/machine.h,
// engine.h): this table is configuration data and cannot include the engine's headers.
enum : uint16_t {
  RC_NOTIFY_LOGGED_IN = 5,
  RC_NOTIFY_MUST_CHANGE_PASSWORD = 120,
  RC_NOTIFY_OPERATOR_MESSAGE = 90,
  RC_NOTIFY_CONSOLE_MESSAGE = 91,
  RC_NOTIFY_CONSOLE_SIGNAL = 101,

  RC_NOTIFY_USER_ADDED = 22,
  RC_NOTIFY_USER_DELETED = 23,
  RC_NOTIFY_USER_CHANGED = 24,
  RC_NOTIFY_GROUP_ADDED = 25,
  RC_NOTIFY_GROUP_DELETED = 26,
  RC_NOTIFY_GROUP_CHANGED = 27,

  RC_NOTIFY_SERVICE_ADDED = 32,
  RC_NOTIFY_SERVICE_DELETED = 33,
  RC_NOTIFY_SERVICE_CHANGED = 34,
  RC_NOTIFY_SERVICE_STATE = 35,  // t2 the running state

  RC_NOTIFY_POLICIES_CHANGED = 42,
  RC_NOTIFY_ASSUMPTIONS_CHANGED = 51,

  RC_NOTIFY_DIALER_CHANGED = 62,
  RC_NOTIFY_DIALER_PROFILE = 63,

  RC_NOTIFY_MACHINE_ADDED = 71,
  RC_NOTIFY_MACHINE_CHANGED = 72,
  RC_NOTIFY_MACHINE_REMOVED = 73,
  RC_NOTIFY_SESSION_ADDED = 74,
  RC_NOTIFY_SESSION_CHANGED = 75,
  RC_NOTIFY_SESSION_ENDED = 76,

  RC_NOTIFY_CACHE_CHANGED = 131,
  RC_NOTIFY_SCHEDULER_CHANGED = 151,

  // Codes a console takes as notifications without frames; the engine itself sends none of them.
  RC_NOTIFY_NO_FRAMES_100 = 100,
  RC_NOTIFY_NO_FRAMES_104 = 104,
  RC_NOTIFY_NO_FRAMES_110 = 110,
  RC_NOTIFY_NO_FRAMES_111 = 111,
};

inline constexpr const char* kRCInternalErrorText = "Internal server error";

// What a frame holds (its class, and whether it is bare or class-tagged).
enum class RCFrame : uint8_t {
  SysInfo,          // CSysInfo, bare
  InterfaceMap,     // CLockableMap of CInterface, bare
  UserDatabase,     // CGroupMemberDatabase, bare
  User,             // CUser, bare
  Group,            // CGroup, bare
  ServiceManager,   // CServiceManager (a CLockableMap of services), bare
  ServiceTagged,    // one service, class-tagged
  ServiceBare,      // one service of the class the receiver already holds, bare
  Right,            // CRight, bare (requests 40-42 carry 13 of them, codes 0 to 12)
  Locations,        // CLocationArray, bare
  MachineNames,     // CLockableStringMap (machine name -> user), bare
  Machine,          // CMachine, bare
  Cache,            // CWWWCache settings, bare
  Dialer,           // CDialer, bare
  Scheduler,        // CScheduler, bare
};

inline constexpr int kRCRightCount = 13;  // rights 0..12 travel in requests 40-42 and notification 42

// The right a request needs: a system right's code (3..12), or one of these.
enum : int32_t {
  RC_RIGHT_NONE = -1,
  RC_RIGHT_SERVICE_EDIT = -2,       // the edit right of service t1
  RC_RIGHT_SERVICE_START_STOP = -3, // the start/stop right of service t1
  RC_RIGHT_OWN_USER = -4,           // t1 must be the session's own user (request 120)
};

struct RCRequestInfo {
  uint16_t code;
  // printf form of the command text; "%s" takes t1, and for request 76 the first "%s" takes t2
  // and the second t1 (see GetCommandText). Null: the request has no command text.
  const char* text;
  int32_t right;
  std::vector<RCFrame> sends;     // engine to console, after reply 1
  std::vector<RCFrame> receives;  // console to engine, after reply 1
  // After it is carried out it is announced to the monitoring consoles under this code (0: not).
  uint16_t forwardAs;
  // A feature this engine may lack (dialer, scheduler, cache): refused with reply 2, no frames.
  bool optional;
};

struct RCNotificationInfo {
  uint16_t code;
  std::vector<RCFrame> frames;  // after the message; a copy 13 for Right
  // The system right a console needs to receive it (RC_RIGHT_NONE: every monitoring console).
  int32_t right;
};

// Null for a code that is no request (refused).
const RCRequestInfo* FindRCRequest(uint16_t code);
// Null for a code the engine never sends unsolicited.
const RCNotificationInfo* FindRCNotification(uint16_t code);
const std::vector<RCRequestInfo>& RCRequestTable();

// The command text of a request, built from its texts (never used as a format string later);
// "" when the code has none.
CString GetCommandText(const CTLRCPMessage& message);

// The password field the engine sends in every CUser: a console never learns a password. A user
// received with exactly this password keeps the password it has (a new user gets an empty one).
inline const CString kRCPasswordUnchanged = CString(1, '\0');
