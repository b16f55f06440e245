#include "engine/netsvc/dns/dns_settings.h"

#include "engine/config/reg_helpers.h"
#include "engine/config/settings_table.h"

TL_IMPLEMENT_SERIAL_AS(CDNSServiceSettings, "CDNSService", CUDPServiceSettings, 1)

namespace {
using Row = CSettingRow<CDNSServiceSettings>;
using D = CDNSServiceSettings;
constexpr Row kDNSRows[] = {
    Row::Dword("AllowAutodial", &D::AllowAutodial, 1),
};
}  // namespace

CDNSServiceSettings::CDNSServiceSettings() : CUDPServiceSettings(kDefaultPort, "DNS server", "DNS server") {}

CDNSServiceSettings::~CDNSServiceSettings() = default;

bool CDNSServiceSettings::AcceptsInterface(const CInterface& entry) const {
  return entry.m_kind == INTERFACE_IP;
}

bool CDNSServiceSettings::SaveSettings(const CString& key) {
  bool ok = CUDPServiceSettings::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  return SaveSettingRows(*this, key, kDNSRows) && ok;
}

void CDNSServiceSettings::LoadSettings(const CString& key) {
  CUDPServiceSettings::LoadSettings(key);
  CLockGuard g(*this);
  LoadSettingRows(*this, key, kDNSRows);
}

void CDNSServiceSettings::Serialize(CArchive& ar) {
  CUDPServiceSettings::Serialize(ar);
  CLockGuard g(*this);
  SerializeSettingRows(*this, ar, kDNSRows);
}
