#pragma once
// The shared disk cache of web objects: its settings (www_cache_settings.h) with the entry
// records, the index file "cache.idx" and one body file per object added.
//
// One CWWWCache lives in the engine; the console holds CWWWCacheSettings only (the entries never
// travel). Nothing here reaches engine globals: what the engine adds (telling consoles the cache is
// full, matching request filters) comes in through the hooks below.
//
// Files, all inside the cache directory (CacheDirectory, relative to the engine's current
// directory, TRELLIS_HOME; created when missing; "\\" read as "/"):
//   cache.idx     entry records back to back, no header, no count. One record:
//                   URL           string (archive string form: 1, 3 or 7 bytes of length)
//                   file name     string, always 8 characters of [0-9A-Z]
//                   last hit      u32 little-endian, seconds since 1970 UTC (unsigned: to 2106)
//                   last modified u32 little-endian, the same
//                   content type  string
//                   size          u32 little-endian, bytes of the body
//                   hit count     u32 little-endian
//                 An entry the origin gave a lifetime (see Lifetimes below) is preceded by a
//                 lifetime record of the same form: URL "", file name the entry's 8 characters
//                 followed by ".expires", last hit the end of the lifetime, last modified, size
//                 and hit count 0, content type "". Every reader that knows only the plain record
//                 drops it (no URL, no 8-character name), so an index written before lifetimes
//                 existed loads unchanged and one written since still loads in an older engine
//                 (which then checks by days alone). It comes first: a torn write can cut a
//                 lifetime only together with the entry it belongs to, never leave the entry
//                 without it.
//                 One record (with its lifetime record) is appended and synced per stored object;
//                 an append that fails part-way is cut off again, so it cannot hide the records
//                 appended after it. A rewrite goes through a temporary file and a rename, so a
//                 crash leaves the old or the new index whole.
//   NNNNNNNN.tlc  the body as the origin sent it (no header). Names come only from our own
//                 base-36 counter; a name read from the index is used only when it is 8 characters
//                 of [0-9A-Z], so no path from data ever reaches the file system. A download's file
//                 joins the index only at its commit; *.tlc files that no record names when the
//                 index is loaded (downloads cut off by a crash or a kill) are removed then, so
//                 they never count as content or fill the disk.
//
// Loading the index: records up to the first damage (a torn last record, as a power loss
// leaves, or any unreadable record) are kept, the rest is cut away by the rewrite, and caching
// goes on with what was kept; the damage, what was kept and the files removed are told through
// OnReport. Only an index that cannot be opened or read at all turns caching off (both bits).
//
// The size limit: an object that takes the total past MaxSize is removed again at once. Without
// AutoPurge additions stop. With it a purge runs; when what it removes leaves no room for that
// object, additions stop, OnPurgeLeftCacheFull tells the consoles (notification 131) and
// OnReport says so once (when additions go off): a full cache never writes and deletes every new
// object on every fetch.
//
// Lifetimes: a response's explicit lifetime (Cache-Control s-maxage, else max-age, else Expires
// against Date; less its Age) bounds the check days: past its end the entry is revalidated
// (If-Modified-Since) however recently it was hit. A response already expired when it arrives
// (max-age=0, an Expires in the past or not a date) is stored and revalidated on every use: a 304
// then answers from the copy, so it still saves the transfer. A 304 that brings a new lifetime
// renews the entry's; one without keeps the old end, so the entry stays checked on every use.
//
// A live cache (one whose index is open) keeps its own totals when it loads a settings archive: a
// console's mirror may be stale. A new CacheDirectory takes effect at the next index load (engine
// restart), so one cache never spreads over two folders. What may be cached and what a purge
// removes are decided by the settings' CacheFilter and PurgeFilter collections, through the hooks
// CacheFilterMatches / PurgeFilterMatches (which a test may replace to watch the walk).
//
// ---- How a WWW session uses the cache ----------------------------------------------------------
//
//   CCacheRequest req{...};                        // scheme, method, key, headers of the request
//   CCacheDecision d = cache.Decide(req);           // never blocks behind a purge
//   switch (d.state) {
//     case kCacheServe:    serve d.entry (below); if that fails, download with state 0
//     case kCacheNotModified: answer "304 Use cached copy"
//     case kCacheRevalidate: add "If-Modified-Since: <d.ifModifiedSince>" and forward;
//                          a 304 from the origin then means Refresh(d.entry, its lifetime) and
//                          serve d.entry
//     case kCachePassIMS:  forward the browser's If-Modified-Since; a 304 means answer 304
//     case kCacheDownload: forward (drop the browser's If-Modified-Since when d.dropBrowserIMS)
//   }
//   // Response header parsed: store only when d.store and the response allows it.
//   if (d.store && (v = CWWWCache::CheckResponse(status, headers, cache.Now())).storable)
//     writer = cache.BeginStore(req.key);          // null: not storing
//   writer->Write(bytes, n) for every relayed body chunk (false: storing stopped, relay on);
//   writer->Commit(info)  at the body's certain end (info.expires = v.expires): its Content-Length
//                         reached, or without one the origin's orderly close (FIN); commits only
//                         a body of the right length;
//   writer->Abort()       on any failure, a reset or a failed read of the origin included (the
//                         destructor aborts an uncommitted writer too).
//
//   Serving: CCachedCopy copy; if (cache.OpenCachedCopy(d.entry, &copy)) send a header built from
//   copy.contentType / copy.size / copy.lastModified, then copy.fd's bytes. A missing or
//   wrong-sized file drops the entry and returns false (download again).
//
// Entries handed out (d.entry, FindEntry) are shared: one stays valid for its holder after a purge
// or a newer download took it out of the map. Their fields change under the map's lock, so a
// session reads them only through the cache (Decide, OpenCachedCopy), never directly.
// A download takes the older copy of its URL out of the map (and deletes its file) when it begins
// (BeginStore); the URL reads as absent until the download commits.
// Writers hold a reference to their cache: sessions end before the engine calls Shutdown.
//
// Engine duties: Load(kCacheKey) with the rest of the configuration, set the hooks, LoadIndex()
// at start (after the service logs are open, so OnReport reaches them, and before any session),
// Shutdown() at stop (after the sessions), StartPurgeThread() for request 132 and the scheduler,
// StartVerifyThread() for request 134, RemoveURL() for request 133, Serialize for requests
// 130/131 and notification 131, Save(kCacheKey) with the configuration. Hooks are set before
// LoadIndex and not changed while sessions run.
//
// Lock order: the entry map's lock, then the index lock, then the filter lists (through the
// hooks); the settings' own lock is a leaf. AppendToIndex takes the index lock alone, before the
// map's lock. Totals change only under the map's lock.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/lockable.h"
#include "engine/proxy/www/www_cache_settings.h"

