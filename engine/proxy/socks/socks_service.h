#pragma once
// The SOCKS server: its settings are CSOCKSServiceSettings (socks_settings.h); its listener turns
// every accepted connection into a CSOCKSSession.
#include <memory>

#include "engine/core/service.h"
#include "engine/proxy/socks/socks_settings.h"

class CSOCKSService final : public TRunningService<CSOCKSServiceSettings, CTCPService> {
 public:
  CSOCKSService();
  ~CSOCKSService() override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
  // The base, then the six SOCKS settings.
  void PrepareSession(CTCPSession& session) override;
};
