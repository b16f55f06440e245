#pragma once
// The UDP mapping service: one session per client address and port (CUDPMappingSession), made on
// the client's first datagram; the destination is chosen then by the service's rules and kept
// for the session's life. Datagrams of any length, the empty one included, pass both ways; the
// server-side socket is connected to the destination, so only the destination's datagrams come
// back to the client. Runs on the datagram service's own thread (udp_service.h).
//
// A session whose setup fails (no rule, refused, the dialer or the connect failing) ends and
// leaves the service's tables at once, so the client's next datagram starts afresh.
#include <memory>

#include "engine/core/udp_service.h"
#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/mapping/mapping_settings.h"

class CUDPMappingService final : public TRunningService<CUDPMappingServiceSettings, CTwoEndUDPService> {
 public:
  CUDPMappingService();
  ~CUDPMappingService() override;

  void Start() override;
  std::shared_ptr<CTwoEndUDPSession> CreateSession(int listenerHandle) override;
};

class CUDPMappingSession : public CTwoEndUDPSession {
  TL_DECLARE_DYNAMIC(CUDPMappingSession)

 public:
  CUDPMappingSession(std::shared_ptr<CUDPService> service, std::shared_ptr<const CMappings> mappings);
  ~CUDPMappingSession() override;

  // Resolves the destination, checks rights, dials, connects the server-side socket. False (and
  // the session has ended) when the client is not to be relayed.
  bool SetupDestination() override;
  // One datagram of the destination back to the client, through the listener it wrote to.
  void OnServerRead() override;

 private:
  bool Setup();

  std::shared_ptr<const CMappings> m_mappings;
  uint8_t m_buffer[CTwoEndUDPService::kReceiveBufferSize];
};
