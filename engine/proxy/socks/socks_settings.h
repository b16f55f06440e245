#pragma once
// The SOCKS server's settings: what the console edits and the registry keeps for a SOCKS service,
// on top of the TCP service's. Stored as "CSOCKSService"; the engine runs it as CSOCKSService
// (socks_service.h).
//
// Registry values (under the service's key, beside the TCP service's): UseRFC1929,
// DoReverseLookups, ReferHTTPRequests, CacheReferredHTTPRequests, UseSpecifiedPolicy (DWORD),
// HTTPPolicy (text).
// Archive form: the TCP service's fields, then UseRFC1929, DoReverseLookups, ReferHTTPRequests,
// CacheReferredHTTPRequests, UseSpecifiedPolicy (u32), HTTPPolicy (string).
#include <cstdint>

#include "engine/core/service_settings.h"

// The fields a SOCKS service adds; each session takes a copy when it is made.
struct CSOCKSOptions {
  uint32_t UseRFC1929 = 0;
  uint32_t DoReverseLookups = 0;
  uint32_t ReferHTTPRequests = 1;
  uint32_t CacheReferredHTTPRequests = 1;
  uint32_t UseSpecifiedPolicy = 0;
  CString HTTPPolicy;
};

// The SOCKS fields are guarded by the object's lock like the base's settings.
class CSOCKSServiceSettings : public CTCPServiceSettings, public CSOCKSOptions {
  TL_DECLARE_SERIAL(CSOCKSServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 1080;

  CSOCKSServiceSettings();
  ~CSOCKSServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_SOCKS; }
  // A SOCKS client always names its destination: there are no non-proxy requests to set up.
  bool HasNonProxySettings() const override { return false; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  CSOCKSOptions GetSOCKSOptions() const;
};
