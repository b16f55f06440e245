#include "engine/remote/rc_service_settings.h"

TL_IMPLEMENT_SERIAL_AS(CRemoteControlServiceSettings, "CRemoteControlService", CTCPServiceSettings, 1)

CRemoteControlServiceSettings::CRemoteControlServiceSettings()
    : CTCPServiceSettings(kRemoteControlServicePort, kRemoteControlServiceName, kRemoteControlServiceName) {
  NonProxyRequestPort = kRemoteControlServicePort;
  BindingOption = BINDING_SPECIFIC;
  SpecificBinding = kRemoteControlLoopback;
  TimeOutSessions = 0;
  ReuseAddr = 1;
}

CRemoteControlServiceSettings::~CRemoteControlServiceSettings() = default;
