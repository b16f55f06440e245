// Console requests on users and groups.
#include "engine/remote/frame.h"
#include "engine/remote/rc_requests.h"
#include "engine/remote/rc_service.h"

using namespace remote_control;

namespace {

using StoreMode = CTrellisEngine::StoreMode;

// A user from a console keeps its password when the console sent the "unchanged" mark.
bool StoreUser(const CString& name, const CUser& in, StoreMode mode) {
  return TheEngine()->StoreUser(name, in, mode, in.Password == kRCPasswordUnchanged);
}

bool StoreGroup(const CString& name, const CGroup& in, StoreMode mode) {
  return TheEngine()->StoreGroup(name, in, mode);
}

// The whole database as the consoles see it: no passwords.
void SendUsers(X1Socket& socket) {
  auto engine = TheEngine();
  CGroupMemberDatabase copy;
  {
    CGroupMemberDatabase& users = engine->Users();
    CLockGuard g(users);
    for (const auto& [name, obj] : users) {
      if (auto user = std::dynamic_pointer_cast<CUser>(obj)) {
        copy.Add(PublicCopy(*user), nullptr);
      } else if (auto group = std::dynamic_pointer_cast<CGroup>(obj)) {
        copy.Add(GroupCopy(*group), nullptr);
      }
    }
  }
  SendObject(socket, copy);
}

bool ReceiveUserDatabase(X1Socket& socket) {
  auto engine = TheEngine();
  std::vector<uint8_t> payload = ReceiveFramePayload(socket);
  CGroupMemberDatabase scratch;
  LoadBareFrame(payload, scratch);
  // The built-in accounts cannot be deleted one by one, nor by a whole upload.
  if (!scratch.FindUser("Administrator") || !scratch.FindUser("Guest") || !scratch.FindGroup("Administrators") ||
      !scratch.FindGroup("Users"))
    return false;
  CGroupMemberDatabase& users = engine->Users();
  // An entry that changes kind (a user replaced by a group) is refused as a whole.
  for (const auto& [name, obj] : scratch.Snapshot()) {
    auto live = users.Find(name);
    if (live && live->GetRuntimeClass() != obj->GetRuntimeClass()) return false;
  }
  bool ok = true;
  for (const auto& name : users.Keys()) {
    if (scratch.Find(name)) continue;
    if (users.FindUser(name)) {
      ok &= engine->DeleteUser(name);
    } else {
      ok &= engine->DeleteGroup(name);
    }
  }
  for (const auto& [name, obj] : scratch.Snapshot()) {
    if (auto user = std::dynamic_pointer_cast<CUser>(obj)) {
      ok &= StoreUser(name, *user, StoreMode::Replace);
    } else if (auto group = std::dynamic_pointer_cast<CGroup>(obj)) {
      ok &= StoreGroup(name, *group, StoreMode::Replace);
    }
  }
  return ok;
}

bool ReceiveUser(X1Socket& socket, const CString& name, StoreMode mode) {
  CUser scratch;
  LoadBareFrame(ReceiveFramePayload(socket), scratch);
  return StoreUser(name, scratch, mode);
}

bool ReceiveGroup(X1Socket& socket, const CString& name, StoreMode mode) {
  CGroup scratch;
  LoadBareFrame(ReceiveFramePayload(socket), scratch);
  return StoreGroup(name, scratch, mode);
}

}  // namespace

bool CRemoteControlSession::UserRequest(const CTLRCPMessage& message) {
  const CString& name = message.m_text1;
  switch (message.m_code) {
    case RC_REQ_GET_USERS:
      SendUsers(m_clientSocket);
      return true;
    case RC_REQ_UPLOAD_USERS: return ReceiveUserDatabase(m_clientSocket);
    case RC_REQ_ADD_USER: return ReceiveUser(m_clientSocket, name, StoreMode::Add);
    case RC_REQ_DELETE_USER: return TheEngine()->DeleteUser(name);
    case RC_REQ_MODIFY_USER: return ReceiveUser(m_clientSocket, name, StoreMode::Modify);
    case RC_REQ_ADD_GROUP: return ReceiveGroup(m_clientSocket, name, StoreMode::Add);
    case RC_REQ_DELETE_GROUP: return TheEngine()->DeleteGroup(name);
    case RC_REQ_MODIFY_GROUP: return ReceiveGroup(m_clientSocket, name, StoreMode::Modify);
    default: return false;
  }
}
