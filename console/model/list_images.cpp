#include "console/model/list_images.h"

#include "engine/config/interface.h"

int InterfaceImage(uint32_t kind) {
  switch (kind) {
    case INTERFACE_IP: return LIST_IMAGE_INTERFACE_IP;
    case INTERFACE_DIALUP: return LIST_IMAGE_DIALUP;
    case INTERFACE_LOOPBACK: return LIST_IMAGE_INTERFACE_LOOPBACK;
    default: return LIST_IMAGE_MACHINE;
  }
}

int AccountImage(const CGroupMemberDatabase& db, const CString& name) {
  return db.FindUser(name) ? LIST_IMAGE_USER : LIST_IMAGE_GROUP;
}
