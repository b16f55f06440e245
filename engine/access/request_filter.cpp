#include "engine/access/request_filter.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/access/group.h"
#include "engine/access/right.h"
#include "engine/access/user_db.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL(CRequestCriterion, CFilterComponent, 1)
TL_IMPLEMENT_SERIAL(CCachePurgeCriterion, CRequestCriterion, 1)
TL_IMPLEMENT_SERIAL(CRequestFilter, CFilterComponent, 1)
TL_IMPLEMENT_SERIAL(CRequestFilterCollection, CLockableList, 1)

namespace {

struct VariableRow {
  const char* name;
  int32_t kind;
};

const VariableRow kProperties[kPropertyCount] = {
    {"Client IP number", TL_DATA_STRING},
    {"Client port number", TL_DATA_DWORD},
    {"Server name", TL_DATA_STRING},
    {"Server port number", TL_DATA_DWORD},
    {"User: Username", TL_DATA_STRING},
    {"User: Authentication level", TL_DATA_INTEGER},
    {"User: Bytes sent to client", TL_DATA_DWORD},
    {"User: Bytes received from client", TL_DATA_DWORD},
    {"User: Bytes sent for client", TL_DATA_DWORD},
    {"User: Bytes received for client", TL_DATA_DWORD},
    {"User: Seconds on line", TL_DATA_DWORD},
    {"User: Account balance", TL_DATA_INTEGER},
    {"HTTP Protocol", TL_DATA_STRING},
    {"HTTP Method", TL_DATA_STRING},
    {"HTTP Resource", TL_DATA_STRING},
    {"HTTP URL", TL_DATA_STRING},
    {"HTTP POST data", TL_DATA_STRING},
    {"HTTP Query string", TL_DATA_STRING},
    {"HTTP Header field", TL_DATA_STRING},
    {"POP3 Username", TL_DATA_STRING},
    {"FTP Username", TL_DATA_STRING},
    {"VDOLive File", TL_DATA_STRING},
    {"SOCKS Protocol version", TL_DATA_DWORD},
    {"SOCKS Command", TL_DATA_DWORD},
    {"SOCKS Address type", TL_DATA_DWORD},
    {"XDMA Filename", TL_DATA_STRING},
    {"Session description", TL_DATA_STRING},
    {"Client NetBIOS name", TL_DATA_STRING},
    {"Client MAC address", TL_DATA_STRING},
    {"Is non-proxy request", TL_DATA_BOOLEAN},
    {"Client is a DHCP Client", TL_DATA_BOOLEAN},
    {"Session was handed over", TL_DATA_BOOLEAN},
    {"User is member of", TL_DATA_GROUP},
    {"Dialer is on line", TL_DATA_PROFILE},
    {"Server IP address", TL_DATA_STRING},
};

const VariableRow kCacheFields[kCacheFieldCount] = {
    {"URL", TL_DATA_STRING},
    {"Cachefile name", TL_DATA_STRING},
    {"Cachefile size (bytes)", TL_DATA_DWORD},
    {"Content type", TL_DATA_STRING},
    {"Hit count", TL_DATA_DWORD},
    {"Hit count times file size (bytes)", TL_DATA_DOUBLE},
    {"Relative Cache efficiency (%)", TL_DATA_DOUBLE},
    {"Time since last hit (hrs)", TL_DATA_DWORD},
    {"Time since last modified (hrs)", TL_DATA_DWORD},
};

const char* const kComparisons[TL_COMPARE_COUNT] = {
    "equals", "greater than", "less than", "contains", "begins with", "ends with", "is empty", "is TRUE", "is FALSE",
};

constexpr const char* kServerAddressUnknown = "255.255.255.255";

// Case is folded for ASCII letters only, so that an answer never depends on the engine's locale.
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool ContainsFolded(std::string_view hay, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > hay.size()) return false;
  for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
    if (EqualFolded(hay.substr(i, needle.size()), needle)) return true;
  return false;
}

