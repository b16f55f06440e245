#pragma once
// The RealAudio relay's settings: those of a TCP service with its own defaults (port 1090, no
// upstream methods: its sessions always connect directly). Stored as "CRealAudioService"; the
// engine runs it as CRealAudioService (realaudio_service.h). Registry and archive forms are the
// TCP service's.
#include "engine/core/service_settings.h"

class CRealAudioServiceSettings : public CTCPServiceSettings {
  TL_DECLARE_SERIAL(CRealAudioServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 1090;

  CRealAudioServiceSettings();
  ~CRealAudioServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_REALAUDIO; }
};
