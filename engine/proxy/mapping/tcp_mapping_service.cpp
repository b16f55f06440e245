#include "engine/proxy/mapping/tcp_mapping_service.h"

#include "engine/core/engine.h"
#include "engine/proxy/mapping/tcp_mapping_session.h"

namespace {

// A "CTCPMappingService" read from the registry or a console's frame is a running service here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CTCPMappingServiceSettings), &MakeRunningService<CTCPMappingService>);

}  // namespace

bool MappingPortUsable(CService& service, uint32_t port) {
  if (port != 0 && port <= 0xFFFF) return true;
  service.Log(LOG_ERROR, "Service not started: port %u is not a port to listen on", port);
  return false;
}

CTCPMappingService::CTCPMappingService() = default;

CTCPMappingService::~CTCPMappingService() = default;

void CTCPMappingService::Start() {
  uint32_t port = 0;
  {
    CLockGuard g(Settings());
    port = PortNumber;
  }
  if (!MappingPortUsable(*this, port)) return;
  CTCPService::Start();
}

std::shared_ptr<CTCPSession> CTCPMappingService::CreateSession(int handle) {
  return std::make_shared<CTCPMappingSession>(shared_from_this(), handle);
}

void CTCPMappingService::PrepareSession(CTCPSession& session) {
  CTCPService::PrepareSession(session);
  if (auto* mapping = dynamic_cast<CTCPMappingSession*>(&session))
    mapping->SetMappingSettings(Mappings, GetLinkSettings());
}
