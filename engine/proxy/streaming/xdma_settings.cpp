#include "engine/proxy/streaming/xdma_settings.h"

TL_IMPLEMENT_SERIAL_AS(CXDMAServiceSettings, "CXDMAService", CUDPServiceSettings, 1)

CXDMAServiceSettings::CXDMAServiceSettings()
    : CUDPServiceSettings(kDefaultPort, "XDMA Proxy service", "XDMA Proxy service") {
  SessionTimeout = kDefaultSessionTimeout;
}

CXDMAServiceSettings::~CXDMAServiceSettings() = default;
