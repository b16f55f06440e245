#pragma once
// The VDOLive relay's settings: those of a TCP service with its own defaults (port 7000, no
// upstream methods: its sessions always connect directly). Stored as "CVDOLiveService"; the engine
// runs it as CVDOLiveService (vdolive_service.h). Registry and archive forms are the TCP service's.
#include "engine/core/service_settings.h"

class CVDOLiveServiceSettings : public CTCPServiceSettings {
  TL_DECLARE_SERIAL(CVDOLiveServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 7000;

  CVDOLiveServiceSettings();
  ~CVDOLiveServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_VDOLIVE; }
};