class CTLDataObject;
class CWWWCache;

// Longest URL or content type accepted from the index; a longer length is damage.
inline constexpr size_t kCacheMaxIndexText = 65536;
// What follows the entry's name in the file name of a lifetime record.
inline constexpr const char* kCacheLifetimeSuffix = ".expires";

// What a purge criterion computes its variables from (the cache's totals and the time).
struct CCacheFieldContext {
  double totalSize = 0;
  double weightedTotal = 0;
  int64_t now = 0;
};

// One cached object: the index record.
class CCacheEntry : public CObject {
  TL_DECLARE_SERIAL(CCacheEntry)

 public:
  CCacheEntry() = default;

  // The index record. Loading refuses (CArchiveException) a URL or content type longer than
  // kCacheMaxIndexText; the file name is read as it stands (the index load validates it).
  void Serialize(CArchive& ar) override;
  // The entry's index form: its lifetime record when it has a lifetime, then its record.
  void StoreIndexForm(CArchive& ar) const;
  // A record read is a lifetime record: the entry name it belongs to, else "".
  CString LifetimeRecordOwner() const;
  const std::string* GetKeyName() const override { return &URL; }

  // Purge-criterion variables 0-8; any other code leaves value unchanged.
  void GetField(uint32_t code, CTLDataObject& value, const CCacheFieldContext& ctx) const;
  // The names of the variables, "" beyond 8.
  static const char* GetFieldName(uint32_t code);

