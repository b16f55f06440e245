#pragma once
// The remote-control service's settings: a TCP service on port 808 that listens on 127.0.0.1 by
// default and has neither non-proxy settings nor outgoing interfaces. Stored as
// "CRemoteControlService"; the engine runs it as CRemoteControlService (rc_service.h).
#include <cstdint>

#include "engine/core/service_settings.h"

inline constexpr const char* kRemoteControlServiceName = "Remote Control Service";
inline constexpr const char* kRemoteControlServiceClass = "CRemoteControlService";
inline constexpr uint32_t kRemoteControlServicePort = 808;
inline constexpr const char* kRemoteControlLoopback = "127.0.0.1";

class CRemoteControlServiceSettings : public CTCPServiceSettings {
  TL_DECLARE_SERIAL(CRemoteControlServiceSettings)

 public:
  CRemoteControlServiceSettings();
  ~CRemoteControlServiceSettings() override;

  bool HasNonProxySettings() const override { return false; }
  bool HasOutgoingInterfaces() const override { return false; }
};
