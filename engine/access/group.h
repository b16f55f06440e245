#pragma once
// A group of users and groups, named by the rights.
//
// Members are names with a kind (0 user, 1 group). Membership is decided through the user
// database the group belongs to: a group reaches every user of its member groups, to any depth;
// a walk visits each group once, so groups that contain each other end the walk.
//
// Archive form: the base's Name, Description, then the member map: a count (collection count
// form, archive.h), then per member, in name order, the name (string) and the kind (u32). Members
// with a name unfit for a key or an unknown kind are skipped on loading. A loaded group named
// "Administrators" always holds the user "Administrator".
// Registry: the base's values, "Type" = "Group", and the sub-key "Members" with one DWORD value
// per member (value name = member name, value = kind); saving replaces that sub-key whole.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "engine/access/filter_component.h"

class CGroupMemberDatabase;

class CGroup : public CFilterComponent {
  TL_DECLARE_SERIAL(CGroup)

 public:
  enum MemberKind : uint32_t { kUser = 0, kGroup = 1 };
  using Members = std::map<CString, uint32_t>;

  CGroup() = default;
  CGroup(CString name, CString description);
  // Copies carry the members, not the database link.
  CGroup(const CGroup& other);
  CGroup& operator=(const CGroup& other);

  // Records the member's name, kind 1 for a group and 0 for anything else.
  void AddMember(const CFilterComponent& member);
  // False for a name unfit for a key or an unknown kind.
  bool AddMember(const CString& name, uint32_t kind);
  bool RemoveMember(const CString& name);
  bool HasMember(const CString& name) const;
  Members GetMembers() const;

  // True when the name is the group's own or, through the group's database, that of a user or
  // group it contains at any depth (case-sensitive). Members no longer in the database are
  // dropped from their groups on the way. Without a database only the group's own name counts.
  bool Includes(const CString& name) const override;
  bool Includes(const CString& name, const CGroupMemberDatabase& db) const;
  const std::string* GetKeyName() const override { return &Name; }

  bool SaveToRegistry(const CString& key) const override;
  bool LoadFromRegistry(const CString& key) override;
  void Serialize(CArchive& ar) override;

  // The database that decides membership; set by the database that holds the group.
  void SetDatabase(const CGroupMemberDatabase* db);
  const CGroupMemberDatabase* GetDatabase() const;

 private:
  // Guards m_members only. Lock order: the database's lock before this one; a walk never holds
  // two groups' member locks at once.
  mutable std::mutex m_memberLock;
  Members m_members;
  std::atomic<const CGroupMemberDatabase*> m_database{nullptr};
};
