// Console requests on the web cache. An engine may run without a cache; then these requests are
// refused before they reach this file (ServesOptionalRequest).
#include "engine/proxy/www/www_cache.h"
#include "engine/remote/frame.h"
#include "engine/remote/rc_service.h"

bool CRemoteControlSession::IsCacheRequest(uint16_t code) {
  switch (code) {
    case RC_REQ_GET_CACHE:
    case RC_REQ_UPDATE_CACHE:
    case RC_REQ_PURGE_CACHE:
    case RC_REQ_REMOVE_CACHE_ENTRY:
    case RC_REQ_REBUILD_CACHE_INDEX: return true;
    default: return false;
  }
}

bool CRemoteControlSession::CacheRequest(const CTLRCPMessage& message) {
  auto cache = TheEngine()->GetWWWCache();
  if (!cache) return false;
  switch (message.m_code) {
    case RC_REQ_GET_CACHE:
      SendObject(m_clientSocket, *cache);
      return true;
    case RC_REQ_UPDATE_CACHE: {
      std::vector<uint8_t> payload = ReceiveFramePayload(m_clientSocket);
      {
        // Checked whole on a scratch cache first; only a complete, valid form reaches the live one.
        CWWWCacheSettings scratch;
        LoadBareFrame(payload, scratch);
      }
      // The live cache keeps its own totals (the console's copy is stale at best; the size limit
      // and the purge run on them). The settings reach the registry with the configuration
      // (request 12), not here.
      LoadBareFrame(payload, *cache);
      return true;
    }
    case RC_REQ_PURGE_CACHE: return cache->StartPurgeThread();
    case RC_REQ_REMOVE_CACHE_ENTRY: cache->RemoveURL(message.m_text1); return true;
    case RC_REQ_REBUILD_CACHE_INDEX: return cache->StartVerifyThread();
    default: return false;
  }
}
