#include "engine/proxy/streaming/xdma_service.h"

#include <cstring>

#include "engine/config/util.h"
#include "engine/core/engine.h"

TL_IMPLEMENT_DYNAMIC(CXDMASession, CTwoEndUDPSession)

namespace {

// A "CXDMAService" read from the registry or a console's frame is a running relay here.
CProgramFactory g_factory(TL_RUNTIME_CLASS(CXDMAServiceSettings), &MakeRunningService<CXDMAService>);

constexpr uint32_t kUnresolved = 0xFFFFFFFFu;

uint32_t Resolve(const CString& host) {
  auto engine = TheEngine();
  if (engine) return engine->ResolveHost(host);
  uint32_t address = kUnresolved;
  return TryParseIPAddress(host, &address) ? address : kUnresolved;
}

}  // namespace

// ---- Byte forms ---------------------------------------------------------------------------------

uint32_t xdma::ServerPort(uint16_t written) {
  CString text = std::to_string(written);
  if (text.back() == '4') text.pop_back();
  return text.empty() ? 0 : static_cast<uint32_t>(std::stoul(text));
}

bool xdma::ParseFirst(const uint8_t* data, size_t length, FirstDatagram* out) {
  if (length < kMinDatagram) return false;
  out->kind = data[0];
  out->address = (uint32_t{data[4]} << 24) | (uint32_t{data[5]} << 16) | (uint32_t{data[6]} << 8) | data[7];
  out->port = ServerPort(static_cast<uint16_t>((data[8] << 8) | data[9]));
  out->stream.clear();
  if (out->kind == kKindStream && length > kStreamNameOffset) {
    const uint8_t* name = data + kStreamNameOffset;
    const void* end = std::memchr(name, 0, length - kStreamNameOffset);
    if (end) out->stream.assign(reinterpret_cast<const char*>(name), static_cast<const uint8_t*>(end) - name);
  }
  return true;
}

bool xdma::MarkForServer(uint8_t* data, size_t length, uint16_t port) {
  if (length < kMinDatagram) return false;
  data[1] |= 1;
  data[8] = static_cast<uint8_t>(port >> 8);
  data[9] = static_cast<uint8_t>(port);
  return true;
}

// ---- CXDMAService -------------------------------------------------------------------------------

CXDMAService::CXDMAService() = default;

CXDMAService::~CXDMAService() = default;

std::shared_ptr<CTwoEndUDPSession> CXDMAService::CreateSession(int listenerHandle) {
  return std::make_shared<CXDMASession>(std::dynamic_pointer_cast<CUDPService>(shared_from_this()));
}

// ---- CXDMASession -------------------------------------------------------------------------------

CXDMASession::CXDMASession(std::shared_ptr<CUDPService> service)
    : CTwoEndUDPSession(service, std::weak_ptr<CUDPSessionOwner>(service), CString(), 0) {
  SetDescription("XDMA:");
}

CXDMASession::~CXDMASession() = default;

bool CXDMASession::SetupDestination() {
  try {
    if (Setup()) return true;
  } catch (const X1SocketException& e) {
    Log(kLogError, "Caught socket exception in CXDMASession::SetupDestination() %s - terminating", e.GetText().c_str());
  } catch (...) {
    Log(kLogError, "Caught unknown exception in CXDMASession::SetupDestination() - terminating");
  }
  // A player without a server must not keep a session: its later datagrams would go nowhere.
  Terminate(kSessionExitRefused);
  return false;
}

bool CXDMASession::Setup() {
  auto service = std::dynamic_pointer_cast<CTwoEndUDPService>(GetService());
  if (!service) return false;
  xdma::FirstDatagram first;
  if (!xdma::ParseFirst(service->GetDatagram(), service->GetDatagramLength(), &first)) {
    Log(kLogError, "Datagram of %u bytes names no server - terminating",
        static_cast<unsigned>(service->GetDatagramLength()));
    return false;
  }
  const CString name = FormatIPAddress(first.address);
  if (first.port == 0 || first.port > 0xFFFF) {
    Log(kLogError, "No server port for %s - terminating", name.c_str());
    return false;
  }
  SetServerName(name);
  SetServerPort(first.port);
  m_serverSidePort = m_serverSocket.GetLocalPort();
  uint32_t address = Resolve(name);
  SetServerAddress(address);
  if (CheckRights(AccessStage::Request) == AccessResult::Refused) return false;
  if (first.kind == xdma::kKindStream) {
    const CString description = FormatString("XDMA://%s:%u/%s", name.c_str(), first.port, first.stream.c_str());
    SetDescription(description);
    if (auto engine = TheEngine()) engine->NotifySessionChanged(GetClientAddress(), GetSessionNumber(), description);
    Audit(kAuditRequested, "%s", description.c_str());
    Log(kLogRequested, "%s", description.c_str());
  }
  ResetIdleTimer();
  if (auto engine = TheEngine()) engine->CheckDialFirst(this);
  if (address == kUnresolved) {
    address = Resolve(name);
    SetServerAddress(address);
    if (CheckRights(AccessStage::Request) == AccessResult::Refused) return false;
  }
  if (IsEnding()) return false;
  // The player chose this server: judged as every client's destination, at the address connected
  // to (the gateway's loopback and its own datagram services are not the player's to reach).
  if (RefuseClientDestination(address, first.port)) return false;
  // Connected: only the server's own datagrams reach the player.
  m_serverSocket.Connect(FormatIPAddress(address), static_cast<uint16_t>(first.port));
  ResetIdleTimer();
  return true;
}

void CXDMASession::ForwardToServer(const void* buffer, size_t length) {
  if (length < xdma::kMinDatagram || length > sizeof m_buffer) return;  // no fields to write
  std::memcpy(m_buffer, buffer, length);
  xdma::MarkForServer(m_buffer, length, m_serverSidePort);
  AddClientBytesReceived(length);
  m_serverSocket.Send(m_buffer, length);
  ResetIdleTimer();
  if (m_buffer[0] == xdma::kKindLast) Terminate(0);
}

void CXDMASession::OnServerRead() {
  CString from;
  uint16_t fromPort = 0;
  size_t n = 0;
  try {
    n = m_serverSocket.ReceiveFrom(m_buffer, sizeof m_buffer, from, fromPort);
  } catch (const X1SocketException& e) {
    Log(kLogDebug, "Caught socket exception in CXDMASession::OnServerRead() %s - ignoring", e.GetText().c_str());
    return;
  }
  if (from.empty()) return;
  // The service may have stopped while the datagram was on its way: then it has no player socket.
  auto service = std::dynamic_pointer_cast<CTwoEndUDPService>(GetService());
  if (!service || !service->SendToClient(*this, m_buffer, n)) return;
  ResetIdleTimer();
}
