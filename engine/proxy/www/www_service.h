#pragma once
// The WWW proxy service: the engine's HTTP/1.0 proxy (and, for requests addressed to the gateway
// itself, a small web server). Its settings are CWWWServiceSettings (www_settings.h); its
// listener turns every accepted connection into a CWWWSession.
#include <memory>

#include "engine/core/service.h"
#include "engine/proxy/www/www_settings.h"

class CWWWService final : public TRunningService<CWWWServiceSettings, CTCPService> {
 public:
  CWWWService();
  ~CWWWService() override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
  // The base (which copies the connection settings too), then the WWW settings and the engine's
  // cache.
  void PrepareSession(CTCPSession& session) override;

 protected:
  // Both of the above may run on any thread.
  bool TakesConnectionsOnSessionEnd() const override { return true; }
};
