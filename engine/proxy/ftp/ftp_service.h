#pragma once
// The FTP gateway service: its settings are CFTPServiceSettings (ftp_settings.h); its listener
// turns every accepted connection into a CFTPSession.
#include <memory>

#include "engine/core/service.h"
#include "engine/proxy/ftp/ftp_settings.h"

class CFTPService final : public TRunningService<CFTPServiceSettings, CTCPService> {
 public:
  CFTPService();
  ~CFTPService() override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
};
