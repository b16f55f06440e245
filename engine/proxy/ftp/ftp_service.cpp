#include "engine/proxy/ftp/ftp_service.h"

#include "engine/proxy/ftp/ftp_session.h"

namespace {

// A "CFTPService" read from the registry or a console's frame is a running FTP gateway here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CFTPServiceSettings), &MakeRunningService<CFTPService>);

}  // namespace

CFTPService::CFTPService() = default;

CFTPService::~CFTPService() = default;

std::shared_ptr<CTCPSession> CFTPService::CreateSession(int handle) {
  return std::make_shared<CFTPSession>(shared_from_this(), handle);
}
