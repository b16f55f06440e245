#pragma once
// The POP3 gateway service: its settings are CPOP3ServiceSettings (pop3_settings.h); its listener
// turns every accepted connection into a CPOP3Session.
#include <memory>

#include "engine/core/service.h"
#include "engine/proxy/pop3/pop3_settings.h"

class CPOP3Service final : public TRunningService<CPOP3ServiceSettings, CTCPService> {
 public:
  CPOP3Service();
  ~CPOP3Service() override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
  // The base, then the delimiter.
  void PrepareSession(CTCPSession& session) override;
};
