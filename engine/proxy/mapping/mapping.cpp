#include "engine/proxy/mapping/mapping.h"

#include "engine/access/group.h"
#include "engine/access/location.h"
#include "engine/access/user_db.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "platform/registry.h"

TL_IMPLEMENT_SERIAL(CMapping, CObject, 1)

namespace {

constexpr const char* kIncludedKey = "IncludedLocations";
constexpr const char* kExcludedKey = "ExcludedLocations";
constexpr const char* kRulePrefix = "Mapping";

bool IsKeepablePattern(const CString& p) {
  return !p.empty() && p.size() <= CMapping::kMaxPatternLength && platform::reg::IsValidValueName(p);
}

bool SavePatterns(const CString& key, const std::vector<CString>& patterns) {
  bool ok = RegDeleteKeyTree(key);
  // The sub-key exists even when empty, so a load finds the list it was saved with.
  ok &= RegOpenSubKey(key).IsValid();
  for (const auto& p : patterns)
    if (IsKeepablePattern(p)) ok &= RegWriteDWORD(key, p, 0);
  return ok;
}

std::vector<CString> LoadPatterns(const CString& key) {
  std::vector<CString> out;
  for (auto& name : RegEnumValueNames(key)) {
    if (out.size() >= CMapping::kMaxPatterns) break;
    if (IsKeepablePattern(name)) out.push_back(std::move(name));
  }
  return out;
}

void WritePatterns(CArchive& ar, const std::vector<CString>& list) {
  ar.WriteCount(list.size());
  for (const auto& s : list) ar << s;
}

std::vector<CString> ReadPatterns(CArchive& ar) {
  const size_t n = ar.ReadCount(4);
  if (n > CMapping::kMaxPatterns) throw CArchiveException(CArchiveException::badLength, "too many location patterns");
  std::vector<CString> list;
  list.reserve(n);
  for (size_t i = 0; i < n; ++i) list.push_back(ar.ReadString());
  return list;
}

// The user or group `who` names `name` (the user itself, or a member of the group).
bool NamesUser(const CGroupMemberDatabase& users, const CString& who, const CString& name) {
  CLockGuard g(users);
  auto entry = users.Find(who);
  if (!entry) return false;
  if (auto group = std::dynamic_pointer_cast<CGroup>(entry)) return group->Includes(name, users);
  return entry->Includes(name);
}

}  // namespace

// ---- CMapping ---------------------------------------------------------------------------------

bool CMapping::Match(const CMappingRequest& request) const {
  if (!Enabled) return false;
  if (DialerDependent) {
    if (!request.IsConnectionUp || !request.IsConnectionUp(DUNConnectoid)) return false;
  }
  if (SpecifyUser) {
    if (!request.Users || !NamesUser(*request.Users, UserName, request.UserName)) return false;
  }
  if (SpecifyLocation) {
    bool included = false;
    for (const auto& p : IncludedLocations) {
      if (CIPFilter(p).Matches(request.ClientAddress)) {
        included = true;
        break;
      }
    }
    if (!included) return false;
    uint32_t address = 0;
    // An address that is no dotted quad cannot be shown to be outside the excluded patterns.
    if (!ExcludedLocations.empty() && !TryParseIPAddress(request.ClientAddress, &address)) return false;
    for (const auto& p : ExcludedLocations)
      if (CIPFilter(p).MatchesForExclusion(address)) return false;
  }
  return true;
}

bool CMapping::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegWriteString(key, "Host", Destination.Host);
  ok &= RegWriteDWORD(key, "Port", Destination.Port);
  ok &= RegWriteDWORD(key, "DialerDependent", DialerDependent);
  ok &= RegWriteString(key, "DUNConnectoid", DUNConnectoid);
  ok &= RegWriteDWORD(key, "Enabled", Enabled);
  ok &= RegWriteDWORD(key, "SpecifyUser", SpecifyUser);
  ok &= RegWriteDWORD(key, "SpecifyLocation", SpecifyLocation);
  ok &= RegWriteString(key, "UserName", UserName);
  ok &= SavePatterns(key + "\\" + kIncludedKey, IncludedLocations);
  ok &= SavePatterns(key + "\\" + kExcludedKey, ExcludedLocations);
  return ok;
}

void CMapping::Load(const CString& key) {
  Destination.Host = RegReadString(key, "Host", "");
  Destination.Port = RegReadDWORD(key, "Port", 0);
  DialerDependent = RegReadDWORD(key, "DialerDependent", 0);
  DUNConnectoid = RegReadString(key, "DUNConnectoid", "");
  Enabled = RegReadDWORD(key, "Enabled", 1);
  SpecifyUser = RegReadDWORD(key, "SpecifyUser", 0);
  SpecifyLocation = RegReadDWORD(key, "SpecifyLocation", 0);
  UserName = RegReadString(key, "UserName", "");
  IncludedLocations = LoadPatterns(key + "\\" + kIncludedKey);
  ExcludedLocations = LoadPatterns(key + "\\" + kExcludedKey);
}

