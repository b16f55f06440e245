#include "console/dialogs/proxy/cache_editors.h"

#include <string>

#include "console/model/lookout_client.h"
#include "engine/core/service_settings.h"
#include "engine/remote/rc_codes.h"

// ---- General page --------------------------------------------------------------------------------

void CacheGeneralPage::Load(const CWWWCacheSettings& c) {
  maxSize = std::to_string(c.MaxSize.load());
  daysVolatile = std::to_string(c.DaysBeforeCheckVolatile.load());
  daysNonVolatile = std::to_string(c.DaysBeforeCheckNonVolatile.load());
  limit = c.LimitCacheSize.load() != 0;
  const uint32_t options = c.CacheOptions.load();
  lookups = (options & kCacheEnableLookups) != 0;
  additions = (options & kCacheEnableAdditions) != 0;
  autoPurge = c.AutoPurge.load() != 0;
}

bool CacheGeneralPage::Parse(uint32_t values[3], FieldError* error) const {
  const CString* texts[3] = {&maxSize, &daysVolatile, &daysNonVolatile};
  const int ids[3] = {MAX_SIZE, DAYS_VOLATILE, DAYS_NON_VOLATILE};
  for (int i = 0; i < 3; ++i) {
    // Every field is an unsigned 32-bit number; anything else, a value too large included, gets
    // the one request the console shows for these fields.
    if (auto v = ParseUnsigned(*texts[i], 0, UINT32_MAX)) {
      values[i] = static_cast<uint32_t>(*v);
    } else {
      *error = FieldError{ids[i], kTextEnterPositiveInteger};
      return false;
    }
  }
  return true;
}

bool CacheGeneralPage::Validate(Prompter& prompter) {
  uint32_t values[3];
  lastError = FieldError{};
  if (Parse(values, &lastError)) return true;
  prompter.Message("Lookout", lastError.text, EDITOR_MB_EXCLAMATION);
  return false;
}

void CacheGeneralPage::Apply(CWWWCacheSettings& c) const {
  uint32_t values[3];
  FieldError error;
  // Validate has read every field; a page applied without it writes no number.
  if (Parse(values, &error)) {
    c.MaxSize = values[0];
    c.DaysBeforeCheckVolatile = values[1];
    c.DaysBeforeCheckNonVolatile = values[2];
  }
  c.LimitCacheSize = limit ? 1 : 0;
  c.AutoPurge = autoPurge ? 1 : 0;
  // Only the two known bits: whatever else the options held is cleared.
  c.CacheOptions = (lookups ? kCacheEnableLookups : 0) | (additions ? kCacheEnableAdditions : 0);
}

// ---- What to cache -------------------------------------------------------------------------------

namespace {
CriterionContext WithMode(CriterionContext ctx, int32_t mode) {
  ctx.serviceKind = SERVICE_KIND_WWW;
  ctx.mode = mode;
  return ctx;
}
}  // namespace

WhatToCachePage::WhatToCachePage(CriterionDialogs& dialogs, CriterionContext ctx)
    : m_tree(filters, WithMode(std::move(ctx), CRITERION_MODE_CACHE), dialogs) {}

bool WhatToCachePage::AddFilter(std::optional<FilterTreeItem>* select) {
  return specify && m_tree.Run(FILTER_CMD_NEW_FILTER, std::nullopt, select);
}

bool WhatToCachePage::AddCriterion(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select) {
  return specify && item && m_tree.Run(FILTER_CMD_NEW_CRITERION, item, select);
}

bool WhatToCachePage::Remove(std::optional<FilterTreeItem> item) { return specify && item && m_tree.Delete(item); }

void WhatToCachePage::Load(const CWWWCacheSettings& c) {
  specify = c.SpecifyWhatToCache.load() != 0;
  Reload(c);
}

void WhatToCachePage::Reload(const CWWWCacheSettings& c) { filters.CopyFrom(c.CacheFilter); }

