#pragma once
// What the console's two trees show for an entry, without a toolkit: texts, picture numbers and
// the rules of the activity view's menu. The pictures are the 23 entries of the views' image list
// (tree_images in the Qt code draws them).
#include <cstdint>
#include <ctime>

#include "engine/config/archive.h"

// Entry kinds.
enum : int {
  ENTRY_USER = 0,
  ENTRY_GROUP = 1,
  ENTRY_OTHER = 2,
  ENTRY_SERVICE = 3,
  ENTRY_ROOT = 4,
  ENTRY_MACHINE = 6,
  ENTRY_SESSION = 7,
  ENTRY_USER_LINE = 8,
};

// Picture numbers.
enum : int {
  IMAGE_MACHINE = 0,
  IMAGE_USER = 1,
  IMAGE_ASSUMED = 2,
  IMAGE_UNKNOWN_USER = 3,
  IMAGE_GROUP = 4,
  IMAGE_POLICIES = 5,
  IMAGE_DIALING = 7,
  IMAGE_SCHEDULER = 13,
  IMAGE_SERVICE_RUNNING = 14,
  IMAGE_SERVICE_STOPPED = 15,
  IMAGE_SERVICE_PARTIAL = 16,
  IMAGE_SESSION_CONSOLE = 17,
  IMAGE_SESSION = 18,
  IMAGE_SESSION_HANDOVER = 19,
  IMAGE_CACHED = 20,
  IMAGE_SESSION_REAL = 21,
  IMAGE_SESSION_POP3 = 22,
  IMAGE_COUNT = 23,
};

// "%s [%s]" (computer name, address) when the name is known, else the address.
CString MachineEntryText(const CString& computerName, const CString& address);
// The line under a machine: the user name and " (Unknown user)", " (Assumed)" or
// " (Authenticated)" by level 0, 1, 2 (another level: no suffix).
CString UserLineText(const CString& userName, uint32_t level);
int UserLineImage(uint32_t level);
// A new session's picture by its description's prefix.
int SessionImage(const CString& description);

struct SessionLook {
  CString text;
  int image = IMAGE_SESSION;
};
// A session's text and picture after a change (75), from what it showed before.
SessionLook UpdatedSessionLook(const CString& description, int previousImage);

// The service picture for a running state (0 stopped, 1 running, 2 partly).
int ServiceImage(uint32_t runningState);

// Copy Resource Location is offered for "http://" and "ftp://" texts in any letter case.
bool IsResourceLocation(const CString& text);
// Send Message is offered only to an authenticated user.
inline bool CanSendMessageTo(uint32_t level) { return level == 2; }

// "Unknown user", "Assumed user" or "Authenticated user".
CString UserStateText(uint32_t level);
// "%a, %B %d %Y at %H:%M:%S" in local time.
CString FirstSeenText(time_t when);