void CMapping::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << Enabled << SpecifyUser << SpecifyLocation << UserName << DialerDependent << DUNConnectoid;
    ar << Destination.Host << Destination.Port;
    WritePatterns(ar, IncludedLocations);
    WritePatterns(ar, ExcludedLocations);
    return;
  }
  // Read whole before anything changes: a cut or refused form leaves the rule as it was.
  CMapping m;
  ar >> m.Enabled >> m.SpecifyUser >> m.SpecifyLocation;
  m.UserName = ar.ReadString();
  ar >> m.DialerDependent;
  m.DUNConnectoid = ar.ReadString();
  m.Destination.Host = ar.ReadString();
  ar >> m.Destination.Port;
  m.IncludedLocations = ReadPatterns(ar);
  m.ExcludedLocations = ReadPatterns(ar);
  Destination = std::move(m.Destination);
  DialerDependent = m.DialerDependent;
  DUNConnectoid = std::move(m.DUNConnectoid);
  Enabled = m.Enabled;
  SpecifyUser = m.SpecifyUser;
  SpecifyLocation = m.SpecifyLocation;
  UserName = std::move(m.UserName);
  IncludedLocations = std::move(m.IncludedLocations);
  ExcludedLocations = std::move(m.ExcludedLocations);
}

// ---- CMappings --------------------------------------------------------------------------------

CMappings::CMappings() { SetElementClass(TL_RUNTIME_CLASS(CMapping)); }

CMappings::~CMappings() = default;

bool CMappings::Resolve(const CMappingRequest& request, CHostPort& destination) const {
  CLockGuard g(*this);
  try {
    for (const auto& obj : *this) {
      auto* rule = dynamic_cast<const CMapping*>(obj.get());
      if (rule && rule->Match(request)) {
        destination = rule->Destination;
        return true;
      }
    }
  } catch (...) {
    // A rule that cannot be judged refuses: the default is not a fall-back for a broken rule.
    return false;
  }
  if (!AllowDefault) return false;
  destination = Default;
  return true;
}

void CMappings::AddMapping(std::shared_ptr<CMapping> mapping) {
  if (mapping) AddTail(std::move(mapping));
}

std::vector<std::shared_ptr<CMapping>> CMappings::GetMappings() const {
  std::vector<std::shared_ptr<CMapping>> out;
  for (auto& obj : Snapshot())
    if (auto m = std::dynamic_pointer_cast<CMapping>(obj)) out.push_back(std::move(m));
  return out;
}

std::vector<CHostPort> CMappings::GetDestinations() const {
  CLockGuard g(*this);
  std::vector<CHostPort> out;
  for (const auto& obj : *this) {
    auto* rule = dynamic_cast<const CMapping*>(obj.get());
    if (rule && rule->Enabled) out.push_back(rule->Destination);
  }
  if (AllowDefault) out.push_back(Default);
  return out;
}

bool CMappings::Save(const CString& key) const {
  CLockGuard g(*this);
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  ok &= RegWriteDWORD(key, "AllowDefault", AllowDefault);
  ok &= RegWriteString(key, "Host", Default.Host);
  ok &= RegWriteDWORD(key, "Port", Default.Port);
  uint32_t n = 0;
  for (const auto& obj : *this) {
    if (auto* rule = dynamic_cast<const CMapping*>(obj.get()))
      ok &= rule->Save(FormatString("%s\\%s%u", key.c_str(), kRulePrefix, n++));
  }
  return ok;
}

void CMappings::Load(const CString& key) {
  const uint32_t allow = RegReadDWORD(key, "AllowDefault", 1);
  CHostPort def(RegReadString(key, "Host", ""), RegReadDWORD(key, "Port", 0));
  std::vector<std::shared_ptr<CMapping>> rules;
  // In numeric order: first match wins, so Mapping10 must stay after Mapping9.
  for (uint32_t n : RegEnumNumberedSubKeys(key, kRulePrefix)) {
    auto rule = std::make_shared<CMapping>();
    rule->Load(FormatString("%s\\%s%u", key.c_str(), kRulePrefix, n));
    rules.push_back(std::move(rule));
  }
  CLockGuard g(*this);
  AllowDefault = allow;
  Default = std::move(def);
  RemoveAll();
  for (auto& r : rules) AddTail(std::move(r));
}

void CMappings::Serialize(CArchive& ar) {
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << AllowDefault << Default.Host << Default.Port;
    SerializeChecked(ar);
    return;
  }
  uint32_t allow = 0;
  CHostPort def;
  ar >> allow;
  def.Host = ar.ReadString();
  ar >> def.Port;
  SerializeChecked(ar);
  AllowDefault = allow;
  Default = std::move(def);
}
