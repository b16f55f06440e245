#pragma once
// The web cache's settings: what the console edits (requests 130/131, notification 131) and the
// registry keeps under "Cache". Stored as "CWWWCache"; the engine's cache (www_cache.h) is this
// object with the entries, the index file and the workers added.
//
// Archive form: CacheDirectory (string), CacheOptions, LimitCacheSize, SpecifyWhatToCache, MaxSize,
// AutoPurge, DaysBeforeCheckVolatile, DaysBeforeCheckNonVolatile (u32 each), total size, weighted
// total (doubles), then CacheFilter and PurgeFilter in the object list's form (count, then
// class-tagged filters). A failed load changes nothing.
//
// Registry form under a key ("Cache"): "CacheDirectory" (string), then DWORDs "CacheOptions",
// "SpecifyWhatToCache", "LimitCacheSize", "MaxSize", "AutoPurge", "DaysBeforeCheckVolatile",
// "DaysBeforeCheckNonVolatile"; the filter collections under "<key>\\CacheFilter" and
// "<key>\\PurgeFilter" (request_filter.h).
#include <atomic>
#include <cstdint>
#include <string_view>

#include "engine/access/request_filter.h"
#include "engine/config/lockable.h"

// Where the engine keeps the cache settings.
inline constexpr const char* kCacheKey = "Cache";

// CacheOptions bits.
inline constexpr uint32_t kCacheEnableAdditions = 1;  // store new responses
inline constexpr uint32_t kCacheEnableLookups = 2;    // answer from stored copies

class CWWWCacheSettings : public CObject {
  TL_DECLARE_SERIAL(CWWWCacheSettings)

 public:
  CWWWCacheSettings();
  ~CWWWCacheSettings() override;
  CWWWCacheSettings(const CWWWCacheSettings&) = delete;
  CWWWCacheSettings& operator=(const CWWWCacheSettings&) = delete;

  // Read by sessions without a lock, written by workers and the console: atomics.
  std::atomic<uint32_t> SpecifyWhatToCache{0};
  std::atomic<uint32_t> CacheOptions{kCacheEnableAdditions | kCacheEnableLookups};
  std::atomic<uint32_t> LimitCacheSize{1};
  std::atomic<uint32_t> MaxSize{100};  // megabytes of 1,048,576 bytes
  std::atomic<uint32_t> AutoPurge{1};
  std::atomic<uint32_t> DaysBeforeCheckVolatile{2};
  std::atomic<uint32_t> DaysBeforeCheckNonVolatile{60};
  // With SpecifyWhatToCache, only requests some filter of CacheFilter matches are cached; a purge
  // removes the entries some filter of PurgeFilter (of CCachePurgeCriterion) matches.
  CRequestFilterCollection CacheFilter;
  CRequestFilterCollection PurgeFilter;

  // The folder, relative to the engine's current directory; "\\" is read as "/".
  CString GetCacheDirectory() const;
  void SetCacheDirectory(std::string_view dir);

  // Registry form; Save returns false when a write failed.
  bool Save(const CString& key) const;
  void Load(const CString& key);
  // Settings archive; a failed load changes nothing.
  void Serialize(CArchive& ar) override;

  // The totals the archive carries: the engine's live ones where the engine's cache overrides
  // them, otherwise the ones the last archive read brought (the console's view).
  virtual double GetTotalSize() const;
  virtual double GetWeightedTotal() const;

 private:
  static void ArchiveTotals(CWWWCacheSettings& self, CArchive& ar);
  friend struct CacheSettingsRows;

  mutable CLockableObject m_lock;  // leaf: guards CacheDirectory and the reported totals
  CString CacheDirectory = "cache";
  double m_reportedTotalSize = 0;
  double m_reportedWeightedTotal = 0;
};
