#include "engine/access/right.h"

#include <algorithm>
#include <string>

#include "engine/access/location.h"
#include "engine/config/reg_helpers.h"
#include "engine/access/user_db.h"

TL_IMPLEMENT_SERIAL(CRecipient, CObject, 1)
TL_IMPLEMENT_SERIAL(CRight, CObject, 1)

const std::array<EngineRightDefinition, 12> kEngineRights = {{
    {"DefaultRights\\Access", kRightAccess, "Users can access services"},
    {"DefaultRights\\StartStop", kRightStartStop, "Users can start/stop services"},
    {"DefaultRights\\Edit", kRightEdit, "Users can modify services"},
    {"SystemRights\\UserAdd", kRightUserAdd, "Users can create and edit users"},
    {"SystemRights\\ServiceAdd", kRightServiceAdd, "Users can create/delete services"},
    {"SystemRights\\ActivityMonitor", kRightActivityMonitor, "Users can monitor activity on this server"},
    {"SystemRights\\ActivityControl", kRightActivityControl, "Users can delete sessions from this server"},
    {"SystemRights\\PolicyEdit", kRightPolicyEdit, "Users can modify system policies"},
    {"SystemRights\\DialerEdit", kRightDialerEdit, "Users can modify and control Trellis Dialer"},
    {"SystemRights\\CacheManagement", kRightCacheManagement, "Users can modify and control Trellis cache"},
    {"SystemRights\\Shutdown", kRightShutdown, "Users can shutdown Trellis"},
    {"SystemRights\\Scheduler", kRightScheduler, "Users can change Trellis Scheduler"},
}};

namespace {

// Value names longer than this are not patterns anybody wrote; they are skipped on loading.
constexpr size_t kMaxPatternName = 512;

using Verdict = CRight::Verdict;

// Either side may allow: the lower level wins. Where both give the same level, the permission
// lasts while either lasts: no end when one has none, else the later end.
Verdict Either(const Verdict& a, const Verdict& b) {
  if (a.level < b.level) return a;
  if (b.level < a.level) return b;
  Verdict v;
  v.level = a.level;
  if (a.hasEnd && b.hasEnd) {
    v.hasEnd = true;
    v.end = a.end < b.end ? b.end : a.end;
  }
  return v;
}

// Both sides must allow: the higher level counts and the permission ends with the first end.
Verdict Both(const Verdict& a, const Verdict& b) {
  Verdict v;
  v.level = std::max(a.level, b.level);
  if (a.hasEnd && b.hasEnd) {
    v.hasEnd = true;
    v.end = a.end < b.end ? a.end : b.end;
  } else if (a.hasEnd || b.hasEnd) {
    v.hasEnd = true;
    v.end = a.hasEnd ? a.end : b.end;
  }
  return v;
}

CDateTime Now(const AccessContext& ctx) { return ctx.clock ? ctx.clock() : CDateTime::GetCurrentTime(); }

// The session's user must be a user account (a group name does not do) and enabled.
bool UserUsable(const CGroupMemberDatabase& users, const CString& name) {
  auto user = users.FindUser(name);
  return user && user->AccountEnabled != 0;
}

// The user or group `who` names `name`; false when `who` is unknown.
bool NamesUser(const CGroupMemberDatabase& users, const CString& who, const CString& name) {
  auto entry = users.Find(who);
  if (!entry) return false;
  if (auto group = std::dynamic_pointer_cast<CGroup>(entry)) return group->Includes(name, users);
  return entry->Includes(name);
}

RequestFilterContext FilterContext(const AccessRequest& request, const AccessContext& ctx) {
  RequestFilterContext f;
  f.request = request.variables;
  f.users = ctx.users;
  f.isProfileConnected = ctx.isProfileConnected;
  return f;
}

// The time restriction: allowed now, and the end of the permission (none when it never changes).
bool TimeAllows(const CTimeFilter& filter, const CDateTime& now, bool* hasEnd, CDateTime* end) {
  if (!now.IsValid() || !filter.Match(now)) return false;
  CDateTime next;
  *hasEnd = filter.GetNextChange(now, next);
  if (*hasEnd) *end = next;
  return true;
}

void WriteStringList(CArchive& ar, const std::vector<CString>& list) {
  ar.WriteCount(list.size());
  for (const auto& s : list) ar << s;
}

std::vector<CString> ReadStringList(CArchive& ar) {
  const size_t n = ar.ReadCount(1);
  std::vector<CString> list;
  list.reserve(n);
  for (size_t i = 0; i < n; ++i) list.push_back(ar.ReadString());
  return list;
}

bool SavePatterns(const CString& key, const std::vector<CString>& patterns) {
  bool ok = RegDeleteKeyTree(key);
  // The sub-key exists even when empty, so a load finds the list it was saved with.
  ok &= RegOpenSubKey(key).IsValid();
  for (const auto& p : patterns) {
    if (p.empty() || p.size() > kMaxPatternName || !platform::reg::IsValidValueName(p)) continue;
    ok &= RegWriteDWORD(key, p, 0);
  }
  return ok;
}

std::vector<CString> LoadPatterns(const CString& key) {
  std::vector<CString> out;
  for (auto& name : RegEnumValueNames(key)) {
    if (!name.empty() && name.size() <= kMaxPatternName) out.push_back(std::move(name));
  }
  return out;
}

void CopyTimeFilter(CTimeFilter& to, const CTimeFilter& from) { to.CopyFrom(from); }

}  // namespace

