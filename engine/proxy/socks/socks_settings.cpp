#include "engine/proxy/socks/socks_settings.h"

#include "engine/config/settings_table.h"

TL_IMPLEMENT_SERIAL_AS(CSOCKSServiceSettings, "CSOCKSService", CTCPServiceSettings, 1)

namespace {

using Row = CSettingRow<CSOCKSServiceSettings>;
using S = CSOCKSServiceSettings;
constexpr Row kSOCKSRows[] = {
    Row::Dword("UseRFC1929", &S::UseRFC1929, 0),
    Row::Dword("DoReverseLookups", &S::DoReverseLookups, 0),
    Row::Dword("ReferHTTPRequests", &S::ReferHTTPRequests, 1),
    Row::Dword("CacheReferredHTTPRequests", &S::CacheReferredHTTPRequests, 1),
    Row::Dword("UseSpecifiedPolicy", &S::UseSpecifiedPolicy, 0),
    Row::Text("HTTPPolicy", &S::HTTPPolicy, ""),
};

}  // namespace

CSOCKSServiceSettings::CSOCKSServiceSettings()
    : CTCPServiceSettings(kDefaultPort, "SOCKS Proxy server", "SOCKS Proxy server") {}

CSOCKSServiceSettings::~CSOCKSServiceSettings() = default;

bool CSOCKSServiceSettings::SaveSettings(const CString& key) {
  bool ok = CTCPServiceSettings::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  ok &= SaveSettingRows(*this, key, kSOCKSRows);
  return ok;
}

void CSOCKSServiceSettings::LoadSettings(const CString& key) {
  CTCPServiceSettings::LoadSettings(key);
  CLockGuard g(*this);
  LoadSettingRows(*this, key, kSOCKSRows);
}

void CSOCKSServiceSettings::Serialize(CArchive& ar) {
  CTCPServiceSettings::Serialize(ar);
  CLockGuard g(*this);
  SerializeSettingRows(*this, ar, kSOCKSRows);
}

CSOCKSOptions CSOCKSServiceSettings::GetSOCKSOptions() const {
  CLockGuard g(*this);
  return static_cast<const CSOCKSOptions&>(*this);
}
