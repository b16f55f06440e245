#include "engine/proxy/mapping/tcp_mapping_session.h"

#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/core/machine.h"
#include "engine/dialer/dialer.h"
#include "engine/remote/link.h"

TL_IMPLEMENT_DYNAMIC(CTCPMappingSession, CTwoEndTCPSession)

namespace {

// Resolved addresses are host order; this one means refused or unknown.
constexpr uint32_t kUnresolved = 0xFFFFFFFFu;

uint32_t Resolve(const CString& host) {
  auto engine = TheEngine();
  return engine ? engine->ResolveHost(host) : kUnresolved;
}

}  // namespace

CMappingRequest MakeMappingRequest(const CSession& session) {
  CMappingRequest request;
  request.UserName = session.GetUserName();
  request.ClientAddress = session.GetClientAddress();
  if (CSessionHost* host = GetSessionHost()) request.Users = host->GetUserDatabase();
  request.IsConnectionUp = [](const CString& entry) {
    auto engine = TheEngine();
    auto dialer = engine ? engine->GetDialer() : nullptr;
    return dialer && dialer->FindConnection(entry).has_value();
  };
  return request;
}

CTCPMappingSession::CTCPMappingSession(std::shared_ptr<CService> service, int acceptedHandle)
    : CTwoEndTCPSession(std::move(service), acceptedHandle) {
  SetDescription("TCPMapping:");
}

CTCPMappingSession::~CTCPMappingSession() = default;

void CTCPMappingSession::SetMappingSettings(std::shared_ptr<const CMappings> mappings,
                                            const CMappingLinkSettings& link) {
  m_mappings = std::move(mappings);
  m_link = link;
}

void CTCPMappingSession::OnStart() {
  try {
    Initialize();
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CTCPMappingSession::Initialize() %s - terminating", e.GetText().c_str());
    Terminate(kSessionExitRefused);
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CTCPMappingSession::Initialize() - terminating");
    Terminate(kSessionExitRefused);
  }
}

void CTCPMappingSession::Initialize() {
  CHostPort destination;
  if (!m_mappings || !m_mappings->Resolve(MakeMappingRequest(*this), destination)) {
    Log(kLogFailedAuthorisation, "No mapping or default not allowed - terminating");
    Terminate(kSessionExitRefused);
    return;
  }

  if (m_link.EncryptConnectionsIn) {
    const bool fixedUser = m_link.SpecifyUserForIncomingConnection != 0;
    X1Link& link =
        SetHandshake(m_clientSocket, LINK_CLIENT_MAPPING, false, fixedUser, m_link.UsernameIn, m_link.PasswordIn);
    if (!fixedUser) {
      link.SetUserLookup([](const CString& name, CString* password) {
        CSessionHost* host = GetSessionHost();
        CGroupMemberDatabase* users = host ? host->GetUserDatabase() : nullptr;
        if (!users) return LinkUserState::NoSuchUser;
        CLockGuard g(*users);
        auto user = users->FindUser(name);
        if (!user) return LinkUserState::NoSuchUser;
        CLockGuard ug(*user);
        if (!user->AccountEnabled) return LinkUserState::Disabled;
        *password = user->Password;
        return LinkUserState::Found;
      });
    }
    link.ServerHandshake(m_clientSocket);
  }

  const CString& host = destination.Host;
  const uint32_t port = destination.Port;
  if (host.empty() || port == 0 || port > 0xFFFF) {
    // An empty default (a service whose destination was never set) goes nowhere.
    Log(kLogError, "No destination for %s:%u - terminating", host.c_str(), port);
    Terminate(kSessionExitRefused);
    return;
  }
  SetServerName(host);
  SetServerPort(port);
  const CString description = FormatString("TCPMapping: Connected to %s:%u", host.c_str(), port);
  SetDescription(description);

  uint32_t address = Resolve(host);
  SetServerAddress(address);
  if (CheckRights(AccessStage::Request) == AccessResult::Refused) return;
  if (auto engine = TheEngine()) engine->CheckDialFirst(this);
  if (address == kUnresolved) {
    // Request criteria on the server's address could not be judged before the link was up.
    address = Resolve(host);
    SetServerAddress(address);
    if (CheckRights(AccessStage::Request) == AccessResult::Refused) return;
  }
  if (IsEnding()) return;

  if (m_link.EncryptConnectionsOut)
    SetHandshake(m_serverSocket, LINK_CLIENT_MAPPING, false, false, m_link.UsernameOut, m_link.PasswordOut);
  ConnectToServer(host, port, Destination::OperatorChosen);
  StartRelay();

  if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
}
