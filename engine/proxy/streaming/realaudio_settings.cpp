#include "engine/proxy/streaming/realaudio_settings.h"

TL_IMPLEMENT_SERIAL_AS(CRealAudioServiceSettings, "CRealAudioService", CTCPServiceSettings, 1)

CRealAudioServiceSettings::CRealAudioServiceSettings()
    : CTCPServiceSettings(kDefaultPort, "RealAudio Proxy server", "RealAudio Proxy server") {
  ConnectMethodsOffered = 0;
}

CRealAudioServiceSettings::~CRealAudioServiceSettings() = default;
