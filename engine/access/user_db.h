#pragma once
// The user database: name to user (CUser) or group (CGroup), kept in the registry under
// "UserDatabase\\<name>". The engine holds one; the console keeps a mirror of it.
//
// Names are keys of the map (case-sensitive) and of the registry (case-insensitive), so two
// entries whose names differ only in case are never held together, and every name passes
// IsValidObjectName before it can address a key.
//
// Lock order: the database's lock, then a user's or group's own lock, then a group's member lock.
// Membership walks (CGroup::Includes) hold the database's lock throughout.
//
// Archive form: the object map's (lockable.h), elements CUser or CGroup, each under its own name.
#include <memory>

#include "engine/access/group.h"
#include "engine/config/lockable.h"
#include "engine/access/user.h"

inline constexpr const char* kUserDatabaseKey = "UserDatabase";

class CGroupMemberDatabase : public CLockableMap {
  TL_DECLARE_SERIAL(CGroupMemberDatabase)

 public:
  CGroupMemberDatabase();
  ~CGroupMemberDatabase() override;

  // The user or group of that name (exact spelling), or null.
  std::shared_ptr<CFilterComponent> Find(const CString& name) const;
  std::shared_ptr<CUser> FindUser(const CString& name) const;
  std::shared_ptr<CGroup> FindGroup(const CString& name) const;

  // Enters a user or group under its Name, replacing an entry of the same name and kind, then
  // saves it under "<registryKey>\\<name>" (no save for a null key). Refused (false, nothing
  // changed) for anything but a user or group, a name unfit for a key, a name held by an entry
  // of the other kind, or one that differs from an entry's only in case.
  bool Add(std::shared_ptr<CFilterComponent> obj, const char* registryKey = kUserDatabaseKey);
  // Takes the entry out and deletes its registry tree; false when there was none. A name unfit
  // for a key is refused before anything is touched.
  bool Remove(const CString& name, const char* registryKey = kUserDatabaseKey);
  // Adds the missing built-in accounts: Administrator, Guest, Administrators, Users.
  void CreateBuiltInAccounts(const char* registryKey = kUserDatabaseKey);

  // Reads every sub-key whose "Type" is "User" or "Group"; others are skipped.
  using CLockableCollection::Load;
  bool Load(const CString& key);
  // Deletes the sub-keys of names no longer held, then saves every entry. False on any failure.
  bool Save(const CString& key) const;
  // The accounting values of every user.
  bool SaveAccounts(const CString& key) const;
  // Opens (or reopens) the audit file of every user.
  void OpenAuditFiles();

 protected:
  // After the map's own load: groups learn their database, and entries that could not be kept
  // (not a user or group, a name unfit for a key, a second spelling of a name) are dropped and
  // reported as a failed load.
  void DoLoad(CArchive& ar, size_t* read) override;

 private:
  void Adopt(const std::shared_ptr<CObject>& obj);
  static void Release(const std::shared_ptr<CObject>& obj);
};
