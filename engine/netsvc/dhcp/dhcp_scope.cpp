#include "engine/netsvc/dhcp/dhcp_scope.h"

#include <strings.h>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_SERIAL(CIPRange, CObject, 1)
TL_IMPLEMENT_SERIAL(CDHCPReservation, CLockableObject, 1)
TL_IMPLEMENT_SERIAL(CDHCPScope, CLockableObject, 1)

// ---- CIPRange -------------------------------------------------------------------------------------

bool CIPRange::Contains(uint32_t a) const { return a >= StartAddress && a <= Last(); }

bool CIPRange::ContainsNetwork(uint32_t a, uint32_t mask) const {
  uint32_t net = a & mask;
  return net == (StartAddress & mask) || (net >= (StartAddress & mask) && net <= (Last() & mask));
}

void CIPRange::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << StartAddress << EndAddress;
  } else {
    uint32_t s = 0, e = 0;
    ar >> s >> e;
    StartAddress = s;
    EndAddress = e;
  }
}

bool CIPRange::Save(const CString& key) const {
  bool ok = RegWriteDWORD(key, "StartAddress", StartAddress);
  return RegWriteDWORD(key, "EndAddress", EndAddress) && ok;
}

void CIPRange::Load(const CString& key) {
  StartAddress = RegReadDWORD(key, "StartAddress", 0);
  EndAddress = RegReadDWORD(key, "EndAddress", 0);
}

// ---- CDHCPReservation -----------------------------------------------------------------------------

CDHCPReservation::CDHCPReservation(const CDHCPReservation& other) : CLockableObject(), Options(other.Options) {
  CLockGuard g(other);
  IPAddress = other.IPAddress;
  MatchData = other.MatchData;
  MatchOn = other.MatchOn;
  ScopeID = other.ScopeID;
}

bool CDHCPReservation::Matches(const CString& computerName, const CString& hardwareAddress) const {
  CLockGuard g(*this);
  if (MatchData.empty()) return false;
  if (MatchOn == MATCH_COMPUTER_NAME) return strcasecmp(MatchData.c_str(), computerName.c_str()) == 0;
  if (MatchOn == MATCH_HARDWARE_ADDRESS) return strcasecmp(MatchData.c_str(), hardwareAddress.c_str()) == 0;
  return false;
}

void CDHCPReservation::Serialize(CArchive& ar) {
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << IPAddress << MatchData << MatchOn << ScopeID;
    Options.Serialize(ar);
    return;
  }
  CString ip, data;
  uint32_t on = 0, scope = 0;
  ar >> ip >> data >> on >> scope;
  uint32_t parsed = 0;
  // The address is the reservation's registry key and its lease's key.
  if (!TryParseIPAddress(ip, &parsed))
    throw CArchiveException(CArchiveException::generic, "reservation address is not an IPv4 address");
  CDHCPOptionsContainer options;
  options.Serialize(ar);
  IPAddress = ip;
  MatchData = data;
  MatchOn = on;
  ScopeID = scope;
  Options.CopyFrom(options);
}

bool CDHCPReservation::Save(const CString& key) const {
  CLockGuard g(*this);
  bool ok = RegWriteString(key, "IPAddress", IPAddress);
  ok = RegWriteString(key, "MatchData", MatchData) && ok;
  ok = RegWriteDWORD(key, "MatchOn", MatchOn) && ok;
  ok = RegWriteDWORD(key, "ScopeID", ScopeID) && ok;
  return Options.Save(key + "\\Options") && ok;
}

bool CDHCPReservation::Load(const CString& key) {
  CString ip = RegReadString(key, "IPAddress", "");
  uint32_t parsed = 0;
  if (!TryParseIPAddress(ip, &parsed)) return false;
  CLockGuard g(*this);
  IPAddress = ip;
  MatchData = RegReadString(key, "MatchData", "");
  MatchOn = RegReadDWORD(key, "MatchOn", MATCH_COMPUTER_NAME);
  ScopeID = RegReadDWORD(key, "ScopeID", 0);
  Options.Load(key + "\\Options");
  return true;
}

// ---- CDHCPScope -----------------------------------------------------------------------------------

CDHCPScope::CDHCPScope(const CDHCPScope& other) : CLockableObject() {
  ScopeID = other.ScopeID;
  CopyFrom(other);
}

bool CDHCPScope::IsExcluded(uint32_t a) const {
  CLockGuard g(*this);
  for (const CIPRange& r : m_exclusions)
    if (r.Contains(a)) return true;
  return false;
}

bool CDHCPScope::IsAddressFree(uint32_t a, IDHCPAddressHost* host) const {
  if (!GetRange().Contains(a) || IsExcluded(a)) return false;
  return host != nullptr && !host->IsLocalAddress(a);
}

bool CDHCPScope::CanOffer(uint32_t a, uint32_t n, IDHCPAddressHost* host, uint32_t* probe) const {
  uint32_t mask;
  {
    CLockGuard g(*this);
    mask = NetMask;
  }
  if ((n & mask) != (a & mask) || !IsAddressFree(a, host)) return false;
  switch (host->Ping(a)) {
    case IDHCPAddressHost::EchoState::kSilent: return true;
    case IDHCPAddressHost::EchoState::kAnswers: return false;
    case IDHCPAddressHost::EchoState::kUnknown: break;
  }
  if (probe) *probe = a;
  return false;
}

