#include "console/dialogs/common/principals.h"

#include "console/model/lookout_client.h"
#include "engine/access/group.h"
#include "engine/access/user_db.h"

std::vector<Principal> PrincipalsOf(const CLookoutClient& client) {
  std::vector<Principal> principals;
  const ConsoleMirrors& m = client.Mirrors();
  if (!m.users) return principals;
  CLockGuard guard(*m.users);
  for (const CString& key : m.users->Keys())
    if (auto entry = m.users->Find(key))
      principals.push_back({entry->Name, entry->Description, dynamic_cast<const CGroup*>(entry.get()) != nullptr});
  return principals;
}
