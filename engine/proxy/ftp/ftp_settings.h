#pragma once
// The FTP gateway's settings: the TCP service's alone (it has none of its own). Stored as
// "CFTPService"; the engine runs it as CFTPService (ftp_service.h). Registry values and archive
// form are the TCP service's.
#include <cstdint>

#include "engine/core/service_settings.h"

class CFTPServiceSettings : public CTCPServiceSettings {
  TL_DECLARE_SERIAL(CFTPServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 21;

  CFTPServiceSettings();
  ~CFTPServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_FTP; }
};