// ---- CRecipient --------------------------------------------------------------------------------

CRecipient::CRecipient() = default;

CRecipient::CRecipient(const CString& userOrGroup) : UserName(userOrGroup), SpecifyUser(1) {}

bool CRecipient::LocationAllows(uint32_t address) const {
  if (!SpecifyLocation) return true;
  bool included = false;
  for (const auto& p : IncludedLocations) {
    if (CIPFilter(p).Matches(address)) {
      included = true;
      break;
    }
  }
  if (!included) return false;
  for (const auto& p : ExcludedLocations) {
    if (CIPFilter(p).MatchesForExclusion(address)) return false;
  }
  return true;
}

uint32_t CRecipient::Match(AccessRequest& request, const AccessContext& ctx, AccessStage stage, const CDateTime& now,
                           bool* hasEnd, CDateTime* endTime) const {
  *hasEnd = false;
  try {
    if (!ctx.users) return kLevelRefused;
    uint32_t level = ClampSecurityLevel(request.level);
    bool needsLogin = false;
    {
      CLockGuard guard(*ctx.users);
      bool refused = !UserUsable(*ctx.users, request.userName);
      bool loginHelps = true;
      if (SpecifyUser) {
        if (!ctx.users->Find(UserName)) {
          refused = true;
          loginHelps = false;  // nobody can log in as a member of what does not exist
        } else if (!NamesUser(*ctx.users, UserName, request.userName)) {
          refused = true;
        }
      }
      if (refused && loginHelps) {
        const uint32_t canReach = ClampSecurityLevel(request.authenticatedLevel);
        if (canReach > level) {
          needsLogin = true;
          refused = false;
        } else if (level == kLevelAssumed && canReach == kLevelAssumed) {
          // The assumed user is not the one this recipient wants, and the protocol's login gives
          // level 1 only: the session becomes a guest that must log in. The lowered level stays
          // for the recipients after this one and for the session itself.
          request.level = kLevelGuest;
          level = kLevelGuest;
          needsLogin = true;
          refused = false;
        }
      }
      if (refused) return kLevelRefused;
    }

    if (!LocationAllows(request.clientAddress)) return kLevelRefused;

    bool timed = false;
    CDateTime end;
    if (SpecifyTime && !TimeAllows(TimeFilter, now, &timed, &end)) return kLevelRefused;

    const bool requestKnown = stage != AccessStage::Accept;
    const RequestFilterContext filterCtx = FilterContext(request, ctx);
    if (SpecifyBan && requestKnown) {
      if (BanFilter.Bans(filterCtx)) return kLevelRefused;
    }
    uint32_t byRequest = kLevelGuest;
    if (SpecifyRequest && requestKnown) {
      byRequest = ClampSecurityLevel(RequestFilter.GetRequiredLevel(filterCtx));
      if (byRequest == kLevelRefused) return kLevelRefused;
    }

    uint32_t result = std::max(byRequest, ClampSecurityLevel(MinimumSecurityLevel));
    if (needsLogin) result = std::max(result, std::min<uint32_t>(level + 1, kLevelRefused));
    if (result < kLevelRefused && timed) {
      *hasEnd = true;
      *endTime = end;
    }
    return result;
  } catch (...) {
    *hasEnd = false;
    return kLevelRefused;
  }
}

