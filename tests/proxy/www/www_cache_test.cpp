#include "engine/proxy/www/www_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "engine/config/reg_helpers.h"
#include "engine/remote/rc_message.h"
#include "tests/support/test_env.h"

namespace {

using trellis::test::ReadFile;
using trellis::test::WriteFile;

using Headers = std::vector<std::pair<CString, CString>>;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// An index record in its documented byte form.
std::string Record(const std::string& url, const std::string& name, uint32_t lastHit, uint32_t lastModified,
                   const std::string& type, uint32_t size, uint32_t hits) {
  auto str = [](const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; };
  auto u32 = [](uint32_t v) {
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
    return b;
  };
  return str(url) + str(name) + u32(lastHit) + u32(lastModified) + str(type) + u32(size) + u32(hits);
}

constexpr int64_t kT0 = 1'700'000'000;  // a fixed "now"

struct CacheFixture : ::testing::Test {
  std::string dir = trellis::test::MakeTempDir("cache");
  int64_t now = kT0;
  std::vector<CString> reports;  // what the caches opened here told the operator

  std::unique_ptr<CWWWCache> Open(bool load = true) {
    auto c = std::make_unique<CWWWCache>();
    c->SetCacheDirectory(dir);
    c->Now = [this] { return now; };
    c->OnReport = [this](const CString& text) { reports.push_back(text); };
    if (load) c->LoadIndex();
    return c;
  }
  // The reports that contain text.
  size_t Reported(const std::string& text) const {
    return static_cast<size_t>(
        std::count_if(reports.begin(), reports.end(), [&](const CString& r) { return r.find(text) != CString::npos; }));
  }
  // The body files in the folder.
  size_t BodyFiles() const {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".tlc") ++n;
    return n;
  }
  std::string Path(const std::string& name) const { return dir + "/" + name + ".tlc"; }

  // Stores body under key as a complete 200 response.
  static bool Store(CWWWCache& c, const CString& key, const std::string& body, const CString& type = "image/png",
                    std::optional<int64_t> lastModified = std::nullopt) {
    auto w = c.BeginStore(key);
    if (!w || !w->Write(body.data(), body.size())) return false;
    return w->Commit(CCacheCommit{body.size(), lastModified, type, true, std::nullopt});
  }

  static CCacheRequest Get(const CString& key) {
    CCacheRequest r;
    r.scheme = "http";
    r.method = "GET";
    r.key = key;
    return r;
  }
};

TEST(CacheNames, CounterRunsInBase36AndSkipsAllZ) {
  EXPECT_EQ(CWWWCache::NextName("00000000"), "00000001");
  EXPECT_EQ(CWWWCache::NextName("0000001Z"), "00000020");
  EXPECT_EQ(CWWWCache::NextName("0000ZZZZ"), "00010000");
  EXPECT_EQ(CWWWCache::NextName("ZZZZZZZY"), "00000000");
  EXPECT_EQ(CWWWCache::NextName("ZZZZZZZZ"), "00000000");
  // Damage never leads the counter outside the digit set.
  EXPECT_EQ(CWWWCache::NextName("0000.../"), "00000001");
  EXPECT_TRUE(CWWWCache::IsValidFileName("0A9Z0000"));
  for (const char* bad : {"../../..", "0000000", "000000000", "0000000a", "0000/000", ""})
    EXPECT_FALSE(CWWWCache::IsValidFileName(bad)) << bad;
}

TEST_F(CacheFixture, IndexSurvivesRestartInItsByteForm) {
  {
    auto c = Open();
    EXPECT_TRUE(Exists(dir + "/cache.idx"));
    ASSERT_TRUE(Store(*c, "h/a", "hello", "text/plain", kT0 - 100));
    ASSERT_TRUE(Store(*c, "h/b", std::string(3000, 'x')));
    CCachedCopy copy;
    ASSERT_TRUE(c->OpenCachedCopy(c->FindEntry("h/a"), &copy));
    EXPECT_EQ(copy.size, 5u);
    EXPECT_EQ(copy.contentType, "text/plain");
    // Appended records, one per store, already in the documented form (before any rewrite).
    const std::string first = Record("h/a", "00000001", kT0, kT0 - 100, "text/plain", 5, 0);
    EXPECT_EQ(ReadFile(dir + "/cache.idx").substr(0, first.size()), first);
    c->Shutdown();
  }
  auto c = Open();  // a new object, as after an engine restart
  auto a = c->FindEntry("h/a");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->FileName, "00000001");
  EXPECT_EQ(a->Hits, 1u);
  EXPECT_EQ(a->LastModified, kT0 - 100);
  ASSERT_TRUE(c->FindEntry("h/b"));
  EXPECT_EQ(c->GetTotalSize(), 3005);
  EXPECT_EQ(c->GetWeightedTotal(), 5);
  EXPECT_EQ(c->CacheOptions.load(), 3u);
  // The counter goes on from the highest name held.
  auto w = c->BeginStore("h/c");
  ASSERT_TRUE(w);
  EXPECT_EQ(w->Entry()->FileName, "00000003");
}