  CString URL;
  CString FileName;
  int64_t LastHit = 0;       // seconds since 1970 UTC
  int64_t LastModified = 0;  // the same
  CString ContentType;
  uint32_t Size = 0;
  uint32_t Hits = 0;
  // The end of the lifetime the origin gave (seconds since 1970 UTC), when it gave one: from then
  // on the entry is revalidated whatever the check days say. Kept in the index's lifetime record.
  std::optional<int64_t> Expires;
};

// One body file. Owners call Close; the destructor closes a file left open all the same, so no
// descriptor outlives its owner.
class CCacheFile {
 public:
  CCacheFile() = default;
  explicit CCacheFile(CString path) : m_path(std::move(path)) {}
  ~CCacheFile() { Close(); }
  CCacheFile(const CCacheFile&) = delete;
  CCacheFile& operator=(const CCacheFile&) = delete;

  const CString& GetPath() const { return m_path; }
  bool IsOpen() const { return m_fd >= 0; }
  // Creates (replacing) the file for writing, mode 0600, close-on-exec.
  bool Create();
  // True only when every byte was written.
  bool Write(const void* data, size_t count);
  // True at once when nothing is open; otherwise the close's result.
  bool Close();
  // Removes the file; a file already gone is fine.
  void Delete();
  // Size of the open file (0 when none is open).
  uint64_t GetSize() const;
  // Flushes written data to the disk.
  bool Sync();

 private:
  CString m_path;
  int m_fd = -1;
};

// What the cache needs to know of a request.
struct CCacheRequest {
  CString scheme;         // "HTTP" (any case) for a cacheable request
  CString method;         // "GET" (any case)
  CString key;            // host[:port]path, as the session builds it
  bool hasQuery = false;  // a query string is never cached
  bool hasAuthorization = false;  // a non-empty Authorization header
  bool noCache = false;           // "Pragma: no-cache" (or Cache-Control: no-cache) from the browser
  bool hasIfModifiedSince = false;
  std::optional<int64_t> ifModifiedSince;  // the browser's date when it parsed
  // The request's variables and what the what-to-cache filters may ask besides (user database,
  // dialer). Without a request to ask, a what-to-cache filter matches nothing.
  RequestFilterContext filters;
};

enum : uint32_t {
  kCacheDownload = 0,
  kCacheServe = 2,
  kCacheNotModified = 3,
  kCacheRevalidate = 4,
  kCachePassIMS = 5,
};

struct CCacheDecision {
  uint32_t state = kCacheDownload;
  bool store = false;            // the response may be stored
  bool dropBrowserIMS = false;   // remove the browser's If-Modified-Since before forwarding
  CString ifModifiedSince;       // state 4: the date to send as If-Modified-Since
  std::shared_ptr<CCacheEntry> entry;  // states 2-5 when an entry was found
};

// Whether a response may be stored, and if not why (for the log).
struct CCacheVerdict {
  bool storable = false;
  const char* reason = "";
  std::optional<uint64_t> contentLength;  // the valid Content-Length, when sent
  std::optional<int64_t> expires;         // the end of its explicit lifetime, when it has one
};

// How a finished download is committed.
struct CCacheCommit {
  std::optional<uint64_t> contentLength;  // the response's Content-Length
  std::optional<int64_t> lastModified;    // its Last-Modified, when it parsed
  CString contentType;                    // its Content-Type, else the MIME type of the path
  // The browser closed: a body without a Content-Length cannot be known complete.
  bool requireLength = false;
  std::optional<int64_t> expires;  // the verdict's end of the lifetime
};

// A download being written to the cache.
class CCacheWriter {
 public:
  ~CCacheWriter();
  CCacheWriter(const CCacheWriter&) = delete;
  CCacheWriter& operator=(const CCacheWriter&) = delete;

  // Appends body bytes. False once storing has stopped (a write failure, or a body past the size
  // limit): the file is gone then and the caller simply relays on.
  bool Write(const void* data, size_t count);
  // Adds the entry when the body is whole: its length equals the Content-Length (when one was
  // sent; required with requireLength). Otherwise discards. True when committed.
  bool Commit(const CCacheCommit& info);
  // Deletes the file and forgets the entry.
  void Abort();
  bool IsActive() const { return m_active; }
  uint64_t BytesWritten() const { return m_written; }
  // The system error that stopped storing (EFBIG for a body past the size limit); 0 before.
  int GetError() const { return m_error; }
  const std::shared_ptr<CCacheEntry>& Entry() const { return m_entry; }

