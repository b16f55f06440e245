#include "engine/access/location.h"

#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "engine/access/filter_component.h"
#include "engine/config/reg_helpers.h"
#include "engine/access/user_db.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL(CIPFilter, CObject, 1)
TL_IMPLEMENT_SERIAL(CLocation, CLockableObject, 1)
TL_IMPLEMENT_SERIAL(CLocationArray, CLockableArray, 1)

namespace {

// Four parts of three characters and three dots.
constexpr size_t kMaxPatternLength = 15;
constexpr size_t kMaxMaskLength = 12;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsPatternChar(char c) { return IsDigit(c) || c == '*' || c == '?'; }

// The three mask characters of one part, or false when the part is outside the grammar.
bool CompilePart(std::string_view part, char out[3]) {
  if (part.empty() || part.size() > 3) return false;
  for (char c : part)
    if (!IsPatternChar(c)) return false;
  switch (part.size()) {
    case 1:
      if (part[0] == '*') {
        out[0] = out[1] = out[2] = '?';
      } else {
        out[0] = out[1] = '0';
        out[2] = part[0];
      }
      break;
    case 2:
      if (part[0] == '*' && part[1] == '*') {
        // Two wildcards say no more than one: any octet.
        out[0] = out[1] = out[2] = '?';
      } else if (part[0] == '*') {
        out[0] = out[1] = '?';
        out[2] = part[1];
      } else if (part[1] == '*') {
        out[0] = part[0];
        out[1] = out[2] = '?';
      } else {
        out[0] = '0';
        out[1] = part[0];
        out[2] = part[1];
      }
      break;
    default:
      for (size_t i = 0; i < 3; ++i) out[i] = part[i] == '*' ? '?' : part[i];
      break;
  }
  // A part that even its smallest reading puts above 255 fits no address.
  unsigned smallest = 0;
  for (size_t i = 0; i < 3; ++i) smallest = smallest * 10 + (out[i] == '?' ? 0u : unsigned(out[i] - '0'));
  return smallest <= 255;
}

bool IsWellFormedMask(std::string_view mask) {
  if (mask.empty() || mask.size() > kMaxMaskLength || mask.size() % 3 != 0) return false;
  for (char c : mask)
    if (!IsDigit(c) && c != '?') return false;
  return true;
}

bool MaskMatches(std::string_view mask, uint32_t address) {
  if (!IsWellFormedMask(mask)) return false;
  char padded[16];
  std::snprintf(padded, sizeof padded, "%03u%03u%03u%03u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                (address >> 8) & 0xFFu, address & 0xFFu);
  for (size_t i = 0; i < mask.size(); ++i)
    if (mask[i] != '?' && mask[i] != padded[i]) return false;
  return true;
}

// Client addresses come as dotted quads; a dual-stack socket may present them IPv4-mapped.
bool ParseClientAddress(std::string_view text, uint32_t* out) {
  constexpr std::string_view kMapped = "::ffff:";
  if (text.size() > kMapped.size()) {
    bool mapped = true;
    for (size_t i = 0; i < kMapped.size() && mapped; ++i) {
      char c = text[i];
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      mapped = c == kMapped[i];
    }
    if (mapped) text.remove_prefix(kMapped.size());
  }
  if (text.size() > kMaxPatternLength) return false;
  return TryParseIPAddress(CString(text), out);
}

CString LocationKey(const CString& key, size_t position) {
  return FormatString("%s\\Location%zu", key.c_str(), position);
}

bool IsExistingUser(const CGroupMemberDatabase& users, const CString& name) {
  return !name.empty() && users.FindUser(name) != nullptr;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

// ---- CIPFilter --------------------------------------------------------------------------------

CIPFilter::CIPFilter(std::string_view pattern) : Filter(pattern) { Compile(); }

bool CIPFilter::CompilePattern(std::string_view pattern, CString* mask) {
  mask->clear();
  if (pattern.empty() || pattern.size() > kMaxPatternLength) return false;
  CString built;
  size_t parts = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = pattern.find('.', start);
    const std::string_view part =
        pattern.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    char out[3];
    if (++parts > 4 || !CompilePart(part, out)) return false;
    built.append(out, 3);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  *mask = std::move(built);
  return true;
}

bool CIPFilter::IsValidPattern(std::string_view pattern) {
  CString mask;
  return CompilePattern(pattern, &mask);
}

bool CIPFilter::Compile() { return CompilePattern(Filter, &InternalFilter); }

bool CIPFilter::SetFilter(std::string_view pattern) {
  CString mask;
  if (!CompilePattern(pattern, &mask)) return false;
  Filter.assign(pattern);
  InternalFilter = std::move(mask);
  return true;
}

bool CIPFilter::IsValid() const { return IsWellFormedMask(InternalFilter); }

bool CIPFilter::Matches(std::string_view addressText) const {
  uint32_t address = 0;
  return ParseClientAddress(addressText, &address) && Matches(address);
}

bool CIPFilter::Matches(uint32_t addressHostOrder) const { return MaskMatches(InternalFilter, addressHostOrder); }

bool CIPFilter::MatchesForExclusion(uint32_t addressHostOrder) const {
  return !IsValid() || Matches(addressHostOrder);
}

bool CIPFilter::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegWriteString(key, "InternalFilter", InternalFilter);
  ok &= RegWriteString(key, "Filter", Filter);
  return ok;
}

bool CIPFilter::Load(const CString& key) {
  Filter = RegReadString(key, "Filter", "");
  return Compile();
}

void CIPFilter::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << InternalFilter << Filter;
    return;
  }
  CString mask, pattern;
  ar >> mask >> pattern;
  CIPFilter loaded;
  loaded.Filter = std::move(pattern);
  if (!loaded.Compile()) throw CArchiveException(CArchiveException::generic, "invalid address pattern");
  *this = std::move(loaded);
}

