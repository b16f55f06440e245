#include "engine/access/user_db.h"

#include <strings.h>

#include <vector>

#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_SERIAL(CGroupMemberDatabase, CLockableMap, 1)

namespace {

bool SameIgnoringCase(const CString& a, const CString& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

CString EntryKey(const char* key, const CString& name) { return CString(key) + "\\" + name; }

bool IsAccount(const CObject* obj) {
  return dynamic_cast<const CUser*>(obj) != nullptr || dynamic_cast<const CGroup*>(obj) != nullptr;
}

}  // namespace

CGroupMemberDatabase::CGroupMemberDatabase() { SetElementClass(TL_RUNTIME_CLASS(CFilterComponent)); }

CGroupMemberDatabase::~CGroupMemberDatabase() {
  // Groups held elsewhere must not keep asking a database that is gone.
  for (const auto& [name, obj] : Snapshot()) Release(obj);
}

void CGroupMemberDatabase::Adopt(const std::shared_ptr<CObject>& obj) {
  if (auto* group = dynamic_cast<CGroup*>(obj.get())) group->SetDatabase(this);
}

void CGroupMemberDatabase::Release(const std::shared_ptr<CObject>& obj) {
  if (auto* group = dynamic_cast<CGroup*>(obj.get())) group->SetDatabase(nullptr);
}

std::shared_ptr<CFilterComponent> CGroupMemberDatabase::Find(const CString& name) const {
  return LookupAs<CFilterComponent>(name);
}

std::shared_ptr<CUser> CGroupMemberDatabase::FindUser(const CString& name) const { return LookupAs<CUser>(name); }

std::shared_ptr<CGroup> CGroupMemberDatabase::FindGroup(const CString& name) const { return LookupAs<CGroup>(name); }

bool CGroupMemberDatabase::Add(std::shared_ptr<CFilterComponent> obj, const char* registryKey) {
  if (!obj || !IsAccount(obj.get())) return false;
  CString name;
  {
    CLockGuard guard(*obj);
    name = obj->Name;
  }
  if (!IsValidObjectName(name)) return false;
  std::shared_ptr<CObject> old;
  {
    CLockGuard guard(*this);
    for (const auto& [key, held] : *this) {
      if (key == name) {
        // A user must not take a group's place (or the other way round): "Administrators" is
        // named by every system right.
        if (held->GetRuntimeClass() != obj->GetRuntimeClass()) return false;
      } else if (SameIgnoringCase(key, name)) {
        return false;
      }
    }
    old = Lookup(name);
    if (old.get() == obj.get()) old.reset();
    SetAt(name, obj);
    Adopt(obj);
    if (old) Release(old);
    if (registryKey) {
      try {
        const CString key = EntryKey(registryKey, name);
        RegBatch batch;
        RegDeleteKeyTree(key);
        obj->SaveToRegistry(key);
      } catch (...) {
        // The table holds the object already; the registry copy is written again at the next save.
      }
    }
  }
  return true;
}

bool CGroupMemberDatabase::Remove(const CString& name, const char* registryKey) {
  if (!IsValidObjectName(name)) return false;
  std::shared_ptr<CObject> old;
  try {
    CLockGuard guard(*this);
    old = Lookup(name);
    if (!old) return false;
    RemoveKey(name);
    Release(old);
    if (registryKey) RegDeleteKeyTree(EntryKey(registryKey, name));
  } catch (...) {
    // Removal from the table is what the caller asked; a registry key left behind goes at the next save.
  }
  return old != nullptr;
}

void CGroupMemberDatabase::CreateBuiltInAccounts(const char* registryKey) {
  CLockGuard guard(*this);
  if (!Lookup("Administrator")) {
    auto admin = std::make_shared<CUser>("Administrator", "", "", "Built in account for administering this server");
    admin->UserMustChangePassword = 1;
    Add(admin, registryKey);
  }
  if (!Lookup("Guest")) {
    Add(std::make_shared<CUser>("Guest", "", "", "Built in account for guest access to this server"), registryKey);
  }
  if (!Lookup("Administrators")) {
    auto group = std::make_shared<CGroup>("Administrators", "Members can administer this server");
    group->AddMember("Administrator", CGroup::kUser);
    Add(group, registryKey);
  }
  if (!Lookup("Users")) {
    auto group = std::make_shared<CGroup>("Users", "Ordinary users");
    group->AddMember("Administrator", CGroup::kUser);
    group->AddMember("Guest", CGroup::kUser);
    Add(group, registryKey);
  }
}

bool CGroupMemberDatabase::Load(const CString& key) {
  CLockGuard guard(*this);
  for (const auto& sub : RegEnumSubKeys(key)) {
    if (!IsValidObjectName(sub)) continue;
    const CString path = key + "\\" + sub;
    const CString type = RegReadString(path, "Type", "");
    std::shared_ptr<CFilterComponent> obj;
    if (type == "User") {
      obj = std::make_shared<CUser>();
    } else if (type == "Group") {
      obj = std::make_shared<CGroup>();
    } else {
      continue;
    }
    obj->LoadFromRegistry(path);
    // The key is where the entry lives: a "Name" value naming another key would make a later
    // save or remove touch the wrong one.
    if (!SameIgnoringCase(obj->Name, sub)) obj->Name = sub;
    Add(obj, nullptr);
  }
  return true;
}

bool CGroupMemberDatabase::Save(const CString& key) const {
  bool ok = true;
  try {
    CLockGuard guard(*this);
    RegBatch batch;
    const auto entries = Snapshot();
    for (const auto& sub : RegEnumSubKeys(key)) {
      bool held = false;
      for (const auto& [name, obj] : entries) held = held || SameIgnoringCase(name, sub);
      if (!held) ok &= RegDeleteKeyTree(key + "\\" + sub);
    }
    for (const auto& [name, obj] : entries) {
      if (auto* item = dynamic_cast<CFilterComponent*>(obj.get())) ok &= item->SaveToRegistry(key + "\\" + name);
    }
  } catch (...) {
    ok = false;
  }
  return ok;
}

bool CGroupMemberDatabase::SaveAccounts(const CString& key) const {
  bool ok = true;
  try {
    CLockGuard guard(*this);
    RegBatch batch;
    for (const auto& [name, obj] : *this) {
      if (auto* user = dynamic_cast<const CUser*>(obj.get())) ok &= user->SaveAccounts(key + "\\" + name);
    }
  } catch (...) {
    ok = false;
  }
  return ok;
}

void CGroupMemberDatabase::OpenAuditFiles() {
  CLockGuard guard(*this);
  for (const auto& [name, obj] : *this) {
    if (auto* user = dynamic_cast<CUser*>(obj.get())) user->OpenAuditFile();
  }
}

void CGroupMemberDatabase::DoLoad(CArchive& ar, size_t* read) {
  std::exception_ptr failure;
  try {
    CLockableMap::DoLoad(ar, read);
  } catch (...) {
    failure = std::current_exception();
  }
  // Whatever was read completely is held now: settle it before reporting.
  std::vector<CString> drop;
  std::vector<CString> kept;
  for (const auto& [name, obj] : *this) {
    bool bad = !IsAccount(obj.get()) || !IsValidObjectName(name);
    for (const auto& k : kept) bad = bad || SameIgnoringCase(k, name);
    if (bad) {
      drop.push_back(name);
    } else {
      kept.push_back(name);
      Adopt(obj);
    }
  }
  for (const auto& name : drop) {
    Release(Lookup(name));
    RemoveKey(name);
  }
  if (failure) std::rethrow_exception(failure);
  if (!drop.empty()) {
    throw CArchiveException(CArchiveException::badClass,
                            "user database entry \"" + drop.front() + "\" refused: not an account or name unfit for a key");
  }
}