TEST_F(CacheFixture, LoadDropsBadNamesKeepsLaterDuplicateAndRecordsWithoutTheirFiles) {
  WriteFile(Path("00000001"), "old");
  WriteFile(Path("00000002"), "newer");
  WriteFile(Path("00000005"), "12345");
  // A name that leaves the folder: were it taken, the next record of its URL would delete it.
  const std::string outside = dir + "/../victi.tlc";
  WriteFile(outside, "keep");
  WriteFile(dir + "/cache.idx",
            Record("h/a", "../victi", kT0, kT0, "t", 4, 0) + Record("h/a", "00000001", kT0, kT0, "t", 3, 0) +
                Record("h/bad", "0005", kT0, kT0, "t", 5, 0) +
                Record("h/gone", "00000009", kT0, kT0, "t", 1, 0) +   // no file
                Record("h/short", "00000005", kT0, kT0, "t", 9, 0) +  // file shorter than recorded
                Record("h/a", "00000002", kT0, kT0, "t", 5, 0));
  auto c = Open();
  EXPECT_EQ(c->GetCount(), 3u);
  ASSERT_TRUE(c->FindEntry("h/a"));
  EXPECT_EQ(c->FindEntry("h/a")->FileName, "00000002");
  EXPECT_FALSE(Exists(Path("00000001")));  // the displaced record's file
  EXPECT_TRUE(Exists(outside));
  EXPECT_EQ(c->CacheOptions.load(), 3u);  // dropped records are not damage
  EXPECT_EQ(ReadFile(dir + "/cache.idx"), Record("h/a", "00000002", kT0, kT0, "t", 5, 0) +
                                              Record("h/gone", "00000009", kT0, kT0, "t", 1, 0) +
                                              Record("h/short", "00000005", kT0, kT0, "t", 9, 0));
  EXPECT_EQ(c->GetTotalSize(), 15);
  // A record without its whole file is kept until it is asked for: then it goes and the request
  // downloads.
  CCachedCopy copy;
  EXPECT_FALSE(c->OpenCachedCopy(c->FindEntry("h/gone"), &copy));
  EXPECT_FALSE(c->OpenCachedCopy(c->FindEntry("h/short"), &copy));
  EXPECT_EQ(c->GetCount(), 1u);
  auto w = c->BeginStore("h/next");
  ASSERT_TRUE(w);
  EXPECT_EQ(w->Entry()->FileName, "0000000A");  // after the highest name the index held
}

TEST_F(CacheFixture, DamagedIndexKeepsWhatCameBeforeAndCachingGoesOn) {
  WriteFile(Path("00000001"), "abc");
  const std::string good = Record("h/a", "00000001", kT0, kT0, "t", 3, 0);
  // A record whose URL claims 4 GiB.
  WriteFile(dir + "/cache.idx", good + std::string("\xFF\xFF\xFF\xFF\xFF\xFF\x01", 7) + "xyz");
  auto c = Open();
  EXPECT_EQ(c->GetCount(), 1u);
  EXPECT_EQ(c->CacheOptions.load(), 3u);
  EXPECT_EQ(ReadFile(dir + "/cache.idx"), good);
  const std::string told = "damaged at byte " + std::to_string(good.size()) + " of " +
                           std::to_string(good.size() + 10) +
                           ": kept the 1 entries before it, dropped the remaining 10 bytes";
  EXPECT_EQ(Reported(told), 1u) << (reports.empty() ? "" : reports[0]);

  // A torn last record, as a power loss leaves it: what came before is served, and new objects are
  // stored and found again after the next start.
  const std::string second = Record("h/b", "00000002", kT0, kT0, "t", 5, 0);
  WriteFile(Path("00000002"), "12345");
  WriteFile(dir + "/cache.idx", good + second.substr(0, second.size() - 3));
  reports.clear();
  c = Open();
  EXPECT_EQ(Reported("damaged at byte " + std::to_string(good.size())), 1u);
  EXPECT_FALSE(Exists(Path("00000002")));  // the torn record's body went with it
  EXPECT_EQ(c->Decide(Get("h/a")).state, kCacheServe);
  ASSERT_TRUE(Store(*c, "h/c", "stored after the damage"));
  c->Shutdown();
  reports.clear();
  c = Open();
  EXPECT_TRUE(reports.empty()) << reports[0];
  EXPECT_TRUE(c->HasEntry("h/a") && c->HasEntry("h/c"));
}

TEST_F(CacheFixture, EveryTruncationAndCorruptionOfTheIndexLoads) {
  std::string full;
  for (int i = 1; i <= 3; ++i) {
    const std::string name = "0000000" + std::to_string(i);
    WriteFile(Path(name), std::string(i, 'b'));
    full += Record("h/" + std::to_string(i), name, kT0, kT0, "text/html", i, i);
  }
  const size_t recordLen = full.size() / 3;
  for (size_t n = 0; n <= full.size(); ++n) {
    WriteFile(dir + "/cache.idx", full.substr(0, n));
    auto c = Open();
    EXPECT_EQ(c->GetCount(), n / recordLen) << n;
    EXPECT_EQ(c->CacheOptions.load(), 3u) << n;
    EXPECT_EQ(Reported("damaged at byte"), n % recordLen == 0 ? 0u : 1u) << n;
    reports.clear();
    EXPECT_LE(ReadFile(dir + "/cache.idx").size(), n);
  }
  // Flipped bytes anywhere: loads, never holds an entry whose file is not ours.
  uint32_t seed = 12345;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = full;
    for (int k = 0; k < 3; ++k) {
      seed = seed * 1103515245u + 12345u;
      bytes[(seed >> 8) % bytes.size()] = static_cast<char>(seed >> 24);
    }
    WriteFile(dir + "/cache.idx", bytes);
    auto c = Open();
    c->ForEach([](const CString&, const std::shared_ptr<CObject>& obj) {
      EXPECT_TRUE(CWWWCache::IsValidFileName(static_cast<CCacheEntry*>(obj.get())->FileName));
    });
  }
}

