// Console requests on users and groups.
#include "engine/access/filter_component.h"
#include "engine/remote/frame.h"
#include "engine/remote/rc_requests.h"
#include "engine/remote/rc_service.h"

using namespace remote_control;

namespace {

enum class StoreMode { Add, Modify, Upload };

// Applies a user received from a console. Counters and the audit file stay the engine's; the
// password stays when the console sent the "unchanged" mark. Add refuses an existing name; Modify
// of an unknown name drops the user (true: the frame was read and nothing is wrong).
bool StoreUser(CGroupMemberDatabase& db, const CString& name, const CUser& in, StoreMode mode) {
  if (!IsValidObjectName(name)) return false;
  CLockGuard g(db);
  auto existing = db.Find(name);
  auto live = db.FindUser(name);
  if (mode == StoreMode::Add && existing) return false;
  if (mode == StoreMode::Modify && !live) return true;
  if (existing && !live) return false;  // a group of that name
  if (live) {
    CLockGuard ul(*live);
    const CString password = live->Password;
    const uint64_t cs = live->ClientSendTraffic, cr = live->ClientRecvTraffic, ns = live->NonClientSendTraffic,
                   nr = live->NonClientRecvTraffic, t = live->TimeOnLine;
    const CCurrency closing = live->ClosingBalance;
    *live = in;
    live->Name = name;
    if (in.Password == kRCPasswordUnchanged) live->Password = password;
    live->ClientSendTraffic = cs;
    live->ClientRecvTraffic = cr;
    live->NonClientSendTraffic = ns;
    live->NonClientRecvTraffic = nr;
    live->TimeOnLine = t;
    live->ClosingBalance = closing;
    const bool ok = live->SaveToRegistry(UserKey(name));
    live->OpenAuditFile();
    return ok;
  }
  auto user = std::make_shared<CUser>(in);
  user->Name = name;
  if (in.Password == kRCPasswordUnchanged) user->Password.clear();
  user->ClientSendTraffic = user->ClientRecvTraffic = user->NonClientSendTraffic = user->NonClientRecvTraffic = 0;
  user->TimeOnLine = 0;
  user->ClosingBalance = user->OpeningBalance;
  if (!db.Add(user)) return false;
  user->OpenAuditFile();
  return true;
}

bool StoreGroup(CGroupMemberDatabase& db, const CString& name, const CGroup& in, StoreMode mode) {
  if (!IsValidObjectName(name)) return false;
  CLockGuard g(db);
  auto existing = db.Find(name);
  auto live = db.FindGroup(name);
  if (mode == StoreMode::Add && existing) return false;
  if (mode == StoreMode::Modify && !live) return true;
  if (existing && !live) return false;  // a user of that name
  if (live) {
    {
      CLockGuard gl(*live);
      *live = in;
      live->Name = name;
    }
    return live->SaveToRegistry(UserKey(name));
  }
  auto group = std::make_shared<CGroup>(in);
  group->Name = name;
  return db.Add(group);
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
      ok &= StoreUser(users, name, *user, StoreMode::Upload);
    } else if (auto group = std::dynamic_pointer_cast<CGroup>(obj)) {
      ok &= StoreGroup(users, name, *group, StoreMode::Upload);
    }
  }
  return ok;
}

bool ReceiveUser(X1Socket& socket, const CString& name, StoreMode mode) {
  CUser scratch;
  LoadBareFrame(ReceiveFramePayload(socket), scratch);
  return StoreUser(TheEngine()->Users(), name, scratch, mode);
}

bool ReceiveGroup(X1Socket& socket, const CString& name, StoreMode mode) {
  CGroup scratch;
  LoadBareFrame(ReceiveFramePayload(socket), scratch);
  return StoreGroup(TheEngine()->Users(), name, scratch, mode);
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
