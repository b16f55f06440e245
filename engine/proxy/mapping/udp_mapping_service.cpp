#include "engine/proxy/mapping/udp_mapping_service.h"

#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/proxy/mapping/tcp_mapping_service.h"
#include "engine/proxy/mapping/tcp_mapping_session.h"

TL_IMPLEMENT_DYNAMIC(CUDPMappingSession, CTwoEndUDPSession)

namespace {

// A "CUDPMappingService" read from the registry or a console's frame is a running service here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CUDPMappingServiceSettings), &MakeRunningService<CUDPMappingService>);

constexpr uint32_t kUnresolved = 0xFFFFFFFFu;

uint32_t Resolve(const CString& host) {
  auto engine = TheEngine();
  return engine ? engine->ResolveHost(host) : kUnresolved;
}

}  // namespace

// ---- CUDPMappingService -------------------------------------------------------------------------

CUDPMappingService::CUDPMappingService() = default;

CUDPMappingService::~CUDPMappingService() = default;

void CUDPMappingService::Start() {
  uint32_t port = 0;
  {
    CLockGuard g(Settings());
    port = PortNumber;
  }
  if (!MappingPortUsable(*this, port)) return;
  CTwoEndUDPService::Start();
}

std::shared_ptr<CTwoEndUDPSession> CUDPMappingService::CreateSession(int listenerHandle) {
  auto self = std::dynamic_pointer_cast<CUDPService>(shared_from_this());
  return std::make_shared<CUDPMappingSession>(self, Mappings);
}

// ---- CUDPMappingSession -------------------------------------------------------------------------

CUDPMappingSession::CUDPMappingSession(std::shared_ptr<CUDPService> service, std::shared_ptr<const CMappings> mappings)
    : CTwoEndUDPSession(service, std::weak_ptr<CUDPSessionOwner>(service), CString(), 0),
      m_mappings(std::move(mappings)) {
  SetDescription("UDPMapping:");
}

CUDPMappingSession::~CUDPMappingSession() = default;

bool CUDPMappingSession::SetupDestination() {
  try {
    if (Setup()) return true;
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CUDPMappingSession::SetupDestination() %s - terminating",
        e.GetText().c_str());
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CUDPMappingSession::SetupDestination() - terminating");
  }
  // A session without a destination must not stay: its client's later datagrams would go nowhere.
  Terminate(kSessionExitRefused);
  return false;
}

bool CUDPMappingSession::Setup() {
  CHostPort destination;
  if (!m_mappings || !m_mappings->Resolve(MakeMappingRequest(*this), destination)) {
    Log(kLogFailedAuthorisation, "No mapping or default not allowed - terminating");
    return false;
  }
  const CString& host = destination.Host;
  const uint32_t port = destination.Port;
  if (host.empty() || port == 0 || port > 0xFFFF) {
    Log(kLogError, "No destination for %s:%u - terminating", host.c_str(), port);
    return false;
  }
  SetServerName(host);
  SetServerPort(port);
  uint32_t address = Resolve(host);
  SetServerAddress(address);
  if (CheckRights(AccessStage::Request) == AccessResult::Refused) return false;
  if (auto engine = TheEngine()) engine->CheckDialFirst(this);
  if (address == kUnresolved) {
    address = Resolve(host);
    SetServerAddress(address);
    if (CheckRights(AccessStage::Request) == AccessResult::Refused) return false;
  }
  if (IsEnding()) return false;
  // Each datagram sent back into this service would make a session that sends it on again.
  if (address != kUnresolved && LoopsBack(host, address, port)) return false;
  // Connected: the socket takes datagrams from the destination alone.
  m_serverSocket.Connect(host, static_cast<uint16_t>(port));
  uint32_t peer = 0;
  if (TryParseIPAddress(m_serverSocket.GetPeerAddress(), &peer)) SetServerAddress(peer);

  const CString description =
      FormatString("UDPMapping: %s:%u -> %s:%u", GetClientAddress().c_str(), GetClientPort(), host.c_str(), port);
  SetDescription(description);
  if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
  Audit(kAuditRequested, "%s", description.c_str());
  Log(kLogRequested, "%s", description.c_str());
  return true;
}

void CUDPMappingSession::OnServerRead() {
  auto service = std::dynamic_pointer_cast<CUDPMappingService>(GetService());
  if (!service) return;
  std::vector<uint8_t>& buffer = service->ReplyBuffer();
  CString from;
  uint16_t fromPort = 0;
  size_t n = 0;
  try {
    n = m_serverSocket.ReceiveFrom(buffer.data(), buffer.size(), from, fromPort);
  } catch (const X1SocketException& e) {
    // The destination's port is closed (an ICMP error): that datagram goes, the session stays.
    Log(kLogDebug, "Caught socket exception in CUDPMappingSession::OnServerRead() %s - ignoring", e.GetText().c_str());
    return;
  }
  if (from.empty()) return;  // nothing was waiting
  service->SendToClient(*this, buffer.data(), n);
  ResetIdleTimer();
}
