// The cache sheet's logic without a display: the option bits for every tick combination, a number
// that cannot be read refusing Apply with nothing written or sent, the What to cache rules and its
// question, a notification's reload, OK without changes keeping the settings' bytes, nothing sent
// off-line; then against the real engine: Apply (131) read back by a second console, which hears
// notification 131, and Purge Now (132) and Rebuild Index (134) accepted.
#include "console/dialogs/proxy/cache_editors.h"

#include <gtest/gtest.h>

#include <deque>
#include <utility>

#include "console/model/lookout_client.h"
#include "engine/core/service_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"

namespace trellis::test {
namespace {

std::shared_ptr<CRequestFilter> Filter(const CString& name, std::shared_ptr<CRequestCriterion> c) {
  auto f = std::make_shared<CRequestFilter>();
  f->Name = name;
  c->UpdateDescription();
  f->AddCriterion(std::move(c));
  return f;
}

// Settings as an engine would send them: a cache filter and a purge filter of one criterion each,
// and an option bit the console does not know.
std::shared_ptr<CWWWCacheSettings> EngineSettings() {
  auto c = std::make_shared<CWWWCacheSettings>();
  c->CacheOptions = 7;
  c->MaxSize = 250;
  c->DaysBeforeCheckVolatile = 3;
  c->DaysBeforeCheckNonVolatile = 30;
  c->LimitCacheSize = 1;
  c->AutoPurge = 0;
  c->SpecifyWhatToCache = 1;
  auto url = std::make_shared<CRequestCriterion>();
  url->DataIndex = kPropHTTPURL;
  url->Comparison = TL_COMPARE_CONTAINS;
  url->Value.SetString("example");
  c->CacheFilter.Add(Filter("Filter 1", url));
  auto big = std::make_shared<CCachePurgeCriterion>();
  big->DataIndex = kCacheFieldFileSize;
  big->Comparison = TL_COMPARE_GREATER;
  big->Value.SetDWord(1000000);
  c->PurgeFilter.Add(Filter("Large files", big));
  return c;
}

// The Criterion dialog, answered: the next criterion to return (null: Cancel), and what it was
// opened for.
struct ScriptedCriteria : CriterionDialogs {
  std::shared_ptr<CRequestCriterion> EditCriterion(const CRequestCriterion*, const CriterionContext& ctx) override {
    modes.push_back(ctx.mode);
    kinds.push_back(ctx.serviceKind);
    return std::exchange(next, nullptr);
  }
  std::shared_ptr<CRequestCriterion> next;
  std::vector<int32_t> modes;
  std::vector<uint32_t> kinds;
};

struct OfflineConsole {
  OfflineConsole() { client.EditMirrors().cache = EngineSettings(); }
  ScriptedCriteria criteria;
  RecordingUi ui;
  TestLoop loop;
  CLookoutClient client{ui, loop.Poster()};
};

TEST(CacheSheet, OptionBitsForEveryTickCombination) {
  OfflineConsole console;
  ScriptedPrompter prompter;
  CacheSheet sheet(console.client, console.criteria);
  EXPECT_TRUE(sheet.general.lookups);
  EXPECT_TRUE(sheet.general.additions);
  EXPECT_EQ(sheet.general.maxSize, "250");
  EXPECT_EQ(sheet.general.daysVolatile, "3");
  EXPECT_EQ(sheet.general.daysNonVolatile, "30");
  EXPECT_FALSE(sheet.general.autoPurge);
  struct Row {
    bool lookups, additions;
    uint32_t options;
  };
  // Bits other than lookups (2) and additions (1) are cleared by every Apply.
  for (Row r : {Row{false, true, 1}, Row{false, false, 0}, Row{true, true, 3}, Row{true, false, 2}}) {
    sheet.general.lookups = r.lookups;
    sheet.general.additions = r.additions;
    ASSERT_EQ(sheet.Apply(prompter), 0);
    EXPECT_EQ(console.client.Mirrors().cache->CacheOptions.load(), r.options) << r.lookups << r.additions;
  }
  sheet.general.limit = false;
  sheet.general.autoPurge = true;
  sheet.general.maxSize = " 4294967295 ";
  ASSERT_EQ(sheet.Apply(prompter), 0);
  const auto& applied = *console.client.Mirrors().cache;
  EXPECT_EQ(applied.MaxSize.load(), 4294967295u);
  EXPECT_EQ(applied.LimitCacheSize.load(), 0u);
  EXPECT_EQ(applied.AutoPurge.load(), 1u);
  EXPECT_TRUE(prompter.boxes.empty());
  // Off-line: the mirror changed, nothing went out, and the two commands send nothing.
  EXPECT_EQ(console.client.OutstandingRequests(), 0u);
  EXPECT_EQ(sheet.PurgeNow(), 0u);
  EXPECT_EQ(sheet.RebuildIndex(), 0u);
  EXPECT_EQ(console.client.OutstandingRequests(), 0u);
}

TEST(CacheSheet, ANumberThatCannotBeReadRefusesAndWritesNothing) {
  OfflineConsole console;
  const auto before = ArchiveBytes(*console.client.Mirrors().cache);
  const auto original = console.client.Mirrors().cache;
  struct Row {
    const char *size, *html, *other;
    int field;
  };
  for (Row r : {Row{"abc", "1", "1", CacheGeneralPage::MAX_SIZE}, Row{"-1", "1", "1", CacheGeneralPage::MAX_SIZE},
                Row{"4294967296", "1", "1", CacheGeneralPage::MAX_SIZE}, Row{"", "1", "1", CacheGeneralPage::MAX_SIZE},
                Row{"10", "1.5", "x", CacheGeneralPage::DAYS_VOLATILE},
                Row{"10", "1", "9 9", CacheGeneralPage::DAYS_NON_VOLATILE}}) {
    ScriptedPrompter prompter;
    CacheSheet sheet(console.client, console.criteria);
    sheet.general.maxSize = r.size;
    sheet.general.daysVolatile = r.html;
    sheet.general.daysNonVolatile = r.other;
    sheet.general.lookups = false;  // a later field: not written either
    EXPECT_EQ(sheet.Apply(prompter), CACHE_PAGE_GENERAL) << r.size << r.html << r.other;
    ASSERT_EQ(prompter.boxes.size(), 1u);
    EXPECT_EQ(prompter.boxes[0].text, "Please enter a positive integer.");
    EXPECT_EQ(sheet.general.lastError.control, r.field);
    uint32_t values[3];
    FieldError error;
    EXPECT_FALSE(sheet.general.Parse(values, &error));
    EXPECT_EQ(error.control, r.field);
  }
  // The mirror still holds the very object it held, unchanged.
  EXPECT_EQ(console.client.Mirrors().cache, original);
  EXPECT_EQ(ArchiveBytes(*console.client.Mirrors().cache), before);
}

TEST(CacheSheet, WhatToCacheRulesAndItsQuestion) {
  OfflineConsole console;
  console.client.EditMirrors().cache->SpecifyWhatToCache = 0;
  CacheSheet sheet(console.client, console.criteria);
  WhatToCachePage& page = sheet.whatToCache;
  // "Cache everything": the tree is greyed and its buttons do nothing; the other radio enables
  // them at once.
  EXPECT_FALSE(page.specify);
  EXPECT_FALSE(page.States().at(WhatToCachePage::TREE).enabled);
  EXPECT_FALSE(page.TreeActive());
  page.specify = true;
  EXPECT_TRUE(page.States().at(WhatToCachePage::TREE).enabled);
  EXPECT_TRUE(page.TreeActive());
  ASSERT_EQ(page.filters.GetCount(), 1u);

  // The tree's buttons: nothing while everything is cached, the tree's commands otherwise.
  page.specify = false;
  console.criteria.next = std::make_shared<CRequestCriterion>();
  EXPECT_FALSE(page.AddFilter());
  EXPECT_FALSE(page.AddCriterion(FilterTreeItem{0, -1}));
  EXPECT_FALSE(page.Remove(FilterTreeItem{0, -1}));
  EXPECT_EQ(page.filters.GetCount(), 1u);
  EXPECT_TRUE(console.criteria.modes.empty());
  page.specify = true;
  std::optional<FilterTreeItem> selected;
  ASSERT_TRUE(page.AddFilter(&selected));
  ASSERT_EQ(page.filters.GetCount(), 2u);
  ASSERT_TRUE(selected && selected->IsFilter());
  EXPECT_EQ(page.filters.GetFilters()[1]->Name.rfind("Filter ", 0), 0u);
  auto method = std::make_shared<CRequestCriterion>();
  method->DataIndex = kPropHTTPMethod;
  method->Value.SetString("GET");
  console.criteria.next = method;
  ASSERT_TRUE(page.AddCriterion(selected, &selected));
  EXPECT_EQ(page.filters.GetFilters()[1]->GetCriteria().size(), 1u);
  // The Criterion dialog was asked for web request criteria.
  ASSERT_EQ(console.criteria.modes.size(), 1u);
  EXPECT_EQ(console.criteria.modes[0], CRITERION_MODE_CACHE);
  EXPECT_EQ(console.criteria.kinds[0], uint32_t(SERVICE_KIND_WWW));
  EXPECT_TRUE(page.Remove(FilterTreeItem{1, -1}));
  EXPECT_EQ(page.filters.GetCount(), 1u);
  // The purge page's buttons always act, with cache-entry criteria.
  WhatToPurgePage& purge = sheet.whatToPurge;
  ASSERT_TRUE(purge.AddFilter(&selected));
  console.criteria.next = std::make_shared<CCachePurgeCriterion>();
  ASSERT_TRUE(purge.AddCriterion(selected));
  EXPECT_EQ(console.criteria.modes.back(), CRITERION_MODE_PURGE);
  EXPECT_EQ(purge.filters.GetCount(), 2u);
  EXPECT_TRUE(purge.Remove(FilterTreeItem{1, -1}));
  EXPECT_EQ(console.client.Mirrors().cache->CacheFilter.GetCount(), 1u);  // nothing applied yet

  // Specified requests with no filter at all would cache nothing: asked, No refuses.
  page.filters.RemoveAll();
  ScriptedPrompter no;
  const auto before = ArchiveBytes(*console.client.Mirrors().cache);
  EXPECT_EQ(sheet.Apply(no), CACHE_PAGE_WHAT_TO_CACHE);
  ASSERT_EQ(no.boxes.size(), 1u);
  EXPECT_EQ(no.boxes[0].title, "Invalid setting");
  EXPECT_EQ(no.boxes[0].text, kTextNoCacheFilters);
  EXPECT_EQ(no.boxes[0].style, uint32_t(EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO));
  EXPECT_EQ(ArchiveBytes(*console.client.Mirrors().cache), before);
  // Yes goes on: the radio and the (empty) list are the mirror's now, the purge list untouched.
  ScriptedPrompter yes;
  yes.answers = {true};
  EXPECT_EQ(sheet.Apply(yes), 0);
  const auto& now = *console.client.Mirrors().cache;
  EXPECT_EQ(now.SpecifyWhatToCache.load(), 1u);
  EXPECT_EQ(now.CacheFilter.GetCount(), 0u);
  EXPECT_EQ(now.PurgeFilter.GetCount(), 1u);
  // With "Cache everything" the empty list is no question.
  page.specify = false;
  ScriptedPrompter quiet;
  EXPECT_EQ(sheet.Apply(quiet), 0);
  EXPECT_TRUE(quiet.boxes.empty());
}

TEST(CacheSheet, OkWithoutChangesKeepsTheBytesAndPagesWorkOnTheirOwnLists) {
  OfflineConsole console;
  // Only the two known option bits survive an Apply (see above); the rest is kept byte for byte.
  console.client.EditMirrors().cache->CacheOptions = 3;
  const auto before = ArchiveBytes(*console.client.Mirrors().cache);
  // Page by page: each one loaded and applied unchanged writes the same bytes.
  {
    CacheSheet sheet(console.client, console.criteria);
    for (PageLogic<CWWWCacheSettings>* page :
         std::vector<PageLogic<CWWWCacheSettings>*>{&sheet.general, &sheet.whatToCache, &sheet.whatToPurge}) {
      auto copy = Clone(*console.client.Mirrors().cache);
      page->Apply(*copy);
      EXPECT_EQ(ArchiveBytes(*copy), before);
    }
  }
  ScriptedPrompter prompter;
  CacheSheet sheet(console.client, console.criteria);
  ASSERT_EQ(sheet.Apply(prompter), 0);
  EXPECT_EQ(ArchiveBytes(*console.client.Mirrors().cache), before);
  // The pages' lists are their own: emptying one changes nothing in the mirror before Apply.
  sheet.whatToPurge.filters.RemoveAll();
  EXPECT_EQ(console.client.Mirrors().cache->PurgeFilter.GetCount(), 1u);
  ASSERT_EQ(sheet.Apply(prompter), 0);
  EXPECT_EQ(console.client.Mirrors().cache->PurgeFilter.GetCount(), 0u);
  EXPECT_EQ(console.client.Mirrors().cache->CacheFilter.GetCount(), 1u);
}

TEST(CacheSheet, ANotificationReloadsValuesAndListsButNotTheRadio) {
  OfflineConsole console;
  CacheSheet sheet(console.client, console.criteria);
  sheet.general.maxSize = "9";  // not applied
  sheet.whatToCache.specify = false;
  sheet.whatToCache.filters.RemoveAll();
  sheet.whatToPurge.filters.RemoveAll();
  // Another console's settings arrive (the client replaced the mirror's object).
  auto next = EngineSettings();
  next->MaxSize = 500;
  next->CacheOptions = 1;
  next->SpecifyWhatToCache = 1;
  console.client.EditMirrors().cache = next;
  ASSERT_TRUE(sheet.Reload());
  EXPECT_EQ(sheet.general.maxSize, "500");
  EXPECT_FALSE(sheet.general.lookups);
  EXPECT_TRUE(sheet.general.additions);
  EXPECT_EQ(sheet.whatToCache.filters.GetCount(), 1u);
  EXPECT_EQ(sheet.whatToPurge.filters.GetCount(), 1u);
  EXPECT_FALSE(sheet.whatToCache.specify);  // the operator's radio stays
  // Without settings (an engine without a cache) nothing is reloaded, and Apply says why.
  console.client.EditMirrors().cache.reset();
  EXPECT_FALSE(sheet.Reload());
  ScriptedPrompter prompter;
  EXPECT_EQ(sheet.Apply(prompter), -1);
  EXPECT_EQ(prompter.boxes.size(), 1u);
  EXPECT_FALSE(CacheSheet::Available(console.client));
}

// Against the real engine: what the sheet sends is what the engine then holds.
TEST(CacheSheetAgainstEngine, ApplyPurgeAndRebuildReachTheEngine) {
  EngineProcess engine;
  std::string log;
  ASSERT_TRUE(engine.Start(&log)) << log;
  FreshConsole editor;
  editor.ui.onCommand = [&](uint32_t id) {
    if (id == kCommandChangePassword) editor.client.ChangePassword("", "admin-pw");
  };
  ASSERT_TRUE(editor.LogIn(engine.rcPort, "Administrator", "", RC_REQ_GET_CACHE));
  ScriptedCriteria criteria;
  ASSERT_TRUE(CacheSheet::Available(editor.client));
  FreshConsole watcher;
  ASSERT_TRUE(watcher.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_CACHE));
  const size_t shown = editor.ui.boxes.size();

