#pragma once
// The users and groups an editor offers to pick from (the Recipient page, the mapping's User
// page): every entry of the console's user mirror, by name.
#include <vector>

#include "console/dialogs/common/editor.h"

class CLookoutClient;

struct Principal {
  CString name, description;
  bool group = false;
};

// Empty while the users are not fetched.
std::vector<Principal> PrincipalsOf(const CLookoutClient& client);
