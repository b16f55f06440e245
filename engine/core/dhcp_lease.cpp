#include "engine/core/dhcp_lease.h"

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_DYNAMIC(CDHCPLease, CLockableObject)

namespace {
uint32_t NowSeconds(time_t now) { return now < 0 ? 0u : static_cast<uint32_t>(now); }
}  // namespace

CDHCPLease::CDHCPLease(CString address, uint32_t scopeId, CString computerName, CString hardwareAddress,
                       uint32_t duration, uint32_t status)
    : IPAddress(std::move(address)),
      MACAddress(std::move(hardwareAddress)),
      ComputerName(std::move(computerName)),
      ClientStatus(status),
      ScopeID(scopeId),
      TimeStamp(NowSeconds(time(nullptr))),
      LeaseDuration(duration) {}

void CDHCPLease::Renew() { TimeStamp = NowSeconds(time(nullptr)); }

void CDHCPLease::Renew(uint32_t duration) {
  Renew();
  LeaseDuration = duration;
}

bool CDHCPLease::IsExpired(time_t now) const {
  if (ClientStatus == kReleased) return true;
  if (LeaseDuration == kInfinite) return false;
  // 64-bit sums: a stamp near the top of the range plus a long duration must not wrap into the past.
  return static_cast<uint64_t>(TimeStamp) + LeaseDuration < static_cast<uint64_t>(NowSeconds(now));
}

uint32_t CDHCPLease::SecondsExpired(time_t now) const {
  if (ClientStatus != kReleased) return 0;
  uint64_t end = static_cast<uint64_t>(TimeStamp) + (LeaseDuration == kInfinite ? 0 : LeaseDuration);
  uint64_t n = NowSeconds(now);
  return n > end ? static_cast<uint32_t>(n - end) : 0u;
}

bool CDHCPLease::Save(const CString& key) const {
  bool ok = RegWriteString(key, "IPAddress", IPAddress);
  ok = RegWriteString(key, "MACAddress", MACAddress) && ok;
  ok = RegWriteString(key, "ComputerName", ComputerName) && ok;
  ok = RegWriteDWORD(key, "ClientStatus", ClientStatus) && ok;
  ok = RegWriteDWORD(key, "ScopeID", ScopeID) && ok;
  ok = RegWriteDWORD(key, "TimeStamp", TimeStamp) && ok;
  ok = RegWriteDWORD(key, "LeaseDuration", LeaseDuration) && ok;
  return ok;
}

bool CDHCPLease::Load(const CString& key) {
  CString address = RegReadString(key, "IPAddress", "");
  uint32_t parsed = 0;
  if (!TryParseIPAddress(address, &parsed)) return false;
  IPAddress = address;
  MACAddress = RegReadString(key, "MACAddress", "");
  ComputerName = RegReadString(key, "ComputerName", "");
  ClientStatus = RegReadDWORD(key, "ClientStatus", kOffered);
  ScopeID = RegReadDWORD(key, "ScopeID", 0);
  TimeStamp = RegReadDWORD(key, "TimeStamp", 0);
  LeaseDuration = RegReadDWORD(key, "LeaseDuration", 0);
  return true;
}
