#include "engine/proxy/www/www_settings.h"

#include "engine/config/settings_table.h"

TL_IMPLEMENT_SERIAL_AS(CWWWServiceSettings, "CWWWService", CTCPServiceSettings, 1)

namespace {

using Row = CSettingRow<CWWWServiceSettings>;
using W = CWWWServiceSettings;
constexpr Row kWWWRows[] = {
    Row::Dword("CacheNonProxyRequests", &W::CacheNonProxyRequests, 0),
    Row::Dword("PrependResource", &W::PrependResource, 0),
    Row::Text("PrependInfo", &W::PrependInfo, ""),
    Row::Text("RedirectURL", &W::RedirectURL, ""),
    Row::Text("ServerRoot", &W::ServerRoot, ""),
    Row::Text("DefaultFilename", &W::DefaultFilename, "index.html"),
    Row::Dword("AllowDirectoryBrowsing", &W::AllowDirectoryBrowsing, 0),
    Row::Dword("EnableCGI", &W::EnableCGI, 0),
    Row::Text("CGIRoot", &W::CGIRoot, ""),
    Row::Text("CGILabel", &W::CGILabel, "cgi-bin"),
    Row::Dword("UseJavaClient", &W::UseJavaClient, 0),
};

}  // namespace

CWWWServiceSettings::CWWWServiceSettings() : CTCPServiceSettings(kDefaultPort, "WWW Proxy server", "WWW Proxy server") {
  ConnectMethodsOffered = CONNECT_HTTP_PROXY | CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL;
}

CWWWServiceSettings::~CWWWServiceSettings() = default;

bool CWWWServiceSettings::SaveSettings(const CString& key) {
  bool ok = CTCPServiceSettings::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  ok &= SaveSettingRows(*this, key, kWWWRows);
  return ok;
}

void CWWWServiceSettings::LoadSettings(const CString& key) {
  CTCPServiceSettings::LoadSettings(key);
  CLockGuard g(*this);
  LoadSettingRows(*this, key, kWWWRows);
}

void CWWWServiceSettings::Serialize(CArchive& ar) {
  CTCPServiceSettings::Serialize(ar);
  CLockGuard g(*this);
  SerializeSettingRows(*this, ar, kWWWRows);
}

CWWWSettings CWWWServiceSettings::GetWWWSettings() const {
  CLockGuard g(*this);
  CWWWSettings s;
  static_cast<CWWWOptions&>(s) = *this;
  s.ServicePort = PortNumber;
  return s;
}
