#include "engine/proxy/pop3/pop3_service.h"

#include "engine/proxy/pop3/pop3_session.h"

namespace {

// A "CPOP3Service" read from the registry or a console's frame is a running POP3 gateway here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CPOP3ServiceSettings), &MakeRunningService<CPOP3Service>);

}  // namespace

CPOP3Service::CPOP3Service() = default;

CPOP3Service::~CPOP3Service() = default;

std::shared_ptr<CTCPSession> CPOP3Service::CreateSession(int handle) {
  return std::make_shared<CPOP3Session>(shared_from_this(), handle);
}

void CPOP3Service::PrepareSession(CTCPSession& session) {
  CTCPService::PrepareSession(session);
  if (auto* pop3 = dynamic_cast<CPOP3Session*>(&session)) pop3->SetDelimiter(GetDelimiter());
}