TEST_F(CacheFixture, SizeLimitRemovesTheObjectAndStopsOrPurges) {
  auto c = Open();
  c->MaxSize = 1;
  c->AutoPurge = 0;
  const std::string big(600 * 1024, 'x');
  ASSERT_TRUE(Store(*c, "h/1", big));
  Store(*c, "h/2", big);  // takes the total past 1 MiB: removed again at once
  EXPECT_FALSE(c->HasEntry("h/2"));
  EXPECT_FALSE(Exists(Path("00000002")));
  EXPECT_EQ(c->GetTotalSize(), big.size());
  EXPECT_EQ(c->CacheOptions.load(), kCacheEnableLookups);
  EXPECT_FALSE(c->BeginStore("h/3"));
  c->RemoveURL("HTTP://h/1");  // back under the limit, but lookups are on: additions stay off
  EXPECT_FALSE(c->HasEntry("h/1"));
  EXPECT_EQ(c->CacheOptions.load(), kCacheEnableLookups);
  // With lookups off, a remove that leaves the cache under its limit turns additions on.
  c->CacheOptions = kCacheEnableAdditions | kCacheEnableLookups;  // as a console would
  ASSERT_TRUE(Store(*c, "h/1", "small"));
  c->CacheOptions = 0;
  c->RemoveURL("h/1");
  EXPECT_EQ(c->CacheOptions.load(), kCacheEnableAdditions);
  c->CacheOptions = kCacheEnableAdditions | kCacheEnableLookups;

  // A body larger than the whole cache stops being written at the limit.
  auto w = c->BeginStore("h/huge");
  ASSERT_TRUE(w);
  const std::string path = Path(w->Entry()->FileName);
  EXPECT_EQ(w->GetError(), 0);
  EXPECT_TRUE(w->Write(big.data(), big.size()));
  EXPECT_FALSE(w->Write(big.data(), big.size()));
  EXPECT_EQ(w->GetError(), EFBIG);  // the number the session's log line carries
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(w->Commit(CCacheCommit{}));

  // With AutoPurge the store starts a purge, which removes what the purge filter matches.
  c->AutoPurge = 1;
  ASSERT_TRUE(Store(*c, "h/old", big, "text/html"));
  std::vector<CString> asked;
  c->PurgeFilterMatches = [&](const CCacheEntry& e, const CCacheFieldContext&) {
    asked.push_back(e.URL);
    return e.URL == "h/old";
  };
  Store(*c, "h/new", big);
  c->WaitForWorker();
  EXPECT_EQ(asked, std::vector<CString>{"h/old"});  // h/new was removed before the purge ran
  EXPECT_EQ(c->GetCount(), 0u);
  EXPECT_EQ(c->CacheOptions.load(), 3u);
}

TEST_F(CacheFixture, PurgeWalkRemovesMatchesAndOneWorkerRunsAtATime) {
  auto c = Open();
  for (const char* k : {"h/a", "h/b", "h/c", "h/d"}) ASSERT_TRUE(Store(*c, k, "data"));
  std::vector<CString> order;
  c->PurgeFilterMatches = [&](const CCacheEntry& e, const CCacheFieldContext&) {
    order.push_back(e.URL);
    // While the pass runs: sessions see both bits clear and go round the cache without waiting,
    // and a second pass of either kind returns at once.
    EXPECT_EQ(c->CacheOptions.load(), 0u);
    EXPECT_EQ(c->Decide(Get("h/a")).state, kCacheDownload);
    c->Purge();
    c->RemoveOrphanEntries();
    return e.URL != "h/c";
  };
  c->Purge();
  EXPECT_EQ(order, (std::vector<CString>{"h/a", "h/b", "h/c", "h/d"}));
  EXPECT_EQ(c->GetCount(), 1u);
  EXPECT_EQ(c->CacheOptions.load(), 3u);
  EXPECT_FALSE(c->IsBusy());
  auto reloaded = Open();
  EXPECT_EQ(reloaded->GetCount(), 1u);
  EXPECT_TRUE(reloaded->HasEntry("h/c"));

  // Orphan removal drops entries whose file went away.
  ::unlink(Path(c->FindEntry("h/c")->FileName).c_str());
  ASSERT_TRUE(c->StartVerifyThread());
  c->WaitForWorker();
  EXPECT_EQ(c->GetCount(), 0u);
  EXPECT_EQ(c->GetTotalSize(), 0);
}

