#pragma once
// The DNS relay's settings, stored as "CDNSService": the datagram service's values and
// "AllowAutodial" (whether a name the gateway cannot answer itself may bring up a dial-up link).
// Archive form: the service base, then AllowAutodial (u32).
#include "engine/core/service_settings.h"

class CDNSServiceSettings : public CUDPServiceSettings {
  TL_DECLARE_SERIAL(CDNSServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 53;

  CDNSServiceSettings();
  ~CDNSServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_DNS; }
  // Names go to the gateway's own resolver, which chooses its own interface.
  bool HasOutgoingInterfaces() const override { return false; }
  // Not dial-up, and an address of the machine (kind 1).
  bool AcceptsInterface(const CInterface& entry) const override;
  bool ServesInsideOnly() const override { return true; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  uint32_t AllowAutodial = 1;
};