bool CDHCPScope::FindFreeAddress(uint32_t n, IDHCPAddressHost* host,
                                 const std::function<bool(uint32_t)>& reservedForOther, uint32_t* out,
                                 uint32_t* probe) const {
  if (host == nullptr) return false;
  CIPRange range;
  uint32_t mask;
  {
    CLockGuard g(*this);
    range = InclusionRange;
    mask = NetMask;
  }
  if (!range.ContainsNetwork(n, mask)) return false;
  const uint32_t hostBits = ~mask;
  std::optional<uint32_t> best;
  uint32_t bestFor = 0;
  // A 64-bit counter: a range that ends at 255.255.255.255 must end the walk, not wrap round.
  for (uint64_t v = range.StartAddress; v <= range.Last(); ++v) {
    uint32_t a = static_cast<uint32_t>(v);
    if (a >= 0xFF000000u) break;
    if (((a >> 16) & 0xFF) == 255 || ((a >> 8) & 0xFF) == 255 || (a & 0xFF) == 255 || (a & 0xFF) == 0) continue;
    // The subnet's own network and broadcast addresses, whatever the mask.
    if (hostBits >= 3 && ((a & hostBits) == 0 || (a & hostBits) == hostBits)) continue;
    if (IsExcluded(a)) continue;
    if (reservedForOther && reservedForOther(a)) continue;
    if (auto lease = host->GetLeaseState(a)) {
      // Any lapsed lease may be taken back (offers nobody claimed included), the oldest first.
      if (lease->expired && (!best || lease->expiredFor > bestFor)) {
        best = a;
        bestFor = lease->expiredFor;
      }
      continue;
    }
    if (host->IsLocalAddress(a)) continue;
    const IDHCPAddressHost::EchoState echo = host->Ping(a);
    if (echo == IDHCPAddressHost::EchoState::kAnswers) continue;
    if (echo == IDHCPAddressHost::EchoState::kUnknown) {
      if (!probe) continue;
      *probe = a;
      return false;
    }
    *out = a;
    return true;
  }
  if (!best) return false;
  host->RemoveLease(*best);
  *out = *best;
  return true;
}

void CDHCPScope::CopyFrom(const CDHCPScope& other) {
  if (&other == this) return;
  std::scoped_lock g(*this, other);
  NetMask = other.NetMask;
  Description = other.Description;
  BoundInterface = other.BoundInterface;
  LeaseDuration = other.LeaseDuration;
  Enabled = other.Enabled;
  InclusionRange = other.InclusionRange;
  m_exclusions = other.m_exclusions;
  Options.CopyFrom(other.Options);
}

std::vector<CIPRange> CDHCPScope::GetExclusions() const {
  CLockGuard g(*this);
  return m_exclusions;
}

void CDHCPScope::SetExclusions(std::vector<CIPRange> exclusions) {
  CLockGuard g(*this);
  m_exclusions = std::move(exclusions);
}

CIPRange CDHCPScope::GetRange() const {
  CLockGuard g(*this);
  return InclusionRange;
}

void CDHCPScope::Serialize(CArchive& ar) {
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << ScopeID << NetMask << Description << BoundInterface << LeaseDuration << Enabled;
    InclusionRange.Serialize(ar);
    ar << static_cast<uint32_t>(m_exclusions.size());
    for (CIPRange& r : m_exclusions) r.Serialize(ar);
    Options.Serialize(ar);
    return;
  }
  CDHCPScope read;
  ar >> read.ScopeID >> read.NetMask >> read.Description >> read.BoundInterface >> read.LeaseDuration >> read.Enabled;
  read.InclusionRange.Serialize(ar);
  uint32_t count = 0;
  ar >> count;
  ar.CheckAvailable(count, 8);
  for (uint32_t i = 0; i < count; ++i) {
    CIPRange r;
    r.Serialize(ar);
    read.m_exclusions.push_back(r);
  }
  read.Options.Serialize(ar);
  ScopeID = read.ScopeID;
  CopyFrom(read);
}

bool CDHCPScope::Save(const CString& key) const {
  CLockGuard g(*this);
  bool ok = RegWriteDWORD(key, "ScopeID", ScopeID);
  ok = RegWriteDWORD(key, "NetMask", NetMask) && ok;
  ok = RegWriteString(key, "Description", Description) && ok;
  ok = RegWriteString(key, "BoundInterface", BoundInterface) && ok;
  ok = RegWriteDWORD(key, "LeaseDuration", LeaseDuration) && ok;
  ok = RegWriteDWORD(key, "Enabled", Enabled) && ok;
  ok = InclusionRange.Save(key + "\\InclusionRange") && ok;
  RegDeleteKeyTree(key + "\\Exclusions");
  for (size_t i = 0; i < m_exclusions.size(); ++i)
    ok = m_exclusions[i].Save(FormatString("%s\\Exclusions\\%zu", key.c_str(), i)) && ok;
  return Options.Save(key + "\\Options") && ok;
}

void CDHCPScope::Load(const CString& key) {
  CLockGuard g(*this);
  ScopeID = RegReadDWORD(key, "ScopeID", 0);
  NetMask = RegReadDWORD(key, "NetMask", 0xFFFFFF00u);
  Description = RegReadString(key, "Description", "");
  BoundInterface = RegReadString(key, "BoundInterface", "");
  LeaseDuration = RegReadDWORD(key, "LeaseDuration", kDefaultLeaseDuration);
  Enabled = RegReadDWORD(key, "Enabled", 1);
  InclusionRange.Load(key + "\\InclusionRange");
  m_exclusions.clear();
  for (uint32_t i : RegEnumNumberedSubKeys(key + "\\Exclusions", "")) {
    CIPRange r;
    r.Load(FormatString("%s\\Exclusions\\%u", key.c_str(), i));
    m_exclusions.push_back(r);
  }
  Options.Load(key + "\\Options");
}
