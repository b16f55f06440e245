#pragma once
// The Telnet gateway service: its settings are CTelnetServiceSettings (telnet_settings.h); its
// listener turns every accepted connection into a CTelnetSession.
#include <memory>

#include "engine/core/service.h"
#include "engine/proxy/telnet/telnet_settings.h"

class CTelnetService final : public TRunningService<CTelnetServiceSettings, CTCPService> {
 public:
  CTelnetService();
  ~CTelnetService() override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
  // The base, then the prompt and the login flag.
  void PrepareSession(CTCPSession& session) override;
};