  ScriptedPrompter prompter;
  CacheSheet sheet(editor.client, criteria);
  sheet.general.maxSize = "321";
  sheet.general.daysVolatile = "5";
  sheet.general.daysNonVolatile = "45";
  sheet.general.lookups = false;
  sheet.general.additions = true;
  sheet.whatToCache.specify = true;
  auto url = std::make_shared<CRequestCriterion>();
  url->DataIndex = kPropHTTPURL;
  url->Comparison = TL_COMPARE_CONTAINS;
  url->Value.SetString("static");
  sheet.whatToCache.filters.Add(Filter("Filter 1", url));
  ASSERT_EQ(sheet.Apply(prompter), 0);
  ASSERT_TRUE(editor.loop.RunUntil([&] { return editor.client.OutstandingRequests() == 0; }));
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(editor.ui.boxes.size(), shown);
  EXPECT_TRUE(editor.client.ConfigurationChanged());

  // The other console hears 131 and its mirror holds what was applied.
  ASSERT_TRUE(watcher.loop.RunUntil([&] { return watcher.ui.HasView(VIEW_CACHE, RC_NOTIFY_CACHE_CHANGED); }));
  auto seen = watcher.client.Mirrors().cache;
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->MaxSize.load(), 321u);
  EXPECT_EQ(seen->DaysBeforeCheckVolatile.load(), 5u);
  EXPECT_EQ(seen->DaysBeforeCheckNonVolatile.load(), 45u);
  EXPECT_EQ(seen->CacheOptions.load(), 1u);
  EXPECT_EQ(seen->SpecifyWhatToCache.load(), 1u);
  ASSERT_EQ(seen->CacheFilter.GetCount(), 1u);
  auto held = seen->CacheFilter.GetFilters()[0]->GetCriteria();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0]->Value.strData, "static");

  // A fresh get (130) of the watcher reads the same from the engine.
  watcher.client.Request(RC_REQ_GET_CACHE);
  ASSERT_TRUE(watcher.loop.RunUntil([&] { return watcher.client.OutstandingRequests() == 0; }));
  EXPECT_EQ(watcher.client.Mirrors().cache->MaxSize.load(), 321u);

  // Purge Now and Rebuild Index are accepted (an engine refusal would come back as a box).
  EXPECT_NE(sheet.PurgeNow(), 0u);
  EXPECT_NE(sheet.RebuildIndex(), 0u);
  ASSERT_TRUE(editor.loop.RunUntil([&] { return editor.client.OutstandingRequests() == 0; }));
  EXPECT_EQ(editor.ui.boxes.size(), shown);

  EXPECT_TRUE(editor.client.Stop(5000));
  EXPECT_TRUE(watcher.client.Stop(5000));
}

}  // namespace
}  // namespace trellis::test