 private:
  friend class CWWWCache;
  CCacheWriter(CWWWCache& cache, std::shared_ptr<CCacheEntry> entry, CString path, uint64_t limit);

  CWWWCache& m_cache;
  std::shared_ptr<CCacheEntry> m_entry;
  CCacheFile m_file;
  uint64_t m_limit;
  uint64_t m_written = 0;
  int m_error = 0;
  bool m_active = false;
};

// A stored copy opened for sending.
class CCachedCopy {
 public:
  CCachedCopy() = default;
  ~CCachedCopy();
  CCachedCopy(CCachedCopy&& o) noexcept;
  CCachedCopy& operator=(CCachedCopy&& o) noexcept;

  int fd = -1;  // read-only, close-on-exec; closed by the destructor
  uint64_t size = 0;
  CString contentType;
  int64_t lastModified = 0;
};

struct CCacheStats {
  size_t entries = 0;
  double totalSize = 0;
  double weightedTotal = 0;
  uint64_t hitsServed = 0;   // copies sent since start
  uint64_t stored = 0;       // objects committed since start
  uint64_t discarded = 0;    // downloads not committed since start
};

class CWWWCache : public CWWWCacheSettings {
 public:
  CWWWCache();
  ~CWWWCache() override;

  // The folder the live index uses (the setting as it stood at LoadIndex), else the setting.
  CString GetActiveDirectory() const;
  // The entries held now, and a walk over them under the map's lock.
  size_t GetCount() const { return m_entries.GetCount(); }
  template <class Fn>
  void ForEach(Fn&& fn) const {
    m_entries.ForEach(std::forward<Fn>(fn));
  }

  // ---- Hooks ---------------------------------------------------------------------------------
  // What-to-cache filter (SpecifyWhatToCache): true when the request may be cached. By default
  // some filter of CacheFilter matches the request; unset with SpecifyWhatToCache on: nothing is
  // cached.
  std::function<bool(const CCacheRequest&)> CacheFilterMatches;
  // Purge filter: true when a purge removes the entry. By default some filter of PurgeFilter
  // matches the entry; unset: a purge removes nothing.
  std::function<bool(const CCacheEntry&, const CCacheFieldContext&)> PurgeFilterMatches;
  // Called (outside the locks) when a purge leaves the cache over its limit: the engine sends
  // notification 131 with these settings.
  std::function<void()> OnPurgeLeftCacheFull;
  // A line the operator must read (a damaged or unreadable index, removed leftovers, a cache that
  // has stopped storing), called outside the locks: the engine writes it to the event log and to
  // the web proxy services' logs. Unset: the event log alone.
  std::function<void(const CString&)> OnReport;
  // The clock (seconds since 1970 UTC); tests replace it.
  std::function<int64_t()> Now;

  // ---- Entries -------------------------------------------------------------------------------
  bool IsCacheable(const CCacheRequest& req) const;
  std::shared_ptr<CCacheEntry> FindEntry(const CString& key) const;
  bool HasEntry(const CString& key) const { return FindEntry(key) != nullptr; }
  // A new entry with a fresh file name, not in the map. An entry held for the key leaves the map
  // (its file deleted) and the new one carries on its content type, size and hit count. Null when
  // no name is free.
  std::shared_ptr<CCacheEntry> NewEntry(const CString& key);
  // The map takes the entry over (replacing and deleting any other entry of its URL), then the
  // size limit is applied.
  void AddEntry(const std::shared_ptr<CCacheEntry>& entry);
  void RemoveEntry(const CString& key, bool recheck);
  // Request 133: "http://" (any case) in front is dropped.
  void RemoveURL(std::string_view text);
  // Gives a name handed out by NewEntry back (a download that was not committed).
  void ReleaseName(const CString& fileName);