// ---- CLocation --------------------------------------------------------------------------------

CLocation::CLocation(std::string_view pattern, CString username)
    : IPFilter(pattern), Username(std::move(username)) {}

CLocation::CLocation(const CLocation& other) : CLockableObject() { CopyFrom(other); }

CLocation& CLocation::operator=(const CLocation& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

void CLocation::CopyFrom(const CLocation& other) {
  if (this == &other) return;
  CIPFilter filter;
  CString user;
  {
    CLockGuard guard(other);
    filter = other.IPFilter;
    user = other.Username;
  }
  CLockGuard guard(*this);
  IPFilter = std::move(filter);
  Username = std::move(user);
}

bool CLocation::Matches(std::string_view addressText) const {
  CLockGuard guard(*this);
  return IPFilter.Matches(addressText);
}

bool CLocation::Matches(uint32_t addressHostOrder) const {
  CLockGuard guard(*this);
  return IPFilter.Matches(addressHostOrder);
}

bool CLocation::IsValid() const {
  CLockGuard guard(*this);
  return IPFilter.IsValid() && IsValidObjectName(Username);
}

bool CLocation::Set(const CString& username, std::string_view pattern) {
  if (!IsValidObjectName(username)) return false;
  CIPFilter filter;
  if (!filter.SetFilter(pattern)) return false;
  CLockGuard guard(*this);
  IPFilter = std::move(filter);
  Username = username;
  return true;
}

bool CLocation::Save(const CString& key) const {
  CLockGuard guard(*this);
  RegBatch batch;
  bool ok = IPFilter.Save(key);
  ok &= RegWriteString(key, "Username", Username);
  return ok;
}

bool CLocation::Load(const CString& key) {
  CLockGuard guard(*this);
  const bool patternOk = IPFilter.Load(key);
  Username = RegReadString(key, "Username", "Guest");
  return patternOk && IsValidObjectName(Username);
}

void CLocation::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    CLockGuard guard(*this);
    IPFilter.Serialize(ar);
    ar << Username;
    return;
  }
  CIPFilter filter;
  filter.Serialize(ar);
  CString user;
  ar >> user;
  if (!IsValidObjectName(user)) throw CArchiveException(CArchiveException::generic, "invalid location user name");
  CLockGuard guard(*this);
  IPFilter = std::move(filter);
  Username = std::move(user);
}

// ---- CLocationArray ---------------------------------------------------------------------------

CLocationArray::CLocationArray() { SetElementClass(TL_RUNTIME_CLASS(CLocation)); }

CString CLocationArray::FindByAddress(std::string_view addressText) const {
  uint32_t address = 0;
  if (!ParseClientAddress(addressText, &address)) return CString();
  return FindByAddress(address);
}

