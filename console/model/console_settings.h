#pragma once
// The console's own settings ("Settings" and "Warnings" of the user's profile) behind a small
// key-value store, so the logic is tested with an in-memory store and the program uses QSettings;
// and the main window's placement in its 88-character form.
//
// Placement: the 44 bytes of the host system's window-placement record, each as "%02X":
//   u32 length (44), u32 flags, u32 show command (3 = maximised), i32 x2 minimised position,
//   i32 x2 maximised position, i32 x4 normal rectangle (left, top, right, bottom) at offset 28.
// Only the normal rectangle and the maximised state are used. Any other length, a record whose
// length field is not 44, or a rectangle without area is ignored.
#include <cstdint>
#include <optional>

#include "engine/config/archive.h"

class KeyValueStore {
 public:
  virtual ~KeyValueStore() = default;
  virtual std::optional<CString> Get(const CString& group, const CString& key) const = 0;
  virtual void Set(const CString& group, const CString& key, const CString& value) = 0;
};

struct ConsoleWarnings {
  uint32_t BindExternal = 1;
  uint32_t DeleteService = 1;
  uint32_t DeleteUserGroup = 1;
  uint32_t DeleteSession = 1;
};

struct ConsoleSettings {
  CString Username = "Administrator";
  CString TrellisServer = "localhost";
  uint32_t TrellisPort = 808;
  uint32_t AlwaysOnTop = 0;
  CString Placement;
  ConsoleWarnings warnings;

  // Missing or unreadable numbers take their defaults; a port outside 1..65535 too.
  void Load(const KeyValueStore& store);
  // What the program saves when it ends (the password is never stored).
  void SaveLogin(KeyValueStore& store) const;
  // What the main window saves when it closes.
  void SaveWindow(KeyValueStore& store) const;
};

struct WindowPlacement {
  int left = 0, top = 0, width = 0, height = 0;
  bool maximised = false;
};

// nullopt for a text that is not a valid placement.
std::optional<WindowPlacement> DecodePlacement(const CString& text);
// Always 88 characters.
CString EncodePlacement(const WindowPlacement& placement);
