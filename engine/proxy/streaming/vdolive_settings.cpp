#include "engine/proxy/streaming/vdolive_settings.h"

TL_IMPLEMENT_SERIAL_AS(CVDOLiveServiceSettings, "CVDOLiveService", CTCPServiceSettings, 1)

CVDOLiveServiceSettings::CVDOLiveServiceSettings()
    : CTCPServiceSettings(kDefaultPort, "VDOLive Proxy server", "VDOLive Proxy server") {
  ConnectMethodsOffered = 0;
}

CVDOLiveServiceSettings::~CVDOLiveServiceSettings() = default;
