#include "engine/proxy/socks/socks_service.h"

#include "engine/proxy/socks/socks_session.h"

namespace {

// A "CSOCKSService" read from the registry or a console's frame is a running SOCKS server here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CSOCKSServiceSettings), &MakeRunningService<CSOCKSService>);

}  // namespace

CSOCKSService::CSOCKSService() = default;

CSOCKSService::~CSOCKSService() = default;

std::shared_ptr<CTCPSession> CSOCKSService::CreateSession(int handle) {
  return std::make_shared<CSOCKSSession>(shared_from_this(), handle);
}

void CSOCKSService::PrepareSession(CTCPSession& session) {
  CTCPService::PrepareSession(session);
  if (auto* socks = dynamic_cast<CSOCKSSession*>(&session)) socks->SetSOCKSOptions(GetSOCKSOptions());
}
