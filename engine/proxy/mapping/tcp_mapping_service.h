#pragma once
// The TCP mapping service: listens on one port and relays every client connection to the
// destination its rules choose (CTCPMappingSession). Two engines may be joined over the
// enciphered link: the incoming side can demand the link's login of its clients, the outgoing side
// can log in to the destination. Settings: CTCPMappingServiceSettings (mapping_settings.h).
//
// A service whose port is 0 does not start: it would listen on a port the system picks and report
// success on a port nobody can know.
#include <memory>

#include "engine/core/service.h"
#include "engine/proxy/mapping/mapping_settings.h"

class CTCPMappingService final : public TRunningService<CTCPMappingServiceSettings, CTCPService> {
 public:
  CTCPMappingService();
  ~CTCPMappingService() override;

  void Start() override;
  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
  // The base (connection settings and the rest), then the rules and the link values.
  void PrepareSession(CTCPSession& session) override;
};

// Shared by both mapping services: refuses port 0 with a line in the service log; true to go on.
bool MappingPortUsable(CService& service, uint32_t port);