// A snapshot of a criterion's fields, taken under its lock, so a test never reads a half-changed
// criterion.
struct Fields {
  int32_t comparison;
  int32_t index;
  CString variableName;
  CTLDataObject value;
  bool negate;
};

Fields Snapshot(const CRequestCriterion& c) {
  CLockGuard guard(c);
  Fields f{c.Comparison, c.DataIndex, c.VariableName, CTLDataObject(), c.Not != 0};
  f.value.CopyFrom(c.Value);
  return f;
}

std::vector<std::shared_ptr<CRequestCriterion>> CriteriaOf(const CLockableList& list) {
  std::vector<std::shared_ptr<CRequestCriterion>> out;
  CLockGuard guard(list);
  for (const auto& obj : list) {
    if (!obj) continue;  // a null entry of a received list tests nothing
    auto c = std::dynamic_pointer_cast<CRequestCriterion>(obj);
    // Only criteria can be put in the list; anything else is a broken filter.
    if (!c) throw std::runtime_error("not a criterion in a request filter");
    out.push_back(std::move(c));
  }
  return out;
}

bool SkipsServerAddress(const RequestFilterContext& ctx) {
  if (!ctx.request) throw std::runtime_error("no request to evaluate");
  CTLDataObject v;
  v.SetString("");
  ctx.request->GetProperty(kPropServerIPAddress, v);
  return v.EqualsText(kServerAddressUnknown);
}

}  // namespace

const char* GetPropertyName(uint32_t code) { return code < kPropertyCount ? kProperties[code].name : nullptr; }
const char* GetCacheFieldName(uint32_t code) { return code < kCacheFieldCount ? kCacheFields[code].name : nullptr; }
const char* GetComparisonName(int32_t code) {
  return code >= 0 && code < TL_COMPARE_COUNT ? kComparisons[code] : nullptr;
}
int32_t GetPropertyKind(int32_t code) {
  return code >= 0 && code < static_cast<int32_t>(kPropertyCount) ? kProperties[code].kind : -1;
}
int32_t GetCacheFieldKind(int32_t code) {
  return code >= 0 && code < static_cast<int32_t>(kCacheFieldCount) ? kCacheFields[code].kind : -1;
}

// ---- CRequestCriterion ------------------------------------------------------------------------

CRequestCriterion::CRequestCriterion() {
  // An unset value is an empty text: "is empty" then holds for a header that is absent.
  Value.SetString("");
}

void CRequestCriterion::CheckCodes(int32_t comparison, int32_t variableKind) {
  if (variableKind < 0) throw std::runtime_error("criterion on an unknown variable");
  if (comparison < 0 || comparison >= TL_COMPARE_COUNT)
    throw std::runtime_error("criterion with an unknown comparison");
}

bool CRequestCriterion::SuitsKind(int32_t comparison, uint32_t kind) {
  if (comparison < 0 || comparison >= TL_COMPARE_COUNT) return false;
  switch (kind) {
    case TL_DATA_INTEGER:
    case TL_DATA_DWORD:
    case TL_DATA_DOUBLE:
      return comparison == TL_COMPARE_EQUALS || comparison == TL_COMPARE_GREATER || comparison == TL_COMPARE_LESS;
    case TL_DATA_STRING:
      return comparison == TL_COMPARE_EQUALS || (comparison >= TL_COMPARE_CONTAINS && comparison <= TL_COMPARE_EMPTY);
    case TL_DATA_BOOLEAN:
      return comparison == TL_COMPARE_TRUE || comparison == TL_COMPARE_FALSE;
    default:
      return kind >= 5;
  }
}