ControlStates WhatToCachePage::States() const {
  ControlStates st;
  st[TREE].enabled = specify;
  return st;
}

bool WhatToCachePage::Validate(Prompter& prompter) {
  if (!specify || filters.GetCount() > 0) return true;
  return prompter.AskYesNo(kTitleCacheInvalidSetting, kTextNoCacheFilters, EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO);
}

void WhatToCachePage::Apply(CWWWCacheSettings& c) const {
  c.SpecifyWhatToCache = specify ? 1 : 0;
  c.CacheFilter.CopyFrom(filters);
}

// ---- What to purge -------------------------------------------------------------------------------

WhatToPurgePage::WhatToPurgePage(CriterionDialogs& dialogs, CriterionContext ctx)
    : m_tree(filters, WithMode(std::move(ctx), CRITERION_MODE_PURGE), dialogs) {}

bool WhatToPurgePage::AddFilter(std::optional<FilterTreeItem>* select) {
  return m_tree.Run(FILTER_CMD_NEW_FILTER, std::nullopt, select);
}

bool WhatToPurgePage::AddCriterion(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select) {
  return item && m_tree.Run(FILTER_CMD_NEW_CRITERION, item, select);
}

bool WhatToPurgePage::Remove(std::optional<FilterTreeItem> item) { return item && m_tree.Delete(item); }

void WhatToPurgePage::Load(const CWWWCacheSettings& c) { filters.CopyFrom(c.PurgeFilter); }

void WhatToPurgePage::Apply(CWWWCacheSettings& c) const { c.PurgeFilter.CopyFrom(filters); }

// ---- The sheet -----------------------------------------------------------------------------------

bool CacheSheet::Available(const CLookoutClient& client) { return client.Mirrors().cache != nullptr; }

CacheSheet::CacheSheet(CLookoutClient& client, CriterionDialogs& dialogs)
    : m_client(client),
      whatToCache(dialogs, CriterionContextOf(client, SERVICE_KIND_WWW, CRITERION_MODE_CACHE)),
      whatToPurge(dialogs, CriterionContextOf(client, SERVICE_KIND_WWW, CRITERION_MODE_PURGE)) {
  if (const auto& cache = client.Mirrors().cache) {
    general.Load(*cache);
    whatToCache.Load(*cache);
    whatToPurge.Load(*cache);
  }
}

int CacheSheet::Apply(Prompter& prompter) {
  const std::shared_ptr<CWWWCacheSettings> base = m_client.Mirrors().cache;
  if (!base) {
    // The engine runs without a cache now (the console went off-line and on again meanwhile).
    prompter.Message("Lookout", "The cache settings are no longer available.", EDITOR_MB_STOP);
    return -1;
  }
  const std::vector<PageLogic<CWWWCacheSettings>*> order{&general, &whatToCache, &whatToPurge};
  const int ids[] = {CACHE_PAGE_GENERAL, CACHE_PAGE_WHAT_TO_CACHE, CACHE_PAGE_WHAT_TO_PURGE};
  int refused = -1;
  auto copy = ValidateAndApply(order, *base, prompter, &refused);
  if (!copy) return refused >= 0 ? ids[refused] : -1;
  if (m_client.IsOnline()) m_client.QueueObject(RC_REQ_UPDATE_CACHE, CString(), *copy);
  m_client.CommitCache(copy);
  return 0;
}

bool CacheSheet::Reload() {
  const auto& cache = m_client.Mirrors().cache;
  if (!cache) return false;
  general.Load(*cache);
  whatToCache.Reload(*cache);
  whatToPurge.Load(*cache);
  return true;
}

uint64_t CacheSheet::PurgeNow() { return m_client.Request(RC_REQ_PURGE_CACHE); }

uint64_t CacheSheet::RebuildIndex() { return m_client.Request(RC_REQ_REBUILD_CACHE_INDEX); }
