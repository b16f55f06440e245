#include "engine/netsvc/dhcp/dhcp_settings.h"

#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_SERIAL_AS(CDHCPServiceSettings, "CDHCPService", CUDPServiceSettings, 1)

CDHCPServiceSettings::CDHCPServiceSettings() : CUDPServiceSettings(kDefaultPort, "DHCP Service", "DHCP Service") {
  BindingOption = BINDING_SPECIFIC;
}

CDHCPServiceSettings::~CDHCPServiceSettings() = default;

bool CDHCPServiceSettings::AcceptsInterface(const CInterface& entry) const {
  return entry.m_kind == INTERFACE_IP && entry.m_lan != 0;
}

bool CDHCPServiceSettings::SaveSettings(const CString& key) {
  bool ok = CUDPServiceSettings::SaveSettings(key);
  uint32_t allow;
  {
    CLockGuard g(*this);
    allow = AllowAllocatePublicIPs;
  }
  ok = RegWriteDWORD(key, "AllowAllocatePublicIPs", allow) && ok;
  return Database.Save(key + "\\Database") && ok;
}

void CDHCPServiceSettings::LoadSettings(const CString& key) {
  CUDPServiceSettings::LoadSettings(key);
  {
    CLockGuard g(*this);
    AllowAllocatePublicIPs = RegReadDWORD(key, "AllowAllocatePublicIPs", 0);
  }
  Database.Load(key + "\\Database");
}

void CDHCPServiceSettings::Serialize(CArchive& ar) {
  CUDPServiceSettings::Serialize(ar);
  Database.Serialize(ar);
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << AllowAllocatePublicIPs;
  } else {
    uint32_t v = 0;
    ar >> v;
    AllowAllocatePublicIPs = v;
  }
}