CString CLocationArray::FindByAddress(uint32_t addressHostOrder) const {
  CLockGuard guard(*this);
  for (const auto& obj : *this) {
    auto* loc = dynamic_cast<const CLocation*>(obj.get());
    if (!loc || !loc->Matches(addressHostOrder)) continue;
    CLockGuard locGuard(*loc);
    return loc->Username;
  }
  return CString();
}

std::shared_ptr<CLocation> CLocationArray::FindByName(const CString& name) const {
  CLockGuard guard(*this);
  for (const auto& obj : *this) {
    auto loc = std::dynamic_pointer_cast<CLocation>(obj);
    if (!loc) continue;
    CLockGuard locGuard(*loc);
    if (loc->GetName() == name) return loc;
  }
  return nullptr;
}

std::shared_ptr<CLocation> CLocationArray::GetLocation(size_t i) const {
  CLockGuard guard(*this);
  if (i >= GetSize()) return nullptr;
  return std::dynamic_pointer_cast<CLocation>(GetAt(i));
}

int CLocationArray::FindIndex(const CLocation* location) const {
  if (!location) return -1;
  CLockGuard guard(*this);
  int i = 0;
  for (const auto& obj : *this) {
    if (obj.get() == location) return i;
    ++i;
  }
  return -1;
}

bool CLocationArray::Remove(const CLocation* location) {
  CLockGuard guard(*this);
  const int i = FindIndex(location);
  if (i < 0) return false;
  RemoveAt(size_t(i));
  return true;
}

void CLocationArray::DeleteAll() { RemoveAll(); }

bool CLocationArray::MoveUp(const CLocation* location) {
  CLockGuard guard(*this);
  const int i = FindIndex(location);
  if (i <= 0) return false;
  Ptr moving = GetAt(size_t(i));
  SetAt(size_t(i), GetAt(size_t(i - 1)));
  SetAt(size_t(i - 1), std::move(moving));
  return true;
}

bool CLocationArray::MoveDown(const CLocation* location) {
  CLockGuard guard(*this);
  const int i = FindIndex(location);
  if (i < 0 || size_t(i) + 1 >= GetSize()) return false;
  Ptr moving = GetAt(size_t(i));
  SetAt(size_t(i), GetAt(size_t(i + 1)));
  SetAt(size_t(i + 1), std::move(moving));
  return true;
}

void CLocationArray::CopyFrom(const CLocationArray& other) {
  if (this == &other) return;
  std::vector<Ptr> copies;
  {
    CLockGuard otherGuard(other);
    for (const auto& obj : other) {
      auto* loc = dynamic_cast<const CLocation*>(obj.get());
      copies.push_back(loc ? std::make_shared<CLocation>(*loc) : nullptr);
    }
  }
  std::scoped_lock both(*this, other);
  RemoveAll();
  for (auto& c : copies) Add(std::move(c));
}

size_t CLocationArray::RemoveUser(const CString& username) {
  CLockGuard guard(*this);
  size_t removed = 0;
  for (size_t i = GetSize(); i-- > 0;) {
    auto loc = std::dynamic_pointer_cast<CLocation>(GetAt(i));
    if (loc && loc->GetUsername() == username) {
      RemoveAt(i);
      ++removed;
    }
  }
  return removed;
}

size_t CLocationArray::DropUnusable(const CGroupMemberDatabase& users) {
  // The user database is consulted with no table lock held (lock order: the database comes after
  // the machine table, and the table is reached from the machine table's lookups).
  std::vector<CString> names;
  for (const auto& obj : Snapshot())
    if (auto* loc = dynamic_cast<const CLocation*>(obj.get())) names.push_back(loc->GetUsername());
  std::map<CString, bool> known;
  for (const auto& n : names) known.emplace(n, IsExistingUser(users, n));

  CLockGuard guard(*this);
  size_t removed = 0;
  for (size_t i = GetSize(); i-- > 0;) {
    const Ptr obj = GetAt(i);
    if (!obj) continue;  // an empty position stays
    auto* loc = dynamic_cast<const CLocation*>(obj.get());
    if (loc) {
      auto it = known.find(loc->GetUsername());
      if (loc->IsValid() && it != known.end() && it->second) continue;
    }
    RemoveAt(i);
    ++removed;
  }
  return removed;
}