TEST_F(CacheFixture, FreshnessDecisions) {
  auto c = Open();
  ASSERT_TRUE(Store(*c, "h/img", "png", "image/png", kT0 - 50));
  ASSERT_TRUE(Store(*c, "h/page", "<p>", "text/html", 784111777));

  CCacheDecision d = c->Decide(Get("h/img"));
  EXPECT_EQ(d.state, kCacheServe);
  EXPECT_TRUE(d.store);
  EXPECT_EQ(d.entry, c->FindEntry("h/img"));

  now = kT0 + 3 * 86400;  // beyond the 2 days of HTML, within the 60 of the rest
  EXPECT_EQ(c->Decide(Get("h/img")).state, kCacheServe);
  d = c->Decide(Get("h/page"));
  EXPECT_EQ(d.state, kCacheRevalidate);
  EXPECT_EQ(d.ifModifiedSince, "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(c->FindEntry("h/page")->LastHit, now);  // the decision counts as a hit time

  CCacheRequest r = Get("h/page");
  r.hasIfModifiedSince = true;
  r.ifModifiedSince = 784111777;
  EXPECT_EQ(c->Decide(r).state, kCacheNotModified);  // fresh again after the hit above
  r.ifModifiedSince = 784111778;
  c->FindEntry("h/page")->LastHit = 0;
  EXPECT_EQ(c->Decide(r).state, kCachePassIMS);  // the browser holds something newer
  EXPECT_EQ(c->FindEntry("h/page")->LastHit, 0);
  r.ifModifiedSince.reset();  // sent but unparsable: the gateway revalidates itself
  EXPECT_EQ(c->Decide(r).state, kCacheRevalidate);

  r = Get("h/none");
  r.hasIfModifiedSince = true;
  EXPECT_EQ(c->Decide(r).state, kCachePassIMS);
  r = Get("h/img");
  r.noCache = true;
  d = c->Decide(r);
  EXPECT_EQ(d.state, kCacheDownload);
  EXPECT_TRUE(d.dropBrowserIMS && d.store);

  c->CacheOptions = kCacheEnableAdditions;  // lookups off
  EXPECT_EQ(c->Decide(Get("h/img")).state, kCacheDownload);
  c->CacheOptions = 3;
  // Not cacheable at all.
  r = Get("h/img");
  r.hasQuery = true;
  EXPECT_FALSE(c->Decide(r).store);
  r = Get("h/img");
  r.method = "POST";
  EXPECT_FALSE(c->IsCacheable(r));
  r = Get("h/img");
  r.hasAuthorization = true;
  EXPECT_FALSE(c->IsCacheable(r));
  r = Get("h/img");
  r.scheme = "ftp";
  EXPECT_FALSE(c->IsCacheable(r));
  c->SpecifyWhatToCache = 1;  // no what-to-cache filter: nothing qualifies
  EXPECT_FALSE(c->IsCacheable(Get("h/img")));
  c->CacheFilterMatches = [](const CCacheRequest& q) { return q.key == "h/img"; };
  EXPECT_TRUE(c->IsCacheable(Get("h/img")));
}

TEST(CacheResponses, UncacheableResponsesAreRefused) {
  const struct {
    uint32_t status;
    Headers headers;
    bool storable;
  } table[] = {
      {200, {{"Content-Type", "text/html"}, {"Content-Length", "12"}}, true},
      {200, {{"Content-Encoding", "identity"}, {"Cache-Control", "max-age=60, public"}}, true},
      {404, {}, false},
      {304, {}, false},
      {200, {{"Transfer-Encoding", "chunked"}}, false},
      {200, {{"transfer-encoding", "identity"}}, false},
      {200, {{"Content-Encoding", "gzip"}}, false},
      {200, {{"Set-Cookie", "id=1"}}, false},
      {200, {{"Cache-Control", "max-age=0, private=\"x\""}}, false},
      {200, {{"cache-control", "NO-STORE"}}, false},
      {200, {{"Cache-Control", "no-cache"}}, false},
      {200, {{"Pragma", "no-cache"}}, false},
      {200, {{"Content-Length", "12a"}}, false},
      {200, {{"Content-Length", "-1"}}, false},
      {200, {{"Content-Length", "5"}, {"Content-Length", "6"}}, false},
      {200, {{"Content-Length", "4294967296"}}, false},
  };
  for (const auto& row : table) {
    const CCacheVerdict v = CWWWCache::CheckResponse(row.status, row.headers);
    EXPECT_EQ(v.storable, row.storable) << row.status << " " << (row.headers.empty() ? "" : row.headers[0].first);
  }
  EXPECT_EQ(CWWWCache::CheckResponse(200, {{"Content-Length", " 12 "}}).contentLength, 12u);
}

TEST_F(CacheFixture, OnlyABodyOfTheRightLengthIsCommitted) {
  auto c = Open();
  // Origin cut the transfer short: 5 of 10 promised bytes.
  auto w = c->BeginStore("h/cut");
  ASSERT_TRUE(w);
  const std::string path = Path(w->Entry()->FileName);
  ASSERT_TRUE(w->Write("12345", 5));
  EXPECT_FALSE(w->Commit(CCacheCommit{10u, std::nullopt, "t", false, std::nullopt}));
  EXPECT_FALSE(c->HasEntry("h/cut"));
  EXPECT_FALSE(Exists(path));
  // Browser closed and no length was given: completeness unknown.
  w = c->BeginStore("h/nolen");
  ASSERT_TRUE(w->Write("abc", 3));
  EXPECT_FALSE(w->Commit(CCacheCommit{std::nullopt, std::nullopt, "t", true, std::nullopt}));
  // Server closed without a length: the close marks the end.
  w = c->BeginStore("h/eof");
  ASSERT_TRUE(w->Write("abc", 3));
  EXPECT_TRUE(w->Commit(CCacheCommit{std::nullopt, std::nullopt, "t", false, std::nullopt}));
  EXPECT_EQ(c->FindEntry("h/eof")->Size, 3u);
  EXPECT_EQ(c->FindEntry("h/eof")->LastModified, now);
  // A writer dropped without a commit leaves nothing behind.
  {
    auto dropped = c->BeginStore("h/drop");
    ASSERT_TRUE(dropped->Write("x", 1));
  }
  EXPECT_FALSE(c->HasEntry("h/drop"));
  EXPECT_EQ(c->GetStats().discarded, 3u);
  EXPECT_EQ(c->GetCount(), 1u);
}

TEST_F(CacheFixture, ConcurrentStoresAndDamagedFilesAreHandled) {
  auto c = Open();
  ASSERT_TRUE(Store(*c, "h/a", "first"));
  CCachedCopy copy;
  ASSERT_TRUE(c->OpenCachedCopy(c->FindEntry("h/a"), &copy));
  // A new download takes the stored copy out at once: its file goes and the URL reads as absent
  // until the download is committed; the hit count carries over to the new entry.
  auto w1 = c->BeginStore("h/a");
  ASSERT_TRUE(w1);
  EXPECT_EQ(w1->Entry()->Hits, 1u);
  EXPECT_FALSE(c->HasEntry("h/a"));
  EXPECT_FALSE(Exists(Path("00000001")));
  EXPECT_EQ(c->GetTotalSize(), 0);
  EXPECT_EQ(c->Decide(Get("h/a")).state, kCacheDownload);
  // A second download of the URL meanwhile starts afresh; the later commit wins, the other file
  // goes.
  auto w2 = c->BeginStore("h/a");
  ASSERT_TRUE(w2);
  EXPECT_EQ(w2->Entry()->Hits, 0u);
  ASSERT_TRUE(w1->Write("one", 3));
  ASSERT_TRUE(w2->Write("second", 6));
  const std::string p1 = Path(w1->Entry()->FileName);
  ASSERT_TRUE(w1->Commit(CCacheCommit{3u, std::nullopt, "t", true, std::nullopt}));
  EXPECT_EQ(c->GetWeightedTotal(), 3);
  ASSERT_TRUE(w2->Commit(CCacheCommit{6u, std::nullopt, "t", true, std::nullopt}));
  EXPECT_FALSE(Exists(p1));
  EXPECT_EQ(c->GetCount(), 1u);
  EXPECT_EQ(c->GetTotalSize(), 6);
  EXPECT_EQ(c->GetWeightedTotal(), 0);

  // A body cut on disk is never served: the entry goes and the request downloads.
  auto e = c->FindEntry("h/a");
  WriteFile(Path(e->FileName), "sec");
  EXPECT_FALSE(c->OpenCachedCopy(e, &copy));
  EXPECT_FALSE(c->HasEntry("h/a"));
  EXPECT_EQ(c->GetTotalSize(), 0);
}

TEST_F(CacheFixture, SessionsStoreAndHitWhilePurgesRun) {
  auto c = Open();
  c->PurgeFilterMatches = [](const CCacheEntry& e, const CCacheFieldContext&) { return e.URL.back() == '0'; };
  std::vector<std::thread> sessions;
  for (int t = 0; t < 4; ++t) {
    sessions.emplace_back([&c, t] {
      for (int i = 0; i < 40; ++i) {
        const CString key = "h/" + std::to_string(t) + "/" + std::to_string(i % 10);
        const CCacheDecision d = c->Decide(Get(key));
        CCachedCopy copy;
        if (d.state == kCacheServe && c->OpenCachedCopy(d.entry, &copy)) continue;
        if (d.store) Store(*c, key, std::string(static_cast<size_t>(i + 1), 'z'));
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    c->StartPurgeThread();
    c->WaitForWorker();
  }
  for (auto& s : sessions) s.join();
  // The running totals agree with what a rewrite counts from scratch.
  const double total = c->GetTotalSize(), weighted = c->GetWeightedTotal();
  c->WriteIndex();
  EXPECT_EQ(c->GetTotalSize(), total);
  EXPECT_EQ(c->GetWeightedTotal(), weighted);
  const size_t count = c->GetCount();
  c->Shutdown();
  EXPECT_EQ(Open()->GetCount(), count);
}

TEST_F(CacheFixture, PurgeVariables) {
  auto c = Open();
  CCacheEntry e;
  e.Hits = 0;
  e.Size = 1000;
  e.LastHit = kT0 - 90 * 60;
  e.LastModified = kT0 + 100;  // a clock set back
  CTLDataObject v;
  e.GetField(6, v, {5000, 0, kT0});
  EXPECT_EQ(v.dData, 100.0);
  e.GetField(6, v, {5000, 2000, kT0});
  EXPECT_EQ(v.dData, 0.0);
  e.Hits = 2;
  e.GetField(6, v, {5000, 2000, kT0});
  EXPECT_EQ(v.dData, 500.0);
  e.GetField(7, v, {0, 0, kT0});
  EXPECT_EQ(v.dwData, 1u);
  e.GetField(8, v, {0, 0, kT0});
  EXPECT_EQ(v.dwData, 0u);
  v.SetDWord(77);
  e.GetField(99, v, {0, 0, kT0});
  EXPECT_EQ(v.dwData, 77u);
  EXPECT_STREQ(CCacheEntry::GetFieldName(6), "Relative Cache efficiency (%)");
}

TEST_F(CacheFixture, SettingsInRegistryAndArchive) {
  auto c = Open(false);
  CWWWCache defaults;
  defaults.Load("CacheTestMissing");
  EXPECT_EQ(defaults.GetCacheDirectory(), "cache");
  EXPECT_EQ(defaults.CacheOptions.load(), 3u);
  EXPECT_EQ(defaults.DaysBeforeCheckNonVolatile.load(), 60u);

  c->SetCacheDirectory("web\\cache");
  c->SpecifyWhatToCache = 1;
  c->LimitCacheSize = 0;
  c->MaxSize = 7;
  c->DaysBeforeCheckVolatile = 3;
  // The filter collections live under their own sub-keys and come back the same.
  auto keep = std::make_shared<CRequestFilter>();
  auto css = std::make_shared<CRequestCriterion>();
  css->DataIndex = kPropHTTPURL;
  css->Comparison = TL_COMPARE_ENDS;
  css->Value.SetString(".css");
  keep->AddCriterion(css);
  c->CacheFilter.Add(keep);
  auto old = std::make_shared<CRequestFilter>();
  auto stale = std::make_shared<CCachePurgeCriterion>();
  stale->DataIndex = kCacheFieldHoursSinceHit;
  stale->Comparison = TL_COMPARE_GREATER;
  stale->Value.SetDWord(48);
  old->AddCriterion(stale);
  c->PurgeFilter.Add(old);
  ASSERT_TRUE(c->Save("CacheTest"));
  CWWWCache loaded;
  loaded.Load("CacheTest");
  auto filterBytes = [](CRequestFilterCollection& f) {
    CArchive ar;
    f.Serialize(ar);
    return ar.Bytes();
  };
  EXPECT_EQ(filterBytes(loaded.CacheFilter), filterBytes(c->CacheFilter));
  EXPECT_EQ(filterBytes(loaded.PurgeFilter), filterBytes(c->PurgeFilter));
  EXPECT_EQ(RegReadString("CacheTest\\PurgeFilter\\Filter0\\Criterion0", "Type", ""), "CCachePurgeCriterion");
  loaded.CacheFilter.RemoveAll();
  loaded.PurgeFilter.RemoveAll();
  EXPECT_EQ(loaded.GetCacheDirectory(), "web/cache");
  EXPECT_EQ(loaded.SpecifyWhatToCache.load(), 1u);
  EXPECT_EQ(loaded.LimitCacheSize.load(), 0u);
  EXPECT_EQ(loaded.MaxSize.load(), 7u);
  EXPECT_EQ(loaded.DaysBeforeCheckVolatile.load(), 3u);

  CArchive out;
  loaded.Serialize(out);
  const auto& b = out.Bytes();
  const std::string dirBytes = "\x09web/cache";
  ASSERT_EQ(b.size(), dirBytes.size() + 7 * 4 + 16 + 2 + 2);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 10), dirBytes);
  EXPECT_EQ(b[10], 3u);  // CacheOptions
  EXPECT_EQ(b[14], 0u);  // LimitCacheSize comes before ...
  EXPECT_EQ(b[18], 1u);  // ... SpecifyWhatToCache
  EXPECT_EQ(b[22], 7u);  // MaxSize

  // A console's copy takes the totals it is sent; the live cache keeps its own.
  std::vector<uint8_t> bytes = b;
  const double sent = 123456;
  std::memcpy(bytes.data() + 10 + 28, &sent, 8);
  {
    CArchive in(bytes.data(), bytes.size());
    CWWWCache console;
    console.Serialize(in);
    EXPECT_EQ(console.GetTotalSize(), sent);
  }
  auto live = Open();
  ASSERT_TRUE(Store(*live, "h/x", "abc"));
  CArchive in(bytes.data(), bytes.size());
  live->Serialize(in);
  EXPECT_EQ(live->GetTotalSize(), 3);
  EXPECT_EQ(live->MaxSize.load(), 7u);
  EXPECT_EQ(live->GetActiveDirectory(), dir);  // a new folder waits for the next start

  // A cut settings archive changes nothing.
  CArchive cut(bytes.data(), bytes.size() - 1);
  CWWWCache untouched;
  EXPECT_THROW(untouched.Serialize(cut), CArchiveException);
  EXPECT_EQ(untouched.MaxSize.load(), 100u);
}

TEST_F(CacheFixture, LoadRemovesBodyFilesNoRecordNames) {
  WriteFile(Path("00000001"), "abc");
  WriteFile(Path("00000002"), "a download cut off by a kill");
  WriteFile(dir + "/junk.tlc", "x");
  WriteFile(dir + "/notes.txt", "not a body file");
  std::filesystem::create_directory(dir + "/folder.tlc");
  WriteFile(dir + "/../outside.tlc", "keep");
  std::filesystem::create_symlink(dir + "/../outside.tlc", dir + "/link.tlc");
  WriteFile(dir + "/cache.idx", Record("h/a", "00000001", kT0, kT0, "t", 3, 0));
  auto c = Open();
  EXPECT_TRUE(Exists(Path("00000001")));
  EXPECT_FALSE(Exists(Path("00000002")));
  EXPECT_FALSE(Exists(dir + "/junk.tlc"));
  // Only plain files of the folder itself go.
  EXPECT_TRUE(Exists(dir + "/notes.txt"));
  EXPECT_TRUE(Exists(dir + "/folder.tlc"));
  EXPECT_TRUE(Exists(dir + "/../outside.tlc"));
  EXPECT_EQ(c->GetTotalSize(), 3);
  EXPECT_EQ(c->CacheOptions.load(), 3u);
  EXPECT_EQ(Reported("removed 2 body files that no index entry names"), 1u);
  // A download in progress is not an orphan while the cache runs: only a load removes them.
  auto w = c->BeginStore("h/b");
  ASSERT_TRUE(w && w->Write("partial", 7));
  c->WriteIndex();
  EXPECT_TRUE(Exists(Path(w->Entry()->FileName)));
}

TEST_F(CacheFixture, FullCacheStopsStoringOnceInsteadOfWritingAndDeletingEveryObject) {
  auto c = Open();
  c->MaxSize = 1;
  c->AutoPurge = 1;
  int told = 0;
  c->OnPurgeLeftCacheFull = [&] { ++told; };
  const std::string big(600 * 1024, 'x');
  ASSERT_TRUE(Store(*c, "h/1", big));
  // Past the limit: the object goes again and the purge runs; the purge filter (unset, as in an
  // engine without filters) removes nothing, so there is no room for it.
  Store(*c, "h/2", big);
  c->WaitForWorker();
  EXPECT_FALSE(c->HasEntry("h/2"));
  EXPECT_EQ(c->CacheOptions.load(), kCacheEnableLookups);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(Reported("Web cache full"), 1u);
  // Further fetches are relayed without touching the disk, and served ones still hit.
  for (const char* key : {"h/2", "h/3", "h/2"}) {
    const CCacheDecision d = c->Decide(Get(key));
    EXPECT_FALSE(d.store) << key;
    EXPECT_FALSE(c->BeginStore(key)) << key;
  }
  EXPECT_EQ(BodyFiles(), 1u);
  EXPECT_EQ(c->Decide(Get("h/1")).state, kCacheServe);
  // A purge run by hand leaves storing as it was and does not repeat the line.
  c->Purge();
  EXPECT_EQ(c->CacheOptions.load(), kCacheEnableLookups);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(Reported("Web cache full"), 1u);

  // A purge filter that frees too little for the object is no better.
  c->CacheOptions = 3;  // as a console would
  c->PurgeFilterMatches = [](const CCacheEntry& e, const CCacheFieldContext&) { return e.URL == "h/small"; };
  ASSERT_TRUE(Store(*c, "h/small", "tiny"));
  Store(*c, "h/2", big);
  c->WaitForWorker();
  EXPECT_FALSE(c->HasEntry("h/small"));
  EXPECT_EQ(c->CacheOptions.load(), kCacheEnableLookups);
  EXPECT_EQ(Reported("Web cache full"), 2u);
  EXPECT_EQ(told, 2);
  EXPECT_EQ(BodyFiles(), 1u);

  // Without AutoPurge additions stop at once, said once.
  c->CacheOptions = 3;
  c->AutoPurge = 0;
  Store(*c, "h/2", big);
  EXPECT_EQ(c->CacheOptions.load(), kCacheEnableLookups);
  EXPECT_EQ(Reported("Web cache full"), 3u);
  EXPECT_EQ(told, 2);  // consoles hear of a purge that left the cache full, not of this
}

TEST(CacheLifetimes, ExplicitLifetimeFromTheResponse) {
  constexpr int64_t now = kT0;
  const CString date = CWWWCache::FormatHttpDate(now - 100);
  const CString inAnHour = CWWWCache::FormatHttpDate(now + 3600);
  const struct {
    Headers headers;
    std::optional<int64_t> expires;
  } table[] = {
      {{}, std::nullopt},
      {{{"Cache-Control", "public"}, {"Last-Modified", date}}, std::nullopt},
      {{{"Cache-Control", "public, max-age=60"}}, now + 60},
      {{{"cache-control", "max-age=\"60\""}}, now + 60},
      {{{"Cache-Control", "max-age=600"}, {"Cache-Control", "s-maxage=10"}}, now + 10},  // a shared cache's own
      {{{"Cache-Control", "max-age=0"}}, now},
      {{{"Cache-Control", "max-age=60, max-age=30"}}, now + 30},
      {{{"Cache-Control", "max-age=sixty"}}, now},
      {{{"Cache-Control", "max-age"}}, now},
      {{{"Cache-Control", "max-age=99999999999999999999"}}, now + (int64_t{1} << 31)},
      {{{"Cache-Control", "max-age=60"}, {"Age", "20"}}, now + 40},
      {{{"Cache-Control", "max-age=60"}, {"Date", date}}, now - 40},  // 100 s old when it came
      {{{"Expires", inAnHour}}, now + 3600},
      {{{"Expires", inAnHour}, {"Date", date}}, now + 3600},
      {{{"Expires", inAnHour}, {"Cache-Control", "max-age=5"}}, now + 5},
      {{{"Expires", date}}, now - 100},
      {{{"Expires", "0"}}, std::nullopt},  // checked below: long past
  };
  for (const auto& row : table) {
    const auto got = CWWWCache::ExplicitExpiry(row.headers, now);
    if (row.headers.size() == 1 && row.headers[0].second == "0") {
      ASSERT_TRUE(got);
      EXPECT_LT(*got, now);
      continue;
    }
    EXPECT_EQ(got, row.expires) << row.headers[0].first << ": " << row.headers[0].second;
  }
  const CCacheVerdict v = CWWWCache::CheckResponse(200, {{"Cache-Control", "max-age=60"}}, now);
  EXPECT_TRUE(v.storable);
  EXPECT_EQ(v.expires, now + 60);
}

TEST_F(CacheFixture, ExpiredLifetimeIsRevalidatedWhateverTheDays) {
  auto c = Open();
  // Stores body under key with the lifetime the response gave.
  auto store = [&](const CString& key, std::optional<int64_t> expires) {
    auto w = c->BeginStore(key);
    ASSERT_TRUE(w && w->Write("body", 4));
    ASSERT_TRUE(w->Commit(CCacheCommit{4u, kT0 - 500, "image/png", false, expires}));
  };
  store("h/hour", kT0 + 3600);
  store("h/age0", kT0);  // max-age=0: stored, never served unchecked
  store("h/plain", std::nullopt);
  EXPECT_EQ(c->Decide(Get("h/hour")).state, kCacheServe);
  CCacheDecision d = c->Decide(Get("h/age0"));
  EXPECT_EQ(d.state, kCacheRevalidate);
  EXPECT_EQ(d.ifModifiedSince, CWWWCache::FormatHttpDate(kT0 - 500));
  CCacheRequest browser = Get("h/age0");
  browser.hasIfModifiedSince = true;
  browser.ifModifiedSince = kT0 - 500;
  EXPECT_EQ(c->Decide(browser).state, kCachePassIMS);  // never a 304 of our own for it

  // An hour on, within the 60 days and hit a moment ago: the lifetime decides.
  now = kT0 + 3600;
  EXPECT_EQ(c->Decide(Get("h/hour")).state, kCacheRevalidate);
  EXPECT_EQ(c->Decide(Get("h/hour")).state, kCacheRevalidate);
  EXPECT_EQ(c->Decide(Get("h/plain")).state, kCacheServe);

  // A 304 with a new lifetime renews it; one without keeps the entry checked.
  c->Refresh(c->FindEntry("h/hour"), now + 600);
  c->Refresh(c->FindEntry("h/age0"), std::nullopt);
  EXPECT_EQ(c->Decide(Get("h/hour")).state, kCacheServe);
  EXPECT_EQ(c->Decide(Get("h/age0")).state, kCacheRevalidate);

  // Lifetimes survive a restart, in a record of their own before the entry's.
  const CString name = c->FindEntry("h/hour")->FileName;
  c->Shutdown();
  EXPECT_NE(ReadFile(dir + "/cache.idx")
                .find(Record("", name + ".expires", static_cast<uint32_t>(now + 600), 0, "", 0, 0) +
                      Record("h/hour", name, static_cast<uint32_t>(now), kT0 - 500, "image/png", 4, 0)),
            std::string::npos);
  c = Open();
  EXPECT_EQ(c->GetCount(), 3u);
  EXPECT_EQ(c->Decide(Get("h/hour")).state, kCacheServe);
  EXPECT_EQ(c->Decide(Get("h/age0")).state, kCacheRevalidate);
  EXPECT_TRUE(reports.empty()) << reports[0];

  // A lifetime belongs only to the record right after it, and one whose entry was torn off is
  // dropped with it.
  WriteFile(Path("00000001"), "body");
  const std::string entry = Record("h/x", "00000001", kT0, kT0, "t", 4, 0);
  WriteFile(dir + "/cache.idx", Record("", "00000002.expires", kT0 - 1, 0, "", 0, 0) + entry +
                                    Record("", "00000001.expires", kT0 - 1, 0, "", 0, 0) + entry.substr(0, 5));
  now = kT0;
  c = Open();
  ASSERT_EQ(c->GetCount(), 1u);
  EXPECT_EQ(c->Decide(Get("h/x")).state, kCacheServe);
  EXPECT_EQ(Reported("damaged at byte"), 1u);
  EXPECT_EQ(ReadFile(dir + "/cache.idx"), entry);
}

}  // namespace
