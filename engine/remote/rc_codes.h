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

// Messages the engine sends on its own.
enum : uint16_t {
  RC_NOTIFY_LOGGED_IN = 5,
  RC_NOTIFY_MUST_CHANGE_PASSWORD = 120,
  RC_NOTIFY_OPERATOR_MESSAGE = 90,
  RC_NOTIFY_CONSOLE_MESSAGE = 91,
  RC_NOTIFY_CONSOLE_SIGNAL = 101,
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