bool CRequestCriterion::Compare(int32_t comparison, const CTLDataObject& c, const CTLDataObject& v) {
  const std::string_view cs = c.strData;
  const std::string_view vs = v.strData;
  switch (comparison) {
    case TL_COMPARE_EQUALS: return c.IsEqual(v);
    case TL_COMPARE_GREATER: return v.IsGreaterThan(c);
    case TL_COMPARE_LESS: return v.IsLessThan(c);
    case TL_COMPARE_CONTAINS: return ContainsFolded(vs, cs);
    case TL_COMPARE_BEGINS: return vs.size() >= cs.size() && EqualFolded(vs.substr(0, cs.size()), cs);
    // A variable shorter than the text cannot end with it.
    case TL_COMPARE_ENDS: return vs.size() >= cs.size() && EqualFolded(vs.substr(vs.size() - cs.size()), cs);
    case TL_COMPARE_EMPTY: return vs.empty();
    case TL_COMPARE_TRUE: return v.nData != 0;
    case TL_COMPARE_FALSE: return v.nData == 0;
    default: return false;
  }
}

bool CRequestCriterion::Evaluate(const RequestFilterContext& ctx) const {
  const Fields f = Snapshot(*this);
  // A code this engine does not know says nothing it could test: the filter holding it is invalid,
  // so it refuses rather than answering "no" (which Not would turn into "yes", and which would make
  // a ban ban nothing).
  CheckCodes(f.comparison, GetPropertyKind(f.index));
  if (!SuitsKind(f.comparison, f.value.DataType)) return false;
  if (!ctx.request) throw std::runtime_error("no request to evaluate");
  bool holds = false;
  if (f.index == static_cast<int32_t>(kPropUserMemberOf)) {
    if (!ctx.users) throw std::runtime_error("no user database for a group test");
    const CString user = ctx.request->GetUserName();
    // The database's lock is held across the lookup and the membership test, so the group can
    // neither go away in between nor be reached in the opposite lock order.
    CLockGuard guard(*ctx.users);
    auto group = std::dynamic_pointer_cast<CGroup>(ctx.users->Find(f.variableName));
    holds = group && group->Includes(user, *ctx.users);
  } else if (f.index == static_cast<int32_t>(kPropDialerOnLine)) {
    if (!ctx.isProfileConnected) throw std::runtime_error("no dialer for a profile test");
    holds = ctx.isProfileConnected(f.variableName);
  } else {
    CTLDataObject v;
    v.SetString("");
    if (f.index == static_cast<int32_t>(kPropHTTPHeaderField)) {
      CString text;
      if (ctx.request->GetHeaderField(f.variableName, text)) v.SetString(text);
    } else {
      ctx.request->GetProperty(static_cast<uint32_t>(f.index), v);
    }
    holds = Compare(f.comparison, f.value, v);
  }
  return f.negate ? !holds : holds;
}

uint32_t CRequestCriterion::GetRequiredLevel(const RequestFilterContext& ctx) const {
  const Fields f = Snapshot(*this);
  if (f.index != static_cast<int32_t>(kPropUserLevel)) return Evaluate(ctx) ? kLevelGuest : kLevelRefused;
  CheckCodes(f.comparison, GetPropertyKind(f.index));
  if (!ctx.request) throw std::runtime_error("no request to evaluate");
  CTLDataObject level;
  level.SetInteger(0);
  ctx.request->GetProperty(kPropUserLevel, level);
  // Levels are 0..3 whatever was stored: a stored 1000 or INT_MAX asks no more than "refused".
  const uint32_t v = ClampSecurityLevel(f.value.nData);
  const bool comparable = f.value.DataType == TL_DATA_INTEGER && level.DataType == TL_DATA_INTEGER;
  const uint32_t l = ClampSecurityLevel(level.nData);
  switch (f.comparison) {
    case TL_COMPARE_EQUALS: return f.negate ? (v == 0 ? kLevelAssumed : kLevelGuest) : v;
    case TL_COMPARE_GREATER:
      if (!f.negate) return std::min<uint32_t>(v + 1, kLevelRefused);
      return comparable && l > v ? kLevelRefused : kLevelGuest;
    case TL_COMPARE_LESS:
      // "Less than v" admits sessions below v and refuses the others; "not less than v" asks v.
      // (Answering 0 for everybody would let the criterion grant what it was written to limit.)
      if (!f.negate) return comparable && l < v ? kLevelGuest : kLevelRefused;
      return v;
    default: return kLevelRefused;
  }
}

