// Console requests on the system policies (the engine's rights) and on the assumptions it makes
// about machines (locations and machine names).
#include <array>

#include "engine/access/location.h"
#include "engine/remote/frame.h"
#include "engine/remote/rc_requests.h"
#include "engine/remote/rc_service.h"

using namespace remote_control;

namespace {

void SendRights(X1Socket& socket) {
  ForEachConsoleRight(*TheEngine(), [&](CRight& right) { SendObject(socket, right); });
}

// All 13 rights are read before anything changes; one the engine does not hold (right 11) is dropped.
bool ReceiveRights(X1Socket& socket) {
  std::array<CRight, kRCRightCount> scratch;
  for (auto& right : scratch) LoadBareFrame(ReceiveFramePayload(socket), right);
  auto engine = TheEngine();
  for (int32_t i = 0; i < kRCRightCount; ++i) {
    CRight* live = engine->GetRight(i);
    if (!live) continue;
    live->CopyFrom(scratch[static_cast<size_t>(i)]);
    live->RightType = i;
  }
  return engine->SaveConfiguration();
}

void SendAssumptions(X1Socket& socket) {
  auto engine = TheEngine();
  SendObject(socket, engine->GetLocations());
  SendObject(socket, engine->GetMachineNameMap());
}

bool ReceiveAssumptions(X1Socket& socket) {
  CLocationArray locations;
  CLockableStringMap names;
  LoadBareFrame(ReceiveFramePayload(socket), locations);
  LoadBareFrame(ReceiveFramePayload(socket), names);
  auto engine = TheEngine();
  locations.DropUnusable(engine->Users());
  DropUnusableMachineAssumptions(names, engine->Users());
  engine->GetLocations().CopyFrom(locations);
  {
    CLockableStringMap& live = engine->GetMachineNameMap();
    CLockGuard g(live);
    live.RemoveAll();
    for (const auto& [key, value] : names.Snapshot()) live.SetAt(key, value);
  }
  return engine->SaveConfiguration();
}

}  // namespace

bool CRemoteControlSession::RightsRequest(const CTLRCPMessage& message) {
  switch (message.m_code) {
    case RC_REQ_GET_POLICIES:
      SendRights(m_clientSocket);
      return true;
    case RC_REQ_UPLOAD_POLICIES:
    case RC_REQ_MODIFY_POLICIES: return ReceiveRights(m_clientSocket);
    case RC_REQ_GET_ASSUMPTIONS:
      SendAssumptions(m_clientSocket);
      return true;
    case RC_REQ_MODIFY_ASSUMPTIONS: return ReceiveAssumptions(m_clientSocket);
    default: return false;
  }
}
