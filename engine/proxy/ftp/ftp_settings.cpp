#include "engine/proxy/ftp/ftp_settings.h"

TL_IMPLEMENT_SERIAL_AS(CFTPServiceSettings, "CFTPService", CTCPServiceSettings, 1)

CFTPServiceSettings::CFTPServiceSettings() : CTCPServiceSettings(kDefaultPort, "FTP Proxy server", "FTP Proxy server") {
  ConnectMethodsOffered = CONNECT_HTTP_PROXY | CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL;
}

CFTPServiceSettings::~CFTPServiceSettings() = default;
