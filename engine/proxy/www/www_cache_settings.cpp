#include "engine/proxy/www/www_cache_settings.h"

#include "engine/config/settings_table.h"

TL_IMPLEMENT_SERIAL_AS(CWWWCacheSettings, "CWWWCache", CObject, 1)

struct CacheSettingsRows {
  using Row = CSettingRow<CWWWCacheSettings>;
  using C = CWWWCacheSettings;
  static constexpr Row kRows[] = {
      Row::Text("CacheDirectory", &C::CacheDirectory, "cache"),
      Row::AtomicDword("CacheOptions", &C::CacheOptions, kCacheEnableAdditions | kCacheEnableLookups),
      Row::AtomicDword("LimitCacheSize", &C::LimitCacheSize, 1),
      Row::AtomicDword("SpecifyWhatToCache", &C::SpecifyWhatToCache, 0),
      Row::AtomicDword("MaxSize", &C::MaxSize, 100),
      Row::AtomicDword("AutoPurge", &C::AutoPurge, 1),
      Row::AtomicDword("DaysBeforeCheckVolatile", &C::DaysBeforeCheckVolatile, 2),
      Row::AtomicDword("DaysBeforeCheckNonVolatile", &C::DaysBeforeCheckNonVolatile, 60),
      Row::Custom(&C::ArchiveTotals),
  };
};

namespace {

CString Slashes(std::string_view dir) {
  CString d(dir);
  for (char& c : d)
    if (c == '\\') c = '/';
  return d;
}

}  // namespace

CWWWCacheSettings::CWWWCacheSettings() = default;

CWWWCacheSettings::~CWWWCacheSettings() = default;

CString CWWWCacheSettings::GetCacheDirectory() const {
  CLockGuard guard(m_lock);
  return CacheDirectory;
}

void CWWWCacheSettings::SetCacheDirectory(std::string_view dir) {
  CString d = Slashes(dir);
  CLockGuard guard(m_lock);
  CacheDirectory = std::move(d);
}

double CWWWCacheSettings::GetTotalSize() const {
  CLockGuard guard(m_lock);
  return m_reportedTotalSize;
}

double CWWWCacheSettings::GetWeightedTotal() const {
  CLockGuard guard(m_lock);
  return m_reportedWeightedTotal;
}

void CWWWCacheSettings::ArchiveTotals(CWWWCacheSettings& self, CArchive& ar) {
  if (ar.IsStoring()) {
    ar << self.GetTotalSize() << self.GetWeightedTotal();
  } else {
    ar >> self.m_reportedTotalSize >> self.m_reportedWeightedTotal;
  }
}

bool CWWWCacheSettings::Save(const CString& key) const {
  RegBatch batch;
  bool ok = CacheFilter.Save(key + "\\CacheFilter");
  ok &= PurgeFilter.Save(key + "\\PurgeFilter");
  CLockGuard guard(m_lock);
  return SaveSettingRows(*this, key, CacheSettingsRows::kRows) && ok;
}

void CWWWCacheSettings::Load(const CString& key) {
  CacheFilter.Load(key + "\\CacheFilter");
  PurgeFilter.Load(key + "\\PurgeFilter");
  CLockGuard guard(m_lock);
  LoadSettingRows(*this, key, CacheSettingsRows::kRows);
  CacheDirectory = Slashes(CacheDirectory);
}

void CWWWCacheSettings::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    // Written from a copy: the totals come first and without the settings' lock, since the
    // engine's cache answers them under its own lock.
    CWWWCacheSettings out;
    out.m_reportedTotalSize = GetTotalSize();
    out.m_reportedWeightedTotal = GetWeightedTotal();
    {
      CLockGuard guard(m_lock);
      CopySettingRows(out, *this, CacheSettingsRows::kRows);
    }
    SerializeSettingRows(out, ar, CacheSettingsRows::kRows);
    CacheFilter.SerializeChecked(ar);
    PurgeFilter.SerializeChecked(ar);
    return;
  }
  // Everything is read into a scratch copy first: a stream that breaks off changes nothing.
  CWWWCacheSettings in;
  SerializeSettingRows(in, ar, CacheSettingsRows::kRows);
  in.CacheFilter.SerializeChecked(ar);
  in.PurgeFilter.SerializeChecked(ar);
  {
    CLockGuard guard(m_lock);
    CopySettingRows(*this, in, CacheSettingsRows::kRows);
    CacheDirectory = Slashes(in.CacheDirectory);
    m_reportedTotalSize = in.m_reportedTotalSize;
    m_reportedWeightedTotal = in.m_reportedWeightedTotal;
  }
  CacheFilter.CopyFrom(in.CacheFilter);
  PurgeFilter.CopyFrom(in.PurgeFilter);
}
