#pragma once
// What the console session's files share: the session's core (rc_service.cpp) builds the frames of
// notifications from the same forms the request handlers (rc_requests_*.cpp) send, so a user, a
// group or the rights look the same whichever way they reach a console.
#include <memory>

#include "engine/access/right.h"
#include "engine/access/user_db.h"
#include "engine/core/engine.h"
#include "engine/remote/rc_codes.h"

namespace remote_control {

inline CString UserKey(const CString& name) { return CString(kUserDatabaseKey) + "\\" + name; }

// What the engine sends of a user: everything but the password.
inline std::shared_ptr<CUser> PublicCopy(const CUser& user) {
  std::shared_ptr<CUser> copy;
  {
    CLockGuard g(user);
    copy = std::make_shared<CUser>(user);
  }
  copy->Password = kRCPasswordUnchanged;
  return copy;
}

inline std::shared_ptr<CGroup> GroupCopy(const CGroup& group) {
  CLockGuard g(group);
  return std::make_shared<CGroup>(group);
}

// The console always deals in all 13 rights; right 11 has no meaning, so a default one with its
// number stands in for any the engine does not hold.
template <class Fn>
void ForEachConsoleRight(CTrellisEngine& engine, Fn&& fn) {
  CRight placeholder;
  for (int32_t i = 0; i < kRCRightCount; ++i) {
    CRight* right = engine.GetRight(i);
    if (!right) {
      placeholder.RightType = i;
      right = &placeholder;
    }
    fn(*right);
  }
}

}  // namespace remote_control
