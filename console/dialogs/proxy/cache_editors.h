#pragma once
// The cache editors without a toolkit: the cache sheet over the console's mirror of the engine's
// cache settings, with its General, What to cache and What to purge pages, and the requests the
// sheet sends (131 with the settings, 132 to purge, 134 to rebuild the index).
//
// Apply validates every page before any writes: a size or day field that is not an unsigned whole
// number refuses, so nothing half-taken goes to the engine. The pages then write into a clone of
// the mirror's settings (an archive round trip), which replaces the mirror and, on-line, is sent.
// The sheet keeps no pointer into the mirror: Apply and a reload look the mirror up again, so the
// settings a notification brought meanwhile are the base an edit applies to.
//
// Threads: the user-interface thread, which owns the mirrors.
#include <cstdint>
#include <memory>
#include <optional>

#include "console/dialogs/access/filter_editors.h"
#include "console/dialogs/common/editor.h"
#include "engine/proxy/www/www_cache_settings.h"

class CLookoutClient;

inline constexpr const char* kCacheSheetTitle = "Cache properties";
// Asked when "Specify which requests will be cached" is chosen without any filter: the cache would
// then store nothing.
inline constexpr const char* kTitleCacheInvalidSetting = "Invalid setting";
inline constexpr const char* kTextNoCacheFilters =
    "You have not specified any request filters for the cache\nbut you have indicated that filters "
    "must be met.\nNothing will be cached.\n\nDo you wish to continue?";

// The pages' templates, in add order.
enum : int { CACHE_PAGE_GENERAL = 175, CACHE_PAGE_WHAT_TO_PURGE = 176, CACHE_PAGE_WHAT_TO_CACHE = 177 };

class CacheGeneralPage : public PageLogic<CWWWCacheSettings> {
 public:
  enum : int {
    MAX_SIZE = 1219,
    DAYS_VOLATILE = 1209,
    DAYS_NON_VOLATILE = 1210,
    LIMIT = 1216,
    LOOKUPS = 1214,
    ADDITIONS = 1215,
    AUTO_PURGE = 1220,
    REBUILD_INDEX = 1213
  };
  void Load(const CWWWCacheSettings& c) override;
  // The three numbers, in field order; the first field that is not an unsigned 32-bit whole number
  // is named in *error.
  bool Parse(uint32_t values[3], FieldError* error) const;
  // Refuses (after saying so) a number that cannot be read; lastError then names its field.
  bool Validate(Prompter& prompter) override;
  void Apply(CWWWCacheSettings& c) const override;

  // The field texts as the operator typed them.
  CString maxSize, daysVolatile, daysNonVolatile;
  bool limit = false, lookups = false, additions = false, autoPurge = false;
  FieldError lastError;
};

class WhatToCachePage : public PageLogic<CWWWCacheSettings> {
 public:
  enum : int {
    CACHE_EVERYTHING = 1120,
    SPECIFY = 1173,
    TREE = 1236,
    ADD_FILTER = 1237,
    ADD_CRITERION = 1238,
    DELETE = 1229
  };
  // ctx: the names the Criterion dialog offers (its kind and mode are this page's).
  WhatToCachePage(CriterionDialogs& dialogs, CriterionContext ctx = {});
  // The radio and the filters.
  void Load(const CWWWCacheSettings& c) override;
  // The filters alone: a notification's reload leaves the radio as the operator set it.
  void Reload(const CWWWCacheSettings& c);
  // The tree is enabled exactly while requests are specified.
  ControlStates States() const override;
  // The tree's buttons act only while requests are specified.
  bool TreeActive() const { return specify; }
  // "Add Filter", "Add Criterion" (on the selected item) and "Delete": the tree's commands, nothing
  // while everything is cached. True when the list changed; *select takes the item to select.
  bool AddFilter(std::optional<FilterTreeItem>* select = nullptr);
  bool AddCriterion(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select = nullptr);
  bool Remove(std::optional<FilterTreeItem> item);
  FilterTreeLogic& Tree() { return m_tree; }
  // Specified requests without any filter cache nothing: the operator is asked.
  bool Validate(Prompter& prompter) override;
  void Apply(CWWWCacheSettings& c) const override;

  bool specify = false;
  // The page's own filters (request criteria of the web proxy), which the tree edits.
  CRequestFilterCollection filters;

 private:
  FilterTreeLogic m_tree;
};

class WhatToPurgePage : public PageLogic<CWWWCacheSettings> {
 public:
  enum : int { PURGE_NOW = 1120, TREE = 1236, ADD_FILTER = 1237, ADD_CRITERION = 1238, DELETE = 1229 };
  WhatToPurgePage(CriterionDialogs& dialogs, CriterionContext ctx = {});
  void Load(const CWWWCacheSettings& c) override;
  void Apply(CWWWCacheSettings& c) const override;

  // The tree's commands, as on What to cache but always acting.
  bool AddFilter(std::optional<FilterTreeItem>* select = nullptr);
  bool AddCriterion(std::optional<FilterTreeItem> item, std::optional<FilterTreeItem>* select = nullptr);
  bool Remove(std::optional<FilterTreeItem> item);
  FilterTreeLogic& Tree() { return m_tree; }

  // The page's own filters (cache-entry criteria), which the tree edits.
  CRequestFilterCollection filters;

 private:
  FilterTreeLogic m_tree;
};

class CacheSheet {
 public:
  // Over the client's cache mirror, which must have been fetched (Available). The filter trees
  // open the Criterion dialog through dialogs.
  CacheSheet(CLookoutClient& client, CriterionDialogs& dialogs);
  static bool Available(const CLookoutClient& client);

  CLookoutClient& Client() { return m_client; }
  // Apply: every page validates in the order General, What to cache, What to purge, then writes
  // into a clone of the mirror's settings; the clone replaces the mirror and, on-line, goes to the
  // engine (131). Returns the template of the refusing page, -1 when the mirror is gone, 0 when
  // done. OK is Apply followed by closing when it returned 0.
  int Apply(Prompter& prompter);
  // Notification 131: the General values and both filter lists again from the mirror (what was
  // not applied is dropped); the What to cache radio stays as it is. False without a mirror.
  bool Reload();
  // "Purge Now" (132) and "Rebuild Index" (134): the engine works with the settings it holds.
  // On-line only; the request's id, else 0.
  uint64_t PurgeNow();
  uint64_t RebuildIndex();

 private:
  CLookoutClient& m_client;

 public:
  CacheGeneralPage general;
  WhatToCachePage whatToCache;
  WhatToPurgePage whatToPurge;
};
