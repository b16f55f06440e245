#pragma once
// The UDP mapping service: one session per client address and port (CUDPMappingSession), made on
// the client's first datagram; the destination is chosen then by the service's rules and kept
// for the session's life. Datagrams of every length UDP carries (0 to 65507 bytes over IPv4) pass
// both ways whole; the server-side socket is connected to the destination, so only the
// destination's datagrams come back to the client. Runs on the datagram service's own thread
// (udp_service.h), which reads the destinations' datagrams into one buffer of the service, so a
// session costs no datagram buffer of its own.
//
// A session whose setup fails (no rule, refused, the dialer or the connect failing) ends and
// leaves the service's tables at once, so the client's next datagram starts afresh.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/udp_service.h"
#include "engine/proxy/common/two_end_session.h"
#include "engine/proxy/mapping/mapping_settings.h"

class CUDPMappingService final : public TRunningService<CUDPMappingServiceSettings, CTwoEndUDPService> {
 public:
  CUDPMappingService();
  ~CUDPMappingService() override;

  void Start() override;
  std::shared_ptr<CTwoEndUDPSession> CreateSession(int listenerHandle) override;

  // Where a session reads a datagram of its destination (the service's thread only).
  std::vector<uint8_t>& ReplyBuffer() { return m_replyBuffer; }

 private:
  std::vector<uint8_t> m_replyBuffer = std::vector<uint8_t>(kMaxDatagram);
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
};