bool CRecipient::Grants(const AccessRequest& request, const AccessContext& ctx, AccessStage stage,
                        const CDateTime& now, bool* hasEnd, CDateTime* endTime) const {
  *hasEnd = false;
  try {
    if (ClampSecurityLevel(MinimumSecurityLevel) > ClampSecurityLevel(request.level)) return false;
    if (SpecifyUser) {
      if (!ctx.users) return false;
      CLockGuard guard(*ctx.users);
      if (!NamesUser(*ctx.users, UserName, request.userName)) return false;
    }
    if (!LocationAllows(request.clientAddress)) return false;
    bool timed = false;
    CDateTime end;
    if (SpecifyTime && !TimeAllows(TimeFilter, now, &timed, &end)) return false;
    const bool requestKnown = stage != AccessStage::Accept;
    const RequestFilterContext filterCtx = FilterContext(request, ctx);
    if (SpecifyBan && requestKnown) {
      if (BanFilter.Bans(filterCtx)) return false;
    }
    if (SpecifyRequest && requestKnown) {
      if (!RequestFilter.AnyMatches(filterCtx)) return false;
    }
    if (timed) {
      *hasEnd = true;
      *endTime = end;
    }
    return true;
  } catch (...) {
    *hasEnd = false;
    return false;
  }
}

CString CRecipient::GetRestrictionDescription() const {
  std::vector<const char*> kinds;
  if (MinimumSecurityLevel != 0) kinds.push_back("security level");
  if (SpecifyLocation) kinds.push_back("location");
  if (SpecifyTime) kinds.push_back("time");
  if (SpecifyBan) kinds.push_back("ban list");
  if (SpecifyRequest) kinds.push_back("request");
  if (kinds.empty()) return "Unrestricted Rights";
  CString text = "Restricted by ";
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (i) text += ", ";
    text += kinds[i];
  }
  return text;
}

void CRecipient::CopyFrom(const CRecipient& other) {
  if (&other == this) return;
  UserName = other.UserName;
  Description = other.Description;
  SpecifyUser = other.SpecifyUser;
  SpecifyLocation = other.SpecifyLocation;
  SpecifyTime = other.SpecifyTime;
  SpecifyBan = other.SpecifyBan;
  SpecifyRequest = other.SpecifyRequest;
  IncludedLocations = other.IncludedLocations;
  ExcludedLocations = other.ExcludedLocations;
  MinimumSecurityLevel = other.MinimumSecurityLevel;
  CopyTimeFilter(TimeFilter, other.TimeFilter);
  BanFilter.CopyFrom(other.BanFilter);
  RequestFilter.CopyFrom(other.RequestFilter);
}

bool CRecipient::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegWriteString(key, "UserName", UserName);
  ok &= RegWriteString(key, "Description", Description);
  ok &= RegWriteDWORD(key, "SpecifyUser", SpecifyUser);
  ok &= RegWriteDWORD(key, "SpecifyLocation", SpecifyLocation);
  ok &= RegWriteDWORD(key, "SpecifyTime", SpecifyTime);
  ok &= RegWriteDWORD(key, "SpecifyBan", SpecifyBan);
  ok &= RegWriteDWORD(key, "SpecifyRequest", SpecifyRequest);
  ok &= RegWriteDWORD(key, "MinimumSecurityLevel", ClampSecurityLevel(MinimumSecurityLevel));
  ok &= SavePatterns(key + "\\IncludedLocations", IncludedLocations);
  ok &= SavePatterns(key + "\\ExcludedLocations", ExcludedLocations);
  ok &= TimeFilter.SaveToRegistry(key + "\\TimeFilter");
  ok &= BanFilter.SaveToRegistry(key + "\\BanFilter");
  ok &= RequestFilter.Save(key + "\\RequestFilter");
  return ok;
}

