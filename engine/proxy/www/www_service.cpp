#include "engine/proxy/www/www_service.h"

#include <unistd.h>

#include "engine/config/reg_helpers.h"
#include "engine/core/engine.h"
#include "engine/proxy/www/www_session.h"

TL_IMPLEMENT_SERIAL(CWWWService, CTCPService, 1)

CWWWService::CWWWService() : CTCPService(kDefaultPort, "WWW Proxy server", "WWW Proxy server") {
  ConnectMethodsOffered = CONNECT_HTTP_PROXY | CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL;
}

CWWWService::~CWWWService() = default;

bool CWWWService::SaveSettings(const CString& key) {
  bool ok = CTCPService::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  ok &= RegWriteDWORD(key, "CacheNonProxyRequests", CacheNonProxyRequests);
  ok &= RegWriteDWORD(key, "PrependResource", PrependResource);
  ok &= RegWriteString(key, "PrependInfo", PrependInfo);
  ok &= RegWriteString(key, "RedirectURL", RedirectURL);
  ok &= RegWriteString(key, "ServerRoot", ServerRoot);
  ok &= RegWriteString(key, "DefaultFilename", DefaultFilename);
  ok &= RegWriteDWORD(key, "AllowDirectoryBrowsing", AllowDirectoryBrowsing);
  ok &= RegWriteDWORD(key, "UseJavaClient", UseJavaClient);
  ok &= RegWriteDWORD(key, "EnableCGI", EnableCGI);
  ok &= RegWriteString(key, "CGIRoot", CGIRoot);
  ok &= RegWriteString(key, "CGILabel", CGILabel);
  return ok;
}

void CWWWService::LoadSettings(const CString& key) {
  CTCPService::LoadSettings(key);
  CLockGuard g(*this);
  CacheNonProxyRequests = RegReadDWORD(key, "CacheNonProxyRequests", 0);
  PrependResource = RegReadDWORD(key, "PrependResource", 0);
  PrependInfo = RegReadString(key, "PrependInfo", "");
  RedirectURL = RegReadString(key, "RedirectURL", "");
  ServerRoot = RegReadString(key, "ServerRoot", "");
  DefaultFilename = RegReadString(key, "DefaultFilename", "index.html");
  AllowDirectoryBrowsing = RegReadDWORD(key, "AllowDirectoryBrowsing", 0);
  UseJavaClient = RegReadDWORD(key, "UseJavaClient", 0);
  EnableCGI = RegReadDWORD(key, "EnableCGI", 0);
  CGIRoot = RegReadString(key, "CGIRoot", "");
  CGILabel = RegReadString(key, "CGILabel", "cgi-bin");
}

void CWWWService::Serialize(CArchive& ar) {
  CTCPService::Serialize(ar);
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << CacheNonProxyRequests << PrependResource << PrependInfo << RedirectURL << ServerRoot << DefaultFilename
       << AllowDirectoryBrowsing << EnableCGI << CGIRoot << CGILabel << UseJavaClient;
  } else {
    ar >> CacheNonProxyRequests >> PrependResource >> PrependInfo >> RedirectURL >> ServerRoot >> DefaultFilename >>
        AllowDirectoryBrowsing >> EnableCGI >> CGIRoot >> CGILabel >> UseJavaClient;
  }
}

CWWWSettings CWWWService::GetWWWSettings() const {
  CLockGuard g(*this);
  CWWWSettings s;
  static_cast<CWWWServiceSettings&>(s) = *this;
  s.ServicePort = PortNumber;
  return s;
}

std::shared_ptr<CTCPSession> CWWWService::CreateSession(int handle) {
  return std::make_shared<CWWWSession>(shared_from_this(), handle);
}

void CWWWService::PrepareSession(CTCPSession& session) {
  CTCPService::PrepareSession(session);
  if (auto* www = dynamic_cast<CWWWSession*>(&session)) {
    www->UseServiceConnectSettings(*this);
    www->SetWWWSettings(GetWWWSettings());
    if (auto engine = TheEngine()) www->SetCache(engine->GetWWWCache());
  }
}