CString CRequestCriterion::Describe(const char* name, int32_t kind) const {
  const Fields f = Snapshot(*this);
  const char* p = f.negate ? "Not " : "";
  const char* o = GetComparisonName(f.comparison);
  if (!o) o = "?";
  switch (kind) {
    case TL_DATA_INTEGER: return FormatString("%s%s %s %i", p, name, o, f.value.nData);
    case TL_DATA_DWORD: return FormatString("%s%s %s %u", p, name, o, f.value.dwData);
    case TL_DATA_STRING:
      if (f.index == static_cast<int32_t>(kPropHTTPHeaderField) && !IsKindOf(TL_RUNTIME_CLASS(CCachePurgeCriterion)))
        return FormatString("%s%s %s %s \"%s\"", p, name, f.variableName.c_str(), o, f.value.strData.c_str());
      return FormatString("%s%s %s \"%s\"", p, name, o, f.value.strData.c_str());
    case TL_DATA_DOUBLE: return FormatString("%s%s %s %g", p, name, o, f.value.dData);
    case TL_DATA_BOOLEAN: return FormatString("%s%s %s", p, name, o);
    default: {
      CLockGuard guard(*this);
      return Description;
    }
  }
}

CString CRequestCriterion::GetDescription() const {
  int32_t index;
  CString variable;
  bool negate;
  {
    CLockGuard guard(*this);
    index = DataIndex;
    variable = VariableName;
    negate = Not != 0;
  }
  if (index == static_cast<int32_t>(kPropUserMemberOf))
    return FormatString("User is %smember of group %s", negate ? "not " : "", variable.c_str());
  if (index == static_cast<int32_t>(kPropDialerOnLine))
    return FormatString("Dialer %s is %son line", variable.c_str(), negate ? "not " : "");
  const char* name = GetPropertyName(static_cast<uint32_t>(index));
  if (!name || index < 0) return FormatString("Unknown variable %d", index);
  return Describe(name, GetPropertyKind(index));
}

std::shared_ptr<CRequestCriterion> CRequestCriterion::Clone() const {
  CArchive out;
  const_cast<CRequestCriterion*>(this)->Serialize(out);
  std::shared_ptr<CRequestCriterion> copy;
  if (IsKindOf(TL_RUNTIME_CLASS(CCachePurgeCriterion)))
    copy = std::make_shared<CCachePurgeCriterion>();
  else
    copy = std::make_shared<CRequestCriterion>();
  CArchive in(out.Bytes().data(), out.Bytes().size());
  copy->Serialize(in);
  return copy;
}

bool CRequestCriterion::SaveToRegistry(const CString& key) const {
  CLockGuard guard(*this);
  RegBatch batch;
  bool ok = RegWriteString(key, "Type", GetRuntimeClass()->m_className);
  ok &= CFilterComponent::SaveToRegistry(key);
  ok &= RegWriteDWORD(key, "Comparison", static_cast<uint32_t>(Comparison));
  ok &= RegWriteDWORD(key, "DataIndex", static_cast<uint32_t>(DataIndex));
  ok &= RegWriteString(key, "VariableName", VariableName);
  ok &= RegWriteDWORD(key, "Not", static_cast<uint32_t>(Not));
  ok &= Value.Save(key);
  return ok;
}