bool CRecipient::Load(const CString& key) {
  UserName = RegReadString(key, "UserName", "");
  Description = RegReadString(key, "Description", "");
  SpecifyUser = RegReadDWORD(key, "SpecifyUser", 0);
  SpecifyLocation = RegReadDWORD(key, "SpecifyLocation", 0);
  SpecifyTime = RegReadDWORD(key, "SpecifyTime", 0);
  SpecifyBan = RegReadDWORD(key, "SpecifyBan", 0);
  SpecifyRequest = RegReadDWORD(key, "SpecifyRequest", 0);
  MinimumSecurityLevel = static_cast<int32_t>(
      ClampSecurityLevel(static_cast<int32_t>(RegReadDWORD(key, "MinimumSecurityLevel", 0))));
  IncludedLocations = LoadPatterns(key + "\\IncludedLocations");
  ExcludedLocations = LoadPatterns(key + "\\ExcludedLocations");
  bool ok = TimeFilter.LoadFromRegistry(key + "\\TimeFilter");
  ok &= BanFilter.LoadFromRegistry(key + "\\BanFilter");
  ok &= RequestFilter.Load(key + "\\RequestFilter");
  return ok;
}

void CRecipient::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << UserName << Description;
    ar << SpecifyUser << SpecifyLocation << SpecifyTime << SpecifyBan << SpecifyRequest;
    ar << static_cast<int32_t>(ClampSecurityLevel(MinimumSecurityLevel));
    WriteStringList(ar, IncludedLocations);
    WriteStringList(ar, ExcludedLocations);
    TimeFilter.Serialize(ar);
    BanFilter.Serialize(ar);
    RequestFilter.SerializeChecked(ar);
    return;
  }
  CString user = ar.ReadString();
  CString description = ar.ReadString();
  uint32_t flags[5];
  for (auto& f : flags) ar >> f;
  int32_t minimum = 0;
  ar >> minimum;
  auto included = ReadStringList(ar);
  auto excluded = ReadStringList(ar);
  CTimeFilter time;
  time.Serialize(ar);
  CRequestFilter ban;
  ban.Serialize(ar);
  CRequestFilterCollection byRequest;
  byRequest.SerializeChecked(ar);
  CopyTimeFilter(TimeFilter, time);
  BanFilter.CopyFrom(ban);
  RequestFilter.CopyFrom(byRequest);
  UserName = std::move(user);
  Description = std::move(description);
  SpecifyUser = flags[0];
  SpecifyLocation = flags[1];
  SpecifyTime = flags[2];
  SpecifyBan = flags[3];
  SpecifyRequest = flags[4];
  MinimumSecurityLevel = static_cast<int32_t>(ClampSecurityLevel(minimum));
  IncludedLocations = std::move(included);
  ExcludedLocations = std::move(excluded);
}

// ---- CRight ------------------------------------------------------------------------------------

CRight::CRight() { Recipients.SetElementClass(TL_RUNTIME_CLASS(CRecipient)); }

const CRight* CRight::DefaultRight(const AccessContext& ctx) const {
  if (RightType < 0 || RightType > kRightEdit) return nullptr;
  const CRight* d = ctx.defaultRights[static_cast<size_t>(RightType)];
  return d == this ? nullptr : d;
}

