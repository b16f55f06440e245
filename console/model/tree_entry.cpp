#include "console/model/tree_entry.h"

#include <strings.h>

namespace {
bool StartsWith(const CString& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }
}  // namespace

CString MachineEntryText(const CString& computerName, const CString& address) {
  return computerName.empty() ? address : computerName + " [" + address + "]";
}

CString UserLineText(const CString& userName, uint32_t level) {
  switch (level) {
    case 0: return userName + " (Unknown user)";
    case 1: return userName + " (Assumed)";
    case 2: return userName + " (Authenticated)";
    default: return userName;
  }
}

int UserLineImage(uint32_t level) {
  switch (level) {
    case 0: return IMAGE_UNKNOWN_USER;
    case 1: return IMAGE_ASSUMED;
    case 2: return IMAGE_USER;
    default: return IMAGE_MACHINE;
  }
}

int SessionImage(const CString& description) {
  if (StartsWith(description, "Trellis ")) return IMAGE_SESSION_CONSOLE;
  if (StartsWith(description, "Real")) return IMAGE_SESSION_REAL;
  if (StartsWith(description, "POP3")) return IMAGE_SESSION_POP3;
  return IMAGE_SESSION;
}

SessionLook UpdatedSessionLook(const CString& description, int previousImage) {
  SessionLook look;
  if (description == "cached") {
    look.text = description;
    look.image = IMAGE_CACHED;
    return look;
  }
  if (description == "handover") {
    look.text = "SOCKS Handover";
    look.image = IMAGE_SESSION_HANDOVER;
    return look;
  }
  look.text = description;
  look.image = previousImage == IMAGE_SESSION_HANDOVER ? IMAGE_SESSION : SessionImage(description);
  return look;
}

int ServiceImage(uint32_t runningState) {
  switch (runningState) {
    case 0: return IMAGE_SERVICE_STOPPED;
    case 1: return IMAGE_SERVICE_RUNNING;
    default: return IMAGE_SERVICE_PARTIAL;
  }
}

bool IsResourceLocation(const CString& text) {
  return strncasecmp(text.c_str(), "http://", 7) == 0 || strncasecmp(text.c_str(), "ftp://", 6) == 0;
}

CString UserStateText(uint32_t level) {
  switch (level) {
    case 0: return "Unknown user";
    case 1: return "Assumed user";
    default: return "Authenticated user";
  }
}

CString FirstSeenText(time_t when) {
  struct tm tmv {};
  if (!localtime_r(&when, &tmv)) return CString();
  char buf[128];
  const size_t n = strftime(buf, sizeof buf, "%a, %B %d %Y at %H:%M:%S", &tmv);
  return CString(buf, n);
}
