#include "console/model/console_settings.h"

#include <cstring>

#include "engine/config/util.h"

namespace {

constexpr size_t kPlacementBytes = 44;
constexpr uint32_t kShowMaximised = 3;
constexpr uint32_t kShowNormal = 1;

uint32_t ReadNumber(const KeyValueStore& store, const char* group, const char* key, uint32_t def) {
  auto v = store.Get(group, key);
  if (!v || v->empty() || v->size() > 10) return def;
  uint64_t n = 0;
  for (char c : *v) {
    if (c < '0' || c > '9') return def;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n > UINT32_MAX ? def : static_cast<uint32_t>(n);
}

CString Text(const KeyValueStore& store, const char* group, const char* key, const char* def) {
  auto v = store.Get(group, key);
  return v ? *v : CString(def);
}

void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void PutI32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }
uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
int32_t GetI32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

void ConsoleSettings::Load(const KeyValueStore& store) {
  Username = Text(store, "Settings", "Username", "Administrator");
  TrellisServer = Text(store, "Settings", "TrellisServer", "localhost");
  TrellisPort = ReadNumber(store, "Settings", "TrellisPort", 808);
  if (TrellisPort < 1 || TrellisPort > 65535) TrellisPort = 808;
  AlwaysOnTop = ReadNumber(store, "Settings", "AlwaysOnTop", 0);
  Placement = Text(store, "Settings", "Placement", "");
  warnings.BindExternal = ReadNumber(store, "Warnings", "BindExternal", 1);
  warnings.DeleteService = ReadNumber(store, "Warnings", "DeleteService", 1);
  warnings.DeleteUserGroup = ReadNumber(store, "Warnings", "DeleteUserGroup", 1);
  warnings.DeleteSession = ReadNumber(store, "Warnings", "DeleteSession", 1);
}

void ConsoleSettings::SaveLogin(KeyValueStore& store) const {
  store.Set("Settings", "Username", Username);
  store.Set("Settings", "TrellisServer", TrellisServer);
  store.Set("Settings", "TrellisPort", std::to_string(TrellisPort));
  store.Set("Warnings", "BindExternal", std::to_string(warnings.BindExternal));
  store.Set("Warnings", "DeleteService", std::to_string(warnings.DeleteService));
  store.Set("Warnings", "DeleteUserGroup", std::to_string(warnings.DeleteUserGroup));
  store.Set("Warnings", "DeleteSession", std::to_string(warnings.DeleteSession));
}

void ConsoleSettings::SaveWindow(KeyValueStore& store) const {
  store.Set("Settings", "Placement", Placement);
  store.Set("Settings", "AlwaysOnTop", std::to_string(AlwaysOnTop));
}

std::optional<WindowPlacement> DecodePlacement(const CString& text) {
  if (text.size() != kPlacementBytes * 2) return std::nullopt;
  uint8_t bytes[kPlacementBytes];
  for (size_t i = 0; i < kPlacementBytes; ++i) {
    const int hi = HexDigitValue(text[2 * i]);
    const int lo = HexDigitValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  if (GetU32(bytes) != kPlacementBytes) return std::nullopt;
  const int64_t left = GetI32(bytes + 28), top = GetI32(bytes + 32);
  const int64_t right = GetI32(bytes + 36), bottom = GetI32(bytes + 40);
  // Widths are computed wide: a hostile rectangle must not overflow into a small one.
  if (right <= left || bottom <= top || right - left > 100000 || bottom - top > 100000) return std::nullopt;
  WindowPlacement p;
  p.left = static_cast<int>(left);
  p.top = static_cast<int>(top);
  p.width = static_cast<int>(right - left);
  p.height = static_cast<int>(bottom - top);
  p.maximised = GetU32(bytes + 8) == kShowMaximised;
  return p;
}

CString EncodePlacement(const WindowPlacement& p) {
  uint8_t bytes[kPlacementBytes] = {};
  PutU32(bytes, kPlacementBytes);
  PutU32(bytes + 8, p.maximised ? kShowMaximised : kShowNormal);
  PutI32(bytes + 12, -1);
  PutI32(bytes + 16, -1);
  PutI32(bytes + 20, -1);
  PutI32(bytes + 24, -1);
  PutI32(bytes + 28, p.left);
  PutI32(bytes + 32, p.top);
  PutI32(bytes + 36, p.left + p.width);
  PutI32(bytes + 40, p.top + p.height);
  static const char* kHex = "0123456789ABCDEF";
  CString out;
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}