bool CRequestCriterion::LoadFromRegistry(const CString& key) {
  CLockGuard guard(*this);
  CFilterComponent::LoadFromRegistry(key);
  Comparison = static_cast<int32_t>(RegReadDWORD(key, "Comparison", 0));
  DataIndex = static_cast<int32_t>(RegReadDWORD(key, "DataIndex", 0));
  VariableName = RegReadString(key, "VariableName", "");
  Not = static_cast<int32_t>(RegReadDWORD(key, "Not", 0));
  return Value.Load(key);
}

void CRequestCriterion::Serialize(CArchive& ar) {
  CLockGuard guard(*this);
  if (ar.IsStoring()) {
    CFilterComponent::Serialize(ar);
    ar << Comparison << DataIndex << VariableName << Not;
    Value.Serialize(ar);
    return;
  }
  // Everything is read before anything changes, so a short stream leaves the criterion as it was.
  CString name = ar.ReadString();
  CString description = ar.ReadString();
  int32_t comparison = 0, index = 0, negate = 0;
  CString variable;
  ar >> comparison >> index >> variable >> negate;
  CTLDataObject value;
  value.Serialize(ar);
  Name = std::move(name);
  Description = std::move(description);
  Comparison = comparison;
  DataIndex = index;
  VariableName = std::move(variable);
  Not = negate;
  Value.CopyFrom(value);
}

// ---- CCachePurgeCriterion ---------------------------------------------------------------------

bool CCachePurgeCriterion::Evaluate(const RequestFilterContext&) const {
  throw std::runtime_error("a purge criterion tests cache entries only");
}

uint32_t CCachePurgeCriterion::GetRequiredLevel(const RequestFilterContext&) const {
  throw std::runtime_error("a purge criterion tests cache entries only");
}

bool CCachePurgeCriterion::EvaluateEntry(const ICacheEntryFields& entry) const {
  const Fields f = Snapshot(*this);
  CheckCodes(f.comparison, GetCacheFieldKind(f.index));
  if (!SuitsKind(f.comparison, f.value.DataType)) return false;
  CTLDataObject v;
  v.SetString("");
  entry.GetField(static_cast<uint32_t>(f.index), v);
  // Entries have no yes/no fields.
  const bool holds =
      f.comparison != TL_COMPARE_TRUE && f.comparison != TL_COMPARE_FALSE && Compare(f.comparison, f.value, v);
  return f.negate ? !holds : holds;
}

CString CCachePurgeCriterion::GetDescription() const {
  int32_t index;
  {
    CLockGuard guard(*this);
    index = DataIndex;
  }
  const char* name = GetCacheFieldName(static_cast<uint32_t>(index));
  if (!name || index < 0) return FormatString("Unknown variable %d", index);
  return Describe(name, GetCacheFieldKind(index));
}

// ---- CRequestFilter ---------------------------------------------------------------------------

CRequestFilter::CRequestFilter() { Criteria.SetElementClass(TL_RUNTIME_CLASS(CRequestCriterion)); }

bool CRequestFilter::Match(const RequestFilterContext& ctx, bool all) const {
  if (m_incomplete) throw std::runtime_error("request filter lost criteria on loading");
  const bool skipServer = SkipsServerAddress(ctx);
  CLockGuard guard(Criteria);
  for (const auto& c : CriteriaOf(Criteria)) {
    if (skipServer && c->DataIndex == static_cast<int32_t>(kPropServerIPAddress)) continue;
    const bool holds = c->Evaluate(ctx);
    if (all && !holds) return false;
    if (!all && holds) return true;
  }
  return all;
}

bool CRequestFilter::Bans(const RequestFilterContext& ctx) const {
  try {
    return Match(ctx, false);
  } catch (...) {
    return true;  // a ban that cannot be evaluated bans
  }
}

