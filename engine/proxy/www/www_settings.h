#pragma once
// The web proxy's settings: what the console edits and the registry keeps for a WWW service, on
// top of the TCP service's. Stored as "CWWWService"; the engine runs it as CWWWService
// (www_service.h).
//
// Registry values (under the service's key, beside the TCP service's): CacheNonProxyRequests,
// PrependResource, PrependInfo, RedirectURL, ServerRoot, DefaultFilename, AllowDirectoryBrowsing,
// UseJavaClient, EnableCGI, CGIRoot, CGILabel.
// Archive form: the TCP service's fields, then CacheNonProxyRequests, PrependResource (u32),
// PrependInfo, RedirectURL, ServerRoot, DefaultFilename (strings), AllowDirectoryBrowsing,
// EnableCGI (u32), CGIRoot, CGILabel (strings), UseJavaClient (u32).
#include <cstdint>

#include "engine/core/service_settings.h"

// The fields a WWW service adds (stored, archived and handed to its sessions).
struct CWWWOptions {
  uint32_t CacheNonProxyRequests = 0;
  uint32_t PrependResource = 0;
  CString PrependInfo;
  CString RedirectURL;
  CString ServerRoot;
  CString DefaultFilename = "index.html";
  uint32_t AllowDirectoryBrowsing = 0;
  uint32_t UseJavaClient = 0;
  uint32_t EnableCGI = 0;
  CString CGIRoot;
  CString CGILabel = "cgi-bin";
};

// The settings a WWW session copies from its service when it is made.
struct CWWWSettings : CWWWOptions {
  uint32_t ServicePort = 0;  // the port the service listens on (loop detection)
};

// The WWW fields are guarded by the object's lock like the base's settings.
class CWWWServiceSettings : public CTCPServiceSettings, public CWWWOptions {
  TL_DECLARE_SERIAL(CWWWServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 80;

  CWWWServiceSettings();
  ~CWWWServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_WWW; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  CWWWSettings GetWWWSettings() const;
};
