#include "engine/proxy/telnet/telnet_service.h"

#include "engine/proxy/telnet/telnet_session.h"

namespace {

// A "CTelnetService" read from the registry or a console's frame is a running Telnet gateway here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CTelnetServiceSettings), &MakeRunningService<CTelnetService>);

}  // namespace

CTelnetService::CTelnetService() = default;

CTelnetService::~CTelnetService() = default;

std::shared_ptr<CTCPSession> CTelnetService::CreateSession(int handle) {
  return std::make_shared<CTelnetSession>(shared_from_this(), handle);
}

void CTelnetService::PrepareSession(CTCPSession& session) {
  CTCPService::PrepareSession(session);
  if (auto* telnet = dynamic_cast<CTelnetSession*>(&session)) telnet->SetTelnetOptions(GetTelnetOptions());
}