bool CLocationArray::Save(const CString& key) const {
  try {
    CLockGuard guard(*this);
    RegBatch batch;
    bool ok = RegDeleteKeyTree(key);
    size_t position = 0;
    for (const auto& obj : *this) {
      if (auto* loc = dynamic_cast<const CLocation*>(obj.get())) ok &= loc->Save(LocationKey(key, position));
      ++position;
    }
    return ok;
  } catch (const std::exception&) {
    return false;
  }
}

size_t CLocationArray::Load(const CString& key, const CGroupMemberDatabase& users) {
  std::vector<Ptr> table;
  size_t dropped = 0;
  for (uint32_t n : RegEnumNumberedSubKeys(key, "Location")) {
    if (n >= kMaxLocations) {
      ++dropped;
      continue;
    }
    auto loc = std::make_shared<CLocation>();
    if (!loc->Load(LocationKey(key, n)) || !IsExistingUser(users, loc->GetUsername())) {
      ++dropped;
      continue;
    }
    if (table.size() <= n) table.resize(size_t(n) + 1);
    if (table[n]) {
      ++dropped;  // the same position twice: keep the first
      continue;
    }
    table[n] = std::move(loc);
  }
  CLockGuard guard(*this);
  RemoveAll();
  for (auto& obj : table) Add(std::move(obj));
  return dropped;
}

// ---- Assumed users ----------------------------------------------------------------------------

CString FindAssumedUser(uint32_t addressHostOrder, const CString& computerName, const CLockableStringMap& assumptions,
                        const CLocationArray& locations, const CGroupMemberDatabase& users) {
  if (!computerName.empty()) {
    CString mapped;
    {
      CLockGuard guard(assumptions);
      if (!assumptions.Lookup(computerName, mapped)) {
        for (const auto& [name, user] : assumptions) {
          if (EqualsNoCase(name, computerName)) {
            mapped = user;
            break;
          }
        }
      }
    }
    // An entry naming no existing user (deleted, or a group) counts as absent.
    if (IsExistingUser(users, mapped)) return mapped;
  }
  CString user = locations.FindByAddress(addressHostOrder);
  return IsExistingUser(users, user) ? user : CString();
}

uint32_t AssumedUserLevel(const CString& assumedUser) {
  return assumedUser.empty() || assumedUser == "Guest" ? 0 : 1;
}

size_t LoadMachineAssumptions(const CString& key, CLockableStringMap& assumptions,
                              const CGroupMemberDatabase& users) {
  std::vector<std::pair<CString, CString>> entries;
  size_t skipped = 0;
  for (const auto& name : RegEnumValueNames(key)) {
    CString user = RegReadString(key, name, "");
    if (!IsValidObjectName(name) || !IsExistingUser(users, user)) {
      ++skipped;
      continue;
    }
    entries.emplace_back(name, std::move(user));
  }
  CLockGuard guard(assumptions);
  assumptions.RemoveAll();
  for (auto& [name, user] : entries) assumptions.SetAt(name, user);
  return skipped;
}

bool SaveMachineAssumptions(const CString& key, const CLockableStringMap& assumptions) {
  const auto entries = assumptions.Snapshot();
  RegBatch batch;
  bool ok = RegDeleteKeyTree(key);
  for (const auto& [name, user] : entries) {
    if (!IsValidObjectName(name)) continue;  // never a value the load would refuse
    ok &= RegWriteString(key, name, user);
  }
  return ok;
}

size_t RemoveMachineAssumptionsOfUser(CLockableStringMap& assumptions, const CString& username) {
  CLockGuard guard(assumptions);
  std::vector<CString> names;
  for (const auto& [name, user] : assumptions)
    if (user == username) names.push_back(name);
  for (const auto& n : names) assumptions.RemoveKey(n);
  return names.size();
}

size_t DropUnusableMachineAssumptions(CLockableStringMap& assumptions, const CGroupMemberDatabase& users) {
  // Judged without the map's lock (the user database is not taken under it), then removed only
  // when the entry still says what was judged.
  std::vector<std::pair<CString, CString>> unusable;
  for (const auto& [name, user] : assumptions.Snapshot())
    if (!IsValidObjectName(name) || !IsExistingUser(users, user)) unusable.emplace_back(name, user);
  CLockGuard guard(assumptions);
  size_t removed = 0;
  for (const auto& [name, user] : unusable) {
    CString now;
    if (assumptions.Lookup(name, now) && now == user && assumptions.RemoveKey(name)) ++removed;
  }
  return removed;
}