CRight::Verdict CRight::CheckVerdict(AccessRequest& request, const AccessContext& ctx, AccessStage stage,
                                     const CDateTime& now, bool consultDefault) const {
  // A default right is consulted as if its own mode were 0; the right itself is never written.
  const int32_t mode = consultDefault ? IncludeDefaultRights : kDefaultRightsIgnored;
  if (mode < kDefaultRightsIgnored || mode > kDefaultRightsBoth) return Verdict{};
  const CRight* dflt = consultDefault ? DefaultRight(ctx) : nullptr;

  Verdict fromDefault;
  if (mode == kDefaultRightsEither && dflt) {
    fromDefault = dflt->CheckVerdict(request, ctx, stage, now, false);
    if (fromDefault.level == kLevelGuest) return fromDefault;
  } else if (mode == kDefaultRightsBoth && dflt) {
    fromDefault = dflt->CheckVerdict(request, ctx, stage, now, false);
    if (fromDefault.level >= kLevelRefused) return Verdict{};
  }

  Verdict own;
  {
    CLockGuard guard(Recipients);
    for (const auto& obj : Recipients) {
      const auto* rc = dynamic_cast<const CRecipient*>(obj.get());
      if (!rc) continue;
      Verdict v;
      v.level = rc->Match(request, ctx, stage, now, &v.hasEnd, &v.end);
      own = Either(own, v);
      if (own.level == kLevelGuest) break;
    }
  }
  if (mode == kDefaultRightsBoth) return Both(fromDefault, own);
  return Either(fromDefault, own);
}

AccessDecision CRight::Decide(AccessRequest& request, const AccessContext& ctx, AccessStage stage) const {
  AccessDecision d;
  Verdict v;
  try {
    v = CheckVerdict(request, ctx, stage, Now(ctx), true);
  } catch (...) {
    v = Verdict{};
  }
  d.level = ClampSecurityLevel(v.level);
  d.sessionLevel = ClampSecurityLevel(request.level);
  if (d.level >= kLevelRefused) {
    d.result = AccessResult::Refused;
  } else if (d.sessionLevel >= d.level) {
    d.result = AccessResult::Allowed;
  } else if (ClampSecurityLevel(request.authenticatedLevel) >= d.level) {
    d.result = AccessResult::LoginRequired;
  } else {
    d.result = AccessResult::Refused;
  }
  if (d.result != AccessResult::Refused && v.hasEnd) {
    d.endTimeEnabled = true;
    d.endTime = v.end;
  }
  return d;
}

uint32_t CRight::Check(AccessRequest& request, const AccessContext& ctx, AccessStage stage) const {
  return Decide(request, ctx, stage).level;
}

bool CRight::GrantVerdict(const AccessRequest& request, const AccessContext& ctx, AccessStage stage,
                          const CDateTime& now, bool consultDefault, Verdict* out) const {
  if (!ctx.users) return false;
  {
    CLockGuard guard(*ctx.users);
    if (!UserUsable(*ctx.users, request.userName)) return false;
  }
  const int32_t mode = consultDefault ? IncludeDefaultRights : kDefaultRightsIgnored;
  if (mode < kDefaultRightsIgnored || mode > kDefaultRightsBoth) return false;
  const CRight* dflt = consultDefault ? DefaultRight(ctx) : nullptr;

  Verdict fromDefault;
  if (mode == kDefaultRightsEither && dflt) {
    if (dflt->GrantVerdict(request, ctx, stage, now, false, &fromDefault)) {
      *out = fromDefault;
      return true;
    }
  } else if (mode == kDefaultRightsBoth && dflt) {
    if (!dflt->GrantVerdict(request, ctx, stage, now, false, &fromDefault)) return false;
  }

  Verdict own;
  bool granted = false;
  {
    CLockGuard guard(Recipients);
    for (const auto& obj : Recipients) {
      const auto* rc = dynamic_cast<const CRecipient*>(obj.get());
      if (rc && rc->Grants(request, ctx, stage, now, &own.hasEnd, &own.end)) {
        granted = true;
        break;
      }
    }
  }
  if (!granted) return false;
  own.level = kLevelGuest;
  *out = (mode == kDefaultRightsBoth && dflt) ? Both(fromDefault, own) : own;
  return true;
}

bool CRight::IsGranted(const AccessRequest& request, const AccessContext& ctx, AccessStage stage,
                       AccessDecision* decision) const {
  Verdict v;
  bool granted = false;
  try {
    granted = GrantVerdict(request, ctx, stage, Now(ctx), true, &v);
  } catch (...) {
    granted = false;
  }
  if (decision) {
    *decision = AccessDecision{};
    decision->sessionLevel = ClampSecurityLevel(request.level);
    if (granted) {
      decision->result = AccessResult::Allowed;
      decision->level = kLevelGuest;
      decision->endTimeEnabled = v.hasEnd;
      if (v.hasEnd) decision->endTime = v.end;
    }
  }
  return granted;
}