uint32_t CRequestFilter::GetRequiredLevel(const RequestFilterContext& ctx) const {
  try {
    if (m_incomplete) return kLevelRefused;
    const bool skipServer = SkipsServerAddress(ctx);
    CLockGuard guard(Criteria);
    uint32_t m = kLevelGuest;
    for (const auto& c : CriteriaOf(Criteria)) {
      if (skipServer && c->DataIndex == static_cast<int32_t>(kPropServerIPAddress)) continue;
      const uint32_t l = ClampSecurityLevel(c->GetRequiredLevel(ctx));
      if (l == kLevelRefused) return kLevelRefused;
      m = std::max(m, l);
    }
    return m;
  } catch (...) {
    return kLevelRefused;  // an access decision that fails refuses
  }
}

bool CRequestFilter::MatchCacheEntry(const ICacheEntryFields& entry) const {
  try {
    if (m_incomplete) return false;
    CLockGuard guard(Criteria);
    for (const auto& c : CriteriaOf(Criteria)) {
      auto purge = std::dynamic_pointer_cast<CCachePurgeCriterion>(c);
      if (!purge || !purge->EvaluateEntry(entry)) return false;
    }
    return true;
  } catch (...) {
    return false;  // an entry that cannot be judged stays in the cache
  }
}

bool CRequestFilter::AddCriterion(std::shared_ptr<CRequestCriterion> criterion) {
  if (!criterion) return false;
  CLockGuard guard(Criteria);
  if (Criteria.Contains(criterion.get())) return false;
  Criteria.AddTail(std::move(criterion));
  return true;
}

std::vector<std::shared_ptr<CRequestCriterion>> CRequestFilter::GetCriteria() const {
  std::vector<std::shared_ptr<CRequestCriterion>> out;
  for (const auto& obj : Criteria.Snapshot())
    if (auto c = std::dynamic_pointer_cast<CRequestCriterion>(obj)) out.push_back(std::move(c));
  return out;
}

void CRequestFilter::CopyFrom(const CRequestFilter& other) {
  if (&other == this) return;
  CString name, description;
  {
    CLockGuard guard(other);
    name = other.Name;
    description = other.Description;
  }
  std::vector<std::shared_ptr<CRequestCriterion>> copies;
  for (const auto& c : other.GetCriteria()) copies.push_back(c->Clone());
  {
    CLockGuard guard(*this);
    Name = std::move(name);
    Description = std::move(description);
  }
  std::vector<std::shared_ptr<CObject>> old;
  {
    CLockGuard guard(Criteria);
    while (auto o = Criteria.RemoveHead()) old.push_back(std::move(o));
    for (auto& c : copies) Criteria.AddTail(std::move(c));
    m_incomplete = other.m_incomplete.load();
  }
}

bool CRequestFilter::SaveToRegistry(const CString& key) const {
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  ok &= CFilterComponent::SaveToRegistry(key);
  const auto criteria = GetCriteria();
  for (size_t i = 0; i < criteria.size(); ++i)
    ok &= criteria[i]->SaveToRegistry(key + "\\Criterion" + std::to_string(i));
  return ok;
}

bool CRequestFilter::LoadFromRegistry(const CString& key) {
  CFilterComponent::LoadFromRegistry(key);
  std::vector<std::shared_ptr<CRequestCriterion>> loaded;
  bool incomplete = false;
  for (uint32_t n : RegEnumNumberedSubKeys(key, "Criterion")) {
    const CString sub = key + "\\Criterion" + std::to_string(n);
    const CString type = RegReadString(sub, "Type", "");
    std::shared_ptr<CRequestCriterion> c;
    if (type == "CRequestCriterion") {
      c = std::make_shared<CRequestCriterion>();
    } else if (type == "CCachePurgeCriterion") {
      c = std::make_shared<CCachePurgeCriterion>();
    } else {
      incomplete = true;
      continue;
    }
    c->LoadFromRegistry(sub);
    loaded.push_back(std::move(c));
  }
  std::vector<std::shared_ptr<CObject>> old;
  {
    CLockGuard guard(Criteria);
    while (auto o = Criteria.RemoveHead()) old.push_back(std::move(o));
    for (auto& c : loaded) Criteria.AddTail(std::move(c));
    m_incomplete = incomplete;
  }
  return true;
}