  // ---- Sessions ------------------------------------------------------------------------------
  CCacheDecision Decide(const CCacheRequest& req);
  // now is the time the response arrived (for its lifetime); without it the system clock.
  static CCacheVerdict CheckResponse(uint32_t status, const std::vector<std::pair<CString, CString>>& headers,
                                     int64_t now);
  static CCacheVerdict CheckResponse(uint32_t status,
                                     const std::vector<std::pair<CString, CString>>& headers);
  // The end of a response's explicit lifetime, received at now: s-maxage (the cache is shared),
  // else max-age, else Expires less Date (an Expires that is no date has passed); less the age it
  // had (Age, or its Date behind now). None without any of them. A malformed or repeated
  // directive counts at its smallest, an unreadable one as 0: doubt makes a response stale, never
  // fresher.
  static std::optional<int64_t> ExplicitExpiry(const std::vector<std::pair<CString, CString>>& headers, int64_t now);
  // After the origin confirmed the entry with a 304: a lifetime the 304 brought becomes the
  // entry's. Without one the old end stays, so an expired entry is checked again next time.
  void Refresh(const std::shared_ptr<CCacheEntry>& entry, std::optional<int64_t> expires);
  // Null when additions are off or no entry could be made.
  std::unique_ptr<CCacheWriter> BeginStore(const CString& key);
  // Opens the entry's file, checks its size and counts the hit. False (entry dropped when its
  // file is missing or of the wrong size) when it cannot be served.
  bool OpenCachedCopy(const std::shared_ptr<CCacheEntry>& entry, CCachedCopy* out);
  // "%a, %d %b %Y %H:%M:%S GMT" in the C locale.
  static CString FormatHttpDate(int64_t t);

  // ---- Index and workers ---------------------------------------------------------------------
  void LoadIndex();
  void WriteIndex();
  void AppendToIndex(const CCacheEntry& entry);
  void Purge();
  void RemoveOrphanEntries();
  // Run Purge / RemoveOrphanEntries on a low-priority worker and return at once; false when a
  // worker is running already.
  bool StartPurgeThread();
  bool StartVerifyThread();
  bool IsBusy() const { return m_busy.load(); }
  // Waits for a running worker.
  void WaitForWorker();
  void Shutdown();

  // ---- Statistics ----------------------------------------------------------------------------
  CCacheStats GetStats() const;
  // Live while the index is open; before that, what the last settings archive carried.
  double GetTotalSize() const override;
  double GetWeightedTotal() const override;
  CCacheFieldContext FieldContext() const;

  // Base-36 successor over [0-9A-Z]{8}; "ZZZZZZZZ" is never returned. A character outside the
  // digits counts as "0".
  static CString NextName(const CString& counter);
  static bool IsValidFileName(std::string_view name);

 private:
  friend class CCacheWriter;
  CString FilePath(const CString& fileName) const;
  bool OverLimit(double extra = 0) const;  // map lock held; extra: bytes about to be added
  // The index load with both locks held; lines for OnReport go to reports.
  void LoadIndexLocked(std::vector<CString>& reports);
  // Removes the *.tlc files of the active folder whose names are not in keep; how many went.
  size_t RemoveUnnamedFiles(const std::set<CString>& keep) const;
  void Report(const CString& text);
  // Takes the entry out and deletes its file (under the map's lock, so its name cannot be handed
  // out again before the file is gone).
  void RemoveLocked(const CString& key, bool recheck);
  void UnlinkFile(const CString& fileName) const;
  bool WriteIndexLocked();
  bool StartWorker(void (CWWWCache::*job)());
  void CountDiscard();

  CLockableMap m_entries;     // URL -> CCacheEntry; its lock guards the fields below too
  CString m_activeDirectory;  // set by LoadIndex
  double m_totalSize = 0;
  double m_weightedTotal = 0;
  // Bytes of the largest object removed again for the limit since the last purge: the purge must
  // leave room for it, or additions stop (a cache that only had room again after the object was
  // removed would store and remove it on every fetch).
  double m_roomWanted = 0;
  std::atomic<bool> m_busy{false};
  CString m_nameCounter = "00000000";
  std::set<CString> m_namesInUse;  // names of mapped entries and of downloads in progress
  std::recursive_mutex m_indexLock;
  int m_indexFd = -1;
  std::atomic<uint64_t> m_hitsServed{0};
  std::atomic<uint64_t> m_stored{0};
  std::atomic<uint64_t> m_discarded{0};

  std::mutex m_workerLock;
  std::thread m_worker;
  std::atomic<bool> m_workerRunning{false};
};