void CRight::AddRecipient(std::shared_ptr<CRecipient> recipient) {
  if (recipient) Recipients.AddTail(std::move(recipient));
}

void CRight::AddRecipientByName(const CString& userOrGroup) { AddRecipient(std::make_shared<CRecipient>(userOrGroup)); }

std::vector<std::shared_ptr<CRecipient>> CRight::GetRecipients() const {
  std::vector<std::shared_ptr<CRecipient>> out;
  for (const auto& obj : Recipients.Snapshot()) {
    if (auto rc = std::dynamic_pointer_cast<CRecipient>(obj)) out.push_back(std::move(rc));
  }
  return out;
}

void CRight::CopyFrom(const CRight& other) {
  if (&other == this) return;
  int32_t type, mode;
  CString description;
  {
    CLockGuard guard(other.Recipients);
    type = other.RightType;
    description = other.Description;
    mode = other.IncludeDefaultRights;
  }
  std::vector<std::shared_ptr<CObject>> copies;
  for (const auto& rc : other.GetRecipients()) {
    auto copy = std::make_shared<CRecipient>();
    copy->CopyFrom(*rc);
    copies.push_back(std::move(copy));
  }
  // The list's lock also guards the three values: a live right is copied into (a console's upload,
  // a reload) while other threads send it.
  CLockGuard guard(Recipients);
  RightType = type;
  Description = std::move(description);
  IncludeDefaultRights = mode;
  Recipients.RemoveAll();
  for (auto& c : copies) Recipients.AddTail(std::move(c));
}

bool CRight::FillDefaults(int32_t code, const CString& description) {
  if (!Description.empty()) return false;
  RightType = code;
  Description = description;
  // The empty description marks a right that was never set up, so it gets its default recipient
  // beside whatever it holds.
  if (code == kRightAccess)
    AddRecipient(std::make_shared<CRecipient>());
  else
    AddRecipientByName("Administrators");
  return true;
}

bool CRight::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  ok &= RegWriteDWORD(key, "RightType", static_cast<uint32_t>(RightType));
  ok &= RegWriteString(key, "Description", Description);
  ok &= RegWriteDWORD(key, "IncludeDefaultRights", static_cast<uint32_t>(IncludeDefaultRights));
  CLockGuard guard(Recipients);
  uint32_t index = 0;
  for (const auto& obj : Recipients) {
    const auto* rc = dynamic_cast<const CRecipient*>(obj.get());
    if (!rc) continue;
    ok &= rc->Save(key + "\\Recipient" + std::to_string(index++));
  }
  return ok;
}

bool CRight::Load(const CString& key) {
  RightType = static_cast<int32_t>(RegReadDWORD(key, "RightType", 0));
  Description = RegReadString(key, "Description", "");
  IncludeDefaultRights = static_cast<int32_t>(RegReadDWORD(key, "IncludeDefaultRights", 1));
  std::vector<std::shared_ptr<CObject>> loaded;
  bool ok = true;
  for (uint32_t n : RegEnumNumberedSubKeys(key, "Recipient")) {
    auto rc = std::make_shared<CRecipient>();
    ok &= rc->Load(key + "\\Recipient" + std::to_string(n));
    loaded.push_back(std::move(rc));
  }
  std::vector<std::shared_ptr<CObject>> old;
  {
    CLockGuard guard(Recipients);
    while (auto obj = Recipients.RemoveHead()) old.push_back(std::move(obj));
    for (auto& rc : loaded) Recipients.AddTail(std::move(rc));
  }
  return ok;
}

void CRight::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    CLockGuard guard(Recipients);
    ar << RightType << Description << IncludeDefaultRights;
    Recipients.SerializeChecked(ar);
    return;
  }
  int32_t type = 0;
  int32_t mode = 0;
  ar >> type;
  CString description = ar.ReadString();
  ar >> mode;
  Recipients.SerializeChecked(ar);
  RightType = type;
  Description = std::move(description);
  IncludeDefaultRights = mode;
}
