#include "engine/access/group.h"

#include <set>
#include <vector>

#include "engine/config/reg_helpers.h"
#include "engine/access/user.h"
#include "engine/access/user_db.h"

TL_IMPLEMENT_SERIAL(CGroup, CFilterComponent, 1)

namespace {

constexpr char kAdministrators[] = "Administrators";
constexpr char kAdministrator[] = "Administrator";

bool KnownKind(uint32_t kind) { return kind == CGroup::kUser || kind == CGroup::kGroup; }

}  // namespace

CGroup::CGroup(CString name, CString description) : CFilterComponent(std::move(name), std::move(description)) {}

CGroup::CGroup(const CGroup& other) : CFilterComponent(other), m_members(other.GetMembers()) {}

CGroup& CGroup::operator=(const CGroup& other) {
  if (this == &other) return *this;
  CFilterComponent::operator=(other);
  Members members = other.GetMembers();
  std::lock_guard<std::mutex> guard(m_memberLock);
  m_members = std::move(members);
  return *this;
}

void CGroup::AddMember(const CFilterComponent& member) {
  CString name;
  {
    CLockGuard guard(member);
    name = member.Name;
  }
  AddMember(name, dynamic_cast<const CGroup*>(&member) ? kGroup : kUser);
}

bool CGroup::AddMember(const CString& name, uint32_t kind) {
  if (!IsValidObjectName(name) || !KnownKind(kind)) return false;
  std::lock_guard<std::mutex> guard(m_memberLock);
  m_members[name] = kind;
  return true;
}

bool CGroup::RemoveMember(const CString& name) {
  std::lock_guard<std::mutex> guard(m_memberLock);
  return m_members.erase(name) != 0;
}

bool CGroup::HasMember(const CString& name) const {
  std::lock_guard<std::mutex> guard(m_memberLock);
  return m_members.count(name) != 0;
}

CGroup::Members CGroup::GetMembers() const {
  std::lock_guard<std::mutex> guard(m_memberLock);
  return m_members;
}

void CGroup::SetDatabase(const CGroupMemberDatabase* db) { m_database.store(db); }

const CGroupMemberDatabase* CGroup::GetDatabase() const { return m_database.load(); }

bool CGroup::Includes(const CString& name) const {
  const CGroupMemberDatabase* db = GetDatabase();
  if (db) return Includes(name, *db);
  CLockGuard guard(*this);
  return name == Name;
}

bool CGroup::Includes(const CString& name, const CGroupMemberDatabase& db) const {
  {
    CLockGuard guard(*this);
    if (name == Name) return true;
  }
  try {
    // The whole walk runs under the database's lock, so the groups it reaches stay in place;
    // each group's member lock is held only while its members are copied or one is dropped.
    CLockGuard dbGuard(db);
    std::set<const CGroup*> visited{this};
    std::vector<const CGroup*> pending{this};
    while (!pending.empty()) {
      const CGroup* group = pending.back();
      pending.pop_back();
      for (const auto& [member, kind] : group->GetMembers()) {
        auto found = db.Find(member);
        const CUser* user = kind == kUser ? dynamic_cast<const CUser*>(found.get()) : nullptr;
        const CGroup* inner = kind == kGroup ? dynamic_cast<const CGroup*>(found.get()) : nullptr;
        if (!user && !inner) {
          // A member that has left the database leaves its groups too.
          const_cast<CGroup*>(group)->RemoveMember(member);
          continue;
        }
        if (member == name) return true;
        if (inner && visited.insert(inner).second) pending.push_back(inner);
      }
    }
  } catch (...) {
    // A failed walk includes nothing more than it found.
  }
  return false;
}

bool CGroup::SaveToRegistry(const CString& key) const {
  CLockGuard guard(*this);
  RegBatch batch;
  bool ok = CFilterComponent::SaveToRegistry(key);
  ok &= RegWriteString(key, "Type", "Group");
  const CString membersKey = key + "\\Members";
  ok &= RegDeleteKeyTree(membersKey);
  // The key exists even for a group without members.
  ok &= RegOpenSubKey(membersKey).IsValid();
  for (const auto& [member, kind] : GetMembers()) ok &= RegWriteDWORD(membersKey, member, kind);
  return ok;
}

bool CGroup::LoadFromRegistry(const CString& key) {
  CLockGuard guard(*this);
  CFilterComponent::LoadFromRegistry(key);
  const CString membersKey = key + "\\Members";
  for (const auto& member : RegEnumValueNames(membersKey)) {
    AddMember(member, RegReadDWORD(membersKey, member, 0xFFFFFFFFu));
  }
  return true;
}

void CGroup::Serialize(CArchive& ar) {
  CLockGuard guard(*this);
  if (ar.IsStoring()) {
    CFilterComponent::Serialize(ar);
    const Members members = GetMembers();
    ar.WriteCount(members.size());
    for (const auto& [member, kind] : members) ar << member << kind;
    return;
  }
  CGroup in;
  in.CFilterComponent::Serialize(ar);
  if (!IsValidObjectName(in.Name)) {
    throw CArchiveException(CArchiveException::badLength, "group name unfit for a key: \"" + in.Name + "\"");
  }
  // A member is at least an empty name and a kind.
  const size_t count = ar.ReadCount(1 + sizeof(uint32_t));
  for (size_t i = 0; i < count; ++i) {
    CString member = ar.ReadString();
    uint32_t kind = 0;
    ar >> kind;
    in.AddMember(member, kind);
  }
  if (in.Name == kAdministrators && !in.HasMember(kAdministrator)) in.AddMember(kAdministrator, kUser);
  Name = in.Name;
  Description = in.Description;
  Members members = in.GetMembers();
  std::lock_guard<std::mutex> memberGuard(m_memberLock);
  m_members = std::move(members);
}
