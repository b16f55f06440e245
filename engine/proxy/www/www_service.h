#pragma once
// The WWW proxy service: the engine's HTTP/1.0 proxy (and, for requests addressed to the gateway
// itself, a small web server). Its listener turns every accepted connection into a CWWWSession.
//
// Settings beyond the TCP service's (registry value names, saved after the TCP values under the
// service's key): CacheNonProxyRequests, PrependResource, PrependInfo, RedirectURL, ServerRoot,
// DefaultFilename, AllowDirectoryBrowsing, UseJavaClient, EnableCGI, CGIRoot, CGILabel.
// Archive form: the TCP service's fields, then CacheNonProxyRequests, PrependResource (u32),
// PrependInfo, RedirectURL, ServerRoot, DefaultFilename (strings), AllowDirectoryBrowsing,
// EnableCGI (u32), CGIRoot, CGILabel (strings), UseJavaClient (u32) - not the registry order.
#include <cstdint>
#include <memory>

#include "engine/core/service.h"

// What a WWW service adds to the base's settings (stored, archived and handed to its sessions).
struct CWWWServiceSettings {
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
struct CWWWSettings : CWWWServiceSettings {
  uint32_t ServicePort = 0;  // the port the service listens on (loop detection)
};

// The WWW settings are guarded by the service's lock like the base's settings.
class CWWWService : public CTCPService, public CWWWServiceSettings {
  TL_DECLARE_SERIAL(CWWWService)

 public:
  static constexpr uint32_t kDefaultPort = 80;

  CWWWService();
  ~CWWWService() override;

  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  std::shared_ptr<CTCPSession> CreateSession(int handle) override;
  // The base, then the connection settings and the WWW settings.
  void PrepareSession(CTCPSession& session) override;

  CWWWSettings GetWWWSettings() const;
};