void CRequestFilter::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    {
      CLockGuard guard(*this);
      CFilterComponent::Serialize(ar);
    }
    Criteria.SerializeChecked(ar);
    return;
  }
  CString name = ar.ReadString();
  CString description = ar.ReadString();
  Criteria.SerializeChecked(ar);
  CLockGuard guard(*this);
  Name = std::move(name);
  Description = std::move(description);
  m_incomplete = false;
}

// ---- CRequestFilterCollection -----------------------------------------------------------------

CRequestFilterCollection::CRequestFilterCollection() { SetElementClass(TL_RUNTIME_CLASS(CRequestFilter)); }

uint32_t CRequestFilterCollection::GetRequiredLevel(const RequestFilterContext& ctx) const {
  try {
    uint32_t m = kLevelRefused;
    for (const auto& f : GetFilters()) {
      m = std::min(m, f->GetRequiredLevel(ctx));
      if (m == kLevelGuest) break;
    }
    return m;
  } catch (...) {
    return kLevelRefused;  // an access decision that fails refuses
  }
}

bool CRequestFilterCollection::AnyMatches(const RequestFilterContext& ctx) const {
  try {
    for (const auto& f : GetFilters())
      if (f->Match(ctx, true)) return true;
    return false;
  } catch (...) {
    return false;  // a grant that cannot be evaluated is not given
  }
}

bool CRequestFilterCollection::AnyMatchesCacheEntry(const ICacheEntryFields& entry) const {
  try {
    for (const auto& f : GetFilters())
      if (f->MatchCacheEntry(entry)) return true;
    return false;
  } catch (...) {
    return false;  // an entry that cannot be judged stays in the cache
  }
}

void CRequestFilterCollection::Add(std::shared_ptr<CRequestFilter> filter) {
  if (filter) AddTail(std::move(filter));
}

std::vector<std::shared_ptr<CRequestFilter>> CRequestFilterCollection::GetFilters() const {
  std::vector<std::shared_ptr<CRequestFilter>> out;
  for (const auto& obj : Snapshot()) {
    if (!obj) continue;  // a null entry of a received list is no filter
    auto f = std::dynamic_pointer_cast<CRequestFilter>(obj);
    if (!f) throw std::runtime_error("not a filter in a request-filter collection");
    out.push_back(std::move(f));
  }
  return out;
}

void CRequestFilterCollection::CopyFrom(const CRequestFilterCollection& other) {
  if (&other == this) return;
  std::vector<std::shared_ptr<CRequestFilter>> copies;
  for (const auto& f : other.GetFilters()) {
    auto copy = std::make_shared<CRequestFilter>();
    copy->CopyFrom(*f);
    copies.push_back(std::move(copy));
  }
  std::vector<std::shared_ptr<CObject>> old;
  CLockGuard guard(*this);
  while (auto o = RemoveHead()) old.push_back(std::move(o));
  for (auto& f : copies) AddTail(std::move(f));
}

bool CRequestFilterCollection::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  const auto filters = GetFilters();
  for (size_t i = 0; i < filters.size(); ++i)
    ok &= filters[i]->SaveToRegistry(key + "\\Filter" + std::to_string(i));
  return ok;
}

bool CRequestFilterCollection::Load(const CString& key) {
  std::vector<std::shared_ptr<CRequestFilter>> loaded;
  for (uint32_t n : RegEnumNumberedSubKeys(key, "Filter")) {
    auto f = std::make_shared<CRequestFilter>();
    f->LoadFromRegistry(key + "\\Filter" + std::to_string(n));
    loaded.push_back(std::move(f));
  }
  std::vector<std::shared_ptr<CObject>> old;
  CLockGuard guard(*this);
  while (auto o = RemoveHead()) old.push_back(std::move(o));
  for (auto& f : loaded) AddTail(std::move(f));
  return true;
}
