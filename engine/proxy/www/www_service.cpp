#include "engine/proxy/www/www_service.h"

#include "engine/core/engine.h"
#include "engine/proxy/www/www_session.h"

namespace {

// A "CWWWService" read from the registry or a console's frame is a running web proxy here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CWWWServiceSettings), &MakeRunningService<CWWWService>);

}  // namespace

CWWWService::CWWWService() = default;

CWWWService::~CWWWService() = default;

std::shared_ptr<CTCPSession> CWWWService::CreateSession(int handle) {
  return std::make_shared<CWWWSession>(shared_from_this(), handle);
}

void CWWWService::PrepareSession(CTCPSession& session) {
  CTCPService::PrepareSession(session);
  if (auto* www = dynamic_cast<CWWWSession*>(&session)) {
    www->SetWWWSettings(GetWWWSettings());
    if (auto engine = TheEngine()) www->SetCache(engine->GetWWWCache());
  }
}
