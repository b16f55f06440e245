#pragma once
// Which picture of the console's image set (the trees' 23 pictures, tree_images.h draws them) a row
// of an editor's list shows, without a toolkit. Editors' lists and sheets use the trees' set, so a
// user, a group or an interface looks the same everywhere in the console.
#include <cstdint>

#include "engine/access/user_db.h"

enum : int {
  LIST_IMAGE_MACHINE = 0,  // also anything without a picture of its own
  LIST_IMAGE_USER = 1,
  LIST_IMAGE_ASSUMED = 2,
  LIST_IMAGE_GROUP = 4,
  LIST_IMAGE_FILTER = 5,  // a request filter; also the System Policies
  LIST_IMAGE_CRITERION = 6,
  LIST_IMAGE_DIALUP = 7,
  LIST_IMAGE_INTERFACE_IP = 8,
  LIST_IMAGE_INTERFACE_LOOPBACK = 9,
  LIST_IMAGE_DHCP_SCOPE = 11,
  LIST_IMAGE_DHCP_GLOBAL = 12,
  LIST_IMAGE_SCHEDULER = 13,
  LIST_IMAGE_SERVICE = 14,
  LIST_IMAGE_CACHE = 20,
};

// An interface of the interface list by its kind: IP 8, dial-up 7, loopback 9, anything else 0.
int InterfaceImage(uint32_t kind);
// A name in a recipient or principal list: the user picture when the user database holds it as a
// user, the group picture otherwise (a group, or a name the database does not know).
int AccountImage(const CGroupMemberDatabase& db, const CString& name);
