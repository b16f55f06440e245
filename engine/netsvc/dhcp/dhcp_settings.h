#pragma once
// The DHCP server's settings, stored as "CDHCPService": the datagram service's values,
// "AllowAllocatePublicIPs" (serve requests that arrive over a public network) and the database
// under "<service key>\\Database". Archive form: the service base, the database, then
// AllowAllocatePublicIPs (u32).
#include "engine/core/service_settings.h"
#include "engine/netsvc/dhcp/dhcp_database.h"

class CDHCPServiceSettings : public CUDPServiceSettings {
  TL_DECLARE_SERIAL(CDHCPServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 67;

  CDHCPServiceSettings();
  ~CDHCPServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_DHCP; }
  // Internal LAN addresses of the machine only: automatic binding never serves an outside network.
  bool AcceptsInterface(const CInterface& entry) const override;
  bool ServesInsideOnly() const override { return true; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  CDHCPDatabase Database;
  uint32_t AllowAllocatePublicIPs = 0;
};
