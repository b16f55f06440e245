#pragma once
// The XDMA relay's settings: those of a datagram service, with its own defaults (port 8000, a
// 20-second session time-out). Stored as "CXDMAService"; the engine runs it as CXDMAService
// (xdma_service.h). Registry and archive forms are exactly the datagram service's.
#include "engine/core/service_settings.h"

class CXDMAServiceSettings : public CUDPServiceSettings {
  TL_DECLARE_SERIAL(CXDMAServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 8000;
  static constexpr uint32_t kDefaultSessionTimeout = 20;

  CXDMAServiceSettings();
  ~CXDMAServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_XDMA; }
};
