// The cache at run time: body files, the index file, adding and removing entries under the size
// limit, the session-facing decisions, purge and orphan removal, and the workers that run them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>

#include "engine/config/util.h"
#include "engine/core/nt_service.h"
#include "engine/proxy/www/www_cache.h"
#include "platform/eventlog.h"

namespace {

constexpr double kMegabyte = 1048576.0;
// An index larger than this is not ours to read whole (a 100 MB cache needs well under 1 MiB).
constexpr off_t kMaxIndexBytes = 256 * 1024 * 1024;
// Names tried before NewEntry gives up (all taken means a cache of 2.8 trillion files).
constexpr int kNameTries = 4096;

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (w == 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Creates the folder and its missing parents; an existing one is fine.
void MakeDirs(const CString& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      const CString part = dir.substr(0, pos);
      if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
    }
  }
}

}  // namespace

// ---- CCacheFile -------------------------------------------------------------------------------

bool CCacheFile::Create() {
  Close();
  m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
  if (m_fd >= 0) ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return m_fd >= 0;
}

bool CCacheFile::Write(const void* data, size_t count) {
  return m_fd >= 0 && WriteAll(m_fd, static_cast<const uint8_t*>(data), count);
}

bool CCacheFile::Close() {
  if (m_fd < 0) return true;
  const int rc = ::close(m_fd);
  m_fd = -1;
  return rc == 0;
}

void CCacheFile::Delete() {
  if (!m_path.empty()) ::unlink(m_path.c_str());
}

uint64_t CCacheFile::GetSize() const {
  struct stat st {};
  if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool CCacheFile::Sync() { return m_fd >= 0 && ::fdatasync(m_fd) == 0; }

// ---- CCacheWriter -----------------------------------------------------------------------------

CCacheWriter::CCacheWriter(CWWWCache& cache, std::shared_ptr<CCacheEntry> entry, CString path, uint64_t limit)
    : m_cache(cache), m_entry(std::move(entry)), m_file(std::move(path)), m_limit(limit) {}

CCacheWriter::~CCacheWriter() { Abort(); }

bool CCacheWriter::Write(const void* data, size_t count) {
  if (!m_active) return false;
  // Stop as soon as the object cannot be kept: no point filling the disk with it.
  if (count > m_limit - m_written) {
    m_error = EFBIG;
    Abort();
    return false;
  }
  errno = 0;
  if (!m_file.Write(data, count)) {
    m_error = errno != 0 ? errno : EIO;
    Abort();
    return false;
  }
  m_written += count;
  return true;
}

bool CCacheWriter::Commit(const CCacheCommit& info) {
  if (!m_active) return false;
  const bool whole = info.contentLength ? *info.contentLength == m_written : !info.requireLength;
  // The body must be on the disk before its index record is.
  if (!whole || !m_file.Sync() || !m_file.Close()) {
    Abort();
    return false;
  }
  m_entry->LastModified = info.lastModified ? *info.lastModified : m_cache.Now();
  m_entry->Size = static_cast<uint32_t>(m_written);  // m_limit keeps it within 32 bits
  m_entry->ContentType = info.contentType.size() > kCacheMaxIndexText ? CString() : info.contentType;
  m_entry->Expires = info.expires;
  m_active = false;
  m_cache.m_stored++;
  m_cache.AddEntry(m_entry);
  return true;
}

void CCacheWriter::Abort() {
  if (!m_active) return;
  m_active = false;
  m_file.Close();
  m_file.Delete();
  m_cache.ReleaseName(m_entry->FileName);
  m_cache.CountDiscard();
}

// ---- CCachedCopy ------------------------------------------------------------------------------

CCachedCopy::~CCachedCopy() {
  if (fd >= 0) ::close(fd);
}

CCachedCopy::CCachedCopy(CCachedCopy&& o) noexcept
    : fd(std::exchange(o.fd, -1)), size(o.size), contentType(std::move(o.contentType)), lastModified(o.lastModified) {}

CCachedCopy& CCachedCopy::operator=(CCachedCopy&& o) noexcept {
  if (this != &o) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(o.fd, -1);
    size = o.size;
    contentType = std::move(o.contentType);
    lastModified = o.lastModified;
  }
  return *this;
}

// ---- Entries ----------------------------------------------------------------------------------

CWWWCache::~CWWWCache() {
  WaitForWorker();
  std::lock_guard<std::recursive_mutex> il(m_indexLock);
  if (m_indexFd >= 0) ::close(m_indexFd);
}

CString CWWWCache::FilePath(const CString& fileName) const {
  return GetActiveDirectory() + "/" + fileName + ".tlc";
}

void CWWWCache::UnlinkFile(const CString& fileName) const {
  // Only our own names ever reach the file system.
  if (IsValidFileName(fileName)) ::unlink(FilePath(fileName).c_str());
}

bool CWWWCache::OverLimit(double extra) const {
  return LimitCacheSize.load() != 0 && (m_totalSize + extra) / kMegabyte > static_cast<double>(MaxSize.load());
}

void CWWWCache::Report(const CString& text) {
  try {
    if (OnReport)
      OnReport(text);
    else
      platform::eventlog::Report("TrellisEngine", platform::eventlog::kWarning, EVMSG_DEBUG, text);
  } catch (...) {
    // Telling the operator must never undo the work it reports on; the cache goes on either way.
  }
}

void CWWWCache::CountDiscard() { m_discarded++; }

std::shared_ptr<CCacheEntry> CWWWCache::FindEntry(const CString& key) const { return m_entries.LookupAs<CCacheEntry>(key); }

std::shared_ptr<CCacheEntry> CWWWCache::NewEntry(const CString& key) {
  try {
    CLockGuard guard(m_entries);
    CString name = m_nameCounter;
    bool found = false;
    for (int i = 0; i < kNameTries && !found; ++i) {
      name = NextName(name);
      found = m_namesInUse.count(name) == 0;
    }
    if (!found) return nullptr;
    m_nameCounter = name;
    auto entry = std::make_shared<CCacheEntry>();
    entry->URL = key;
    if (auto old = FindEntry(key)) {
      // A new download of a URL replaces its stored copy from the start: the old entry leaves the
      // map and its file goes, so the URL reads as absent until the download is committed. The
      // new entry carries on the old one's content type, size and hit count.
      entry->ContentType = old->ContentType;
      entry->Size = old->Size;
      entry->Hits = old->Hits;
      RemoveLocked(key, false);
    }
    entry->FileName = name;
    entry->LastHit = entry->LastModified = Now();
    m_namesInUse.insert(name);
    return entry;
  } catch (...) {
    return nullptr;
  }
}

void CWWWCache::ReleaseName(const CString& fileName) {
  // NewEntry never hands out a name a mapped entry holds, so an uncommitted download's name is
  // its own.
  CLockGuard guard(m_entries);
  m_namesInUse.erase(fileName);
}

void CWWWCache::AddEntry(const std::shared_ptr<CCacheEntry>& entry) {
  if (!entry || !IsValidFileName(entry->FileName)) return;
  AppendToIndex(*entry);
  bool startPurge = false;
  bool stopped = false;
  {
    CLockGuard guard(m_entries);
    if (auto old = FindEntry(entry->URL); old && old != entry) {
      // Another download of the same URL finished first: this one replaces it.
      if (old->FileName != entry->FileName) {
        RemoveLocked(old->URL, false);
      } else {
        m_entries.RemoveKey(old->URL);
        m_totalSize -= old->Size;
        m_weightedTotal -= static_cast<double>(old->Hits) * old->Size;
      }
    }
    m_entries.SetAt(entry->URL, entry);
    m_namesInUse.insert(entry->FileName);
    m_totalSize += entry->Size;
    // The weighted total stays the sum of hit count times size over the mapped entries (here and
    // at every hit), as every removal subtracts the entry's current product: left to the index
    // rewrites alone it would fall below that sum, and below zero, once an entry added or hit since
    // the last rewrite is removed, and the efficiency variable would then go negative.
    m_weightedTotal += static_cast<double>(entry->Hits) * entry->Size;
    if (OverLimit()) {
      const double size = entry->Size;
      RemoveLocked(entry->URL, true);
      if (AutoPurge.load() != 0) {
        m_roomWanted = std::max(m_roomWanted, size);
        startPurge = true;
      } else {
        stopped = (CacheOptions.fetch_and(~kCacheEnableAdditions) & kCacheEnableAdditions) != 0;
      }
    }
  }
  if (startPurge) StartPurgeThread();
  if (stopped)
    Report(
        FormatString("Web cache full (limit %u MB): storing stopped until the cache is purged or additions are "
                     "turned on again",
                     MaxSize.load()));
}

void CWWWCache::RemoveLocked(const CString& key, bool recheck) {
  auto entry = FindEntry(key);
  if (!entry) return;
  m_entries.RemoveKey(key);
  UnlinkFile(entry->FileName);
  m_namesInUse.erase(entry->FileName);
  m_totalSize = std::max(0.0, m_totalSize - entry->Size);
  m_weightedTotal = std::max(0.0, m_weightedTotal - static_cast<double>(entry->Hits) * entry->Size);
  // Only a cache that answers from no stored copy (lookups off) turns additions back on by itself
  // once it is under its limit; with lookups on, additions the limit stopped stay off until the
  // console turns them on again.
  if (recheck && (CacheOptions.load() & kCacheEnableLookups) == 0 &&
      static_cast<double>(MaxSize.load()) > m_totalSize / kMegabyte)
    CacheOptions |= kCacheEnableAdditions;
}

void CWWWCache::RemoveEntry(const CString& key, bool recheck) {
  CLockGuard guard(m_entries);
  RemoveLocked(key, recheck);
}

void CWWWCache::RemoveURL(std::string_view text) {
  if (text.size() >= 7 && ::strncasecmp(text.data(), "http://", 7) == 0) text.remove_prefix(7);
  RemoveEntry(CString(text), true);
}

// ---- Sessions ---------------------------------------------------------------------------------

CCacheDecision CWWWCache::Decide(const CCacheRequest& req) {
  CCacheDecision d;
  if (req.hasQuery || !IsCacheable(req)) return d;
  // Both bits are clear while a purge or an orphan removal holds the map: go round the cache
  // rather than wait for it.
  const uint32_t options = CacheOptions.load();
  if ((options & (kCacheEnableAdditions | kCacheEnableLookups)) == 0) return d;
  d.store = (options & kCacheEnableAdditions) != 0;
  if (req.noCache) {
    d.dropBrowserIMS = true;
    return d;
  }
  const uint32_t passOrDownload = req.hasIfModifiedSince ? kCachePassIMS : kCacheDownload;
  if ((options & kCacheEnableLookups) == 0) {
    d.state = passOrDownload;
    return d;
  }
  CLockGuard guard(m_entries);
  auto entry = FindEntry(req.key);
  if (!entry) {
    d.state = passOrDownload;
    return d;
  }
  d.entry = entry;
  const int64_t now = Now();
  const bool isVolatile = ::strcasecmp(entry->ContentType.c_str(), "text/html") == 0;
  const int64_t days = isVolatile ? DaysBeforeCheckVolatile.load() : DaysBeforeCheckNonVolatile.load();
  // The origin's own lifetime bounds the days: once it has passed, only the origin can say the
  // copy is still good, however often it was hit meanwhile.
  const bool fresh = entry->LastHit > now - days * 86400 && (!entry->Expires || now < *entry->Expires);
  const auto& ims = req.ifModifiedSince;
  const bool browserNewer = req.hasIfModifiedSince && ims && *ims > entry->LastModified;
  const bool sameDate = req.hasIfModifiedSince && ims && *ims == entry->LastModified;
  if (browserNewer) {
    d.state = kCachePassIMS;
  } else if (fresh) {
    d.state = sameDate ? kCacheNotModified : kCacheServe;
  } else if (sameDate) {
    d.state = kCachePassIMS;
  } else {
    d.state = kCacheRevalidate;
    d.ifModifiedSince = FormatHttpDate(entry->LastModified);
  }
  if (!browserNewer) entry->LastHit = now;
  return d;
}

std::unique_ptr<CCacheWriter> CWWWCache::BeginStore(const CString& key) {
  if ((CacheOptions.load() & kCacheEnableAdditions) == 0 || key.empty() || key.size() > kCacheMaxIndexText)
    return nullptr;
  auto entry = NewEntry(key);
  if (!entry) return nullptr;
  uint64_t limit = std::numeric_limits<uint32_t>::max();
  if (LimitCacheSize.load() != 0) limit = std::min<uint64_t>(limit, static_cast<uint64_t>(MaxSize.load()) * 1048576u);
  std::unique_ptr<CCacheWriter> w(new CCacheWriter(*this, entry, FilePath(entry->FileName), limit));
  if (!w->m_file.Create()) {
    ReleaseName(entry->FileName);
    return nullptr;
  }
  w->m_active = true;
  return w;
}

void CWWWCache::Refresh(const std::shared_ptr<CCacheEntry>& entry, std::optional<int64_t> expires) {
  if (!entry || !expires) return;
  CLockGuard guard(m_entries);
  // Kept in memory until the next rewrite: a crash loses only the renewal, and the entry is then
  // checked once more than needed, never less.
  if (FindEntry(entry->URL) == entry) entry->Expires = expires;
}

bool CWWWCache::OpenCachedCopy(const std::shared_ptr<CCacheEntry>& entry, CCachedCopy* out) {
  if (!entry || !out) return false;
  CString name;
  uint32_t size = 0;
  {
    CLockGuard guard(m_entries);
    if (FindEntry(entry->URL) != entry) return false;  // removed or replaced meanwhile
    name = entry->FileName;
    size = entry->Size;
  }
  const int fd = ::open(FilePath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  struct stat st {};
  const bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == size;
  CLockGuard guard(m_entries);
  const bool current = FindEntry(entry->URL) == entry;
  if (!ok || !current) {
    if (fd >= 0) ::close(fd);
    // A body that is gone or not whole is never sent; the next request downloads it again.
    if (!ok && current) RemoveLocked(entry->URL, true);
    return false;
  }
  if (entry->Hits < std::numeric_limits<uint32_t>::max()) {
    entry->Hits++;
    m_weightedTotal += size;
  }
  entry->LastHit = Now();
  m_hitsServed++;
  CCachedCopy copy;
  copy.fd = fd;
  copy.size = size;
  copy.contentType = entry->ContentType;
  copy.lastModified = entry->LastModified;
  *out = std::move(copy);
  return true;
}

// ---- Index ------------------------------------------------------------------------------------

void CWWWCache::LoadIndex() {
  std::vector<CString> reports;
  {
    CLockGuard guard(m_entries);
    std::lock_guard<std::recursive_mutex> il(m_indexLock);
    try {
      LoadIndexLocked(reports);
    } catch (...) {
      CacheOptions &= ~(kCacheEnableAdditions | kCacheEnableLookups);
      reports.push_back("Web cache index could not be loaded - caching is off");
    }
  }
  for (const auto& line : reports) Report(line);
}

void CWWWCache::LoadIndexLocked(std::vector<CString>& reports) {
  constexpr uint32_t kBoth = kCacheEnableAdditions | kCacheEnableLookups;
  if (m_indexFd >= 0) ::close(m_indexFd);
  m_indexFd = -1;
  m_activeDirectory.clear();
  m_activeDirectory = GetActiveDirectory();
  MakeDirs(m_activeDirectory);
  const CString path = m_activeDirectory + "/cache.idx";
  // Without an index nothing stored could be found again or kept: caching is off, and said so.
  auto unusable = [&](const char* what, int err) {
    CacheOptions &= ~kBoth;
    reports.push_back(
        FormatString("Web cache index %s %s (%s) - caching is off", path.c_str(), what, std::strerror(err)));
  };
  m_indexFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
  if (m_indexFd < 0) return unusable("cannot be opened", errno);
  ::posix_fadvise(m_indexFd, 0, 0, POSIX_FADV_SEQUENTIAL);
  struct stat st {};
  if (::fstat(m_indexFd, &st) != 0) return unusable("cannot be read", errno);
  std::vector<uint8_t> data(static_cast<size_t>(std::min(st.st_size, kMaxIndexBytes)));
  size_t got = 0;
  while (got < data.size()) {
    const ssize_t r = ::pread(m_indexFd, data.data() + got, data.size() - got, static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return unusable("cannot be read", errno);
    if (r == 0) break;  // shrank under us: read what is there
    got += static_cast<size_t>(r);
  }
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  // Where the index stops being readable; fileSize when it is whole.
  uint64_t damageAt = st.st_size > kMaxIndexBytes ? got : fileSize;

  m_entries.RemoveAll();
  m_namesInUse.clear();
  m_nameCounter = "00000000";
  m_totalSize = 0;
  m_weightedTotal = 0;
  m_roomWanted = 0;
  std::map<CString, CString> nameOwner;  // file name -> URL of the entry holding it
  size_t unusableRecords = 0;
  std::optional<std::pair<CString, int64_t>> lifetime;  // the lifetime record just read
  CArchive ar(data.data(), got);
  while (ar.BytesLeft() > 0) {
    const size_t recordStart = got - ar.BytesLeft();
    auto entry = std::make_shared<CCacheEntry>();
    try {
      entry->Serialize(ar);
    } catch (const CArchiveException&) {
      damageAt = recordStart;
      break;
    }
    const CString owner = entry->LifetimeRecordOwner();
    if (!owner.empty() && IsValidFileName(owner)) {
      lifetime.emplace(owner, entry->LastHit);
      continue;
    }
    // A lifetime belongs to the record right after it; anything between breaks the pair.
    const auto expires =
        lifetime && lifetime->first == entry->FileName ? std::optional(lifetime->second) : std::nullopt;
    lifetime.reset();
    // A record whose file is missing or not whole stays: serving it finds that out and
    // downloads again (OpenCachedCopy), and an orphan removal drops it.
    if (!IsValidFileName(entry->FileName) || entry->URL.empty()) {
      ++unusableRecords;
      continue;
    }
    entry->Expires = expires;
    if (auto it = nameOwner.find(entry->FileName); it != nameOwner.end()) {
      // Two records share a file: the later one has it.
      m_entries.RemoveKey(it->second);
      nameOwner.erase(it);
    }
    if (auto old = FindEntry(entry->URL)) {
      // A later record of a URL replaces the earlier one, whose file goes.
      nameOwner.erase(old->FileName);
      RemoveLocked(old->URL, true);
    }
    m_entries.SetAt(entry->URL, entry);
    nameOwner[entry->FileName] = entry->URL;
    if (m_nameCounter < entry->FileName) m_nameCounter = entry->FileName;
  }
  std::set<CString> kept;
  for (const auto& [name, url] : nameOwner) kept.insert(name);
  m_namesInUse = kept;
  // What was read before the damage is as good as it was: the rewrite below cuts the rest away
  // and caching goes on. Turning caching off here would stop it for the whole run (and with the
  // next configuration save for good) over a torn last record.
  if (damageAt < fileSize)
    reports.push_back(
        FormatString("Web cache index %s damaged at byte %llu of %llu: kept the %zu entries before "
                     "it, dropped the remaining %llu bytes - caching goes on",
                     path.c_str(), static_cast<unsigned long long>(damageAt), static_cast<unsigned long long>(fileSize),
                     m_entries.GetCount(), static_cast<unsigned long long>(fileSize - damageAt)));
  if (unusableRecords > 0)
    reports.push_back(FormatString("Web cache index %s: dropped %zu records without a URL or a valid file name",
                                   path.c_str(), unusableRecords));
  if (const size_t removed = RemoveUnnamedFiles(kept); removed > 0)
    reports.push_back(
        FormatString("Web cache %s: removed %zu body files that no index entry names (downloads "
                     "that never finished)",
                     m_activeDirectory.c_str(), removed));
  WriteIndexLocked();
}

size_t CWWWCache::RemoveUnnamedFiles(const std::set<CString>& keep) const {
  DIR* dir = ::opendir(m_activeDirectory.c_str());
  if (!dir) return 0;
  // Names are collected first: a walk may or may not see entries removed during it.
  std::vector<std::string> doomed;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name(e->d_name);
    constexpr std::string_view kExt = ".tlc";
    if (name.size() <= kExt.size() || name.substr(name.size() - kExt.size()) != kExt) continue;
    if (keep.count(CString(name.substr(0, name.size() - kExt.size()))) != 0) continue;
    struct stat st {};
    // Only plain files of this folder: never what a link points to, never a folder.
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    doomed.emplace_back(name);
  }
  size_t removed = 0;
  for (const auto& name : doomed)
    if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) ++removed;
  ::closedir(dir);
  return removed;
}

bool CWWWCache::WriteIndexLocked() {
  double total = 0, weighted = 0;
  CArchive ar(CArchive::store);
  for (const auto& [key, obj] : m_entries) {
    auto* e = static_cast<CCacheEntry*>(obj.get());
    e->StoreIndexForm(ar);
    total += e->Size;
    weighted += static_cast<double>(e->Hits) * e->Size;
  }
  m_totalSize = total;
  m_weightedTotal = weighted;
  if (m_indexFd < 0 || m_activeDirectory.empty()) return false;
  // Written aside and renamed over the index, so a crash leaves one whole index or the other.
  const CString path = m_activeDirectory + "/cache.idx";
  const CString temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return false;
  const auto& bytes = ar.Bytes();
  bool ok = WriteAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  const int nfd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
  if (nfd < 0) return false;
  ::close(m_indexFd);
  m_indexFd = nfd;
  return true;
}

void CWWWCache::WriteIndex() {
  CLockGuard guard(m_entries);
  std::lock_guard<std::recursive_mutex> il(m_indexLock);
  try {
    WriteIndexLocked();
  } catch (...) {
    // The old index stays whole (the rewrite goes through a rename); the next rewrite tries again.
  }
}

void CWWWCache::AppendToIndex(const CCacheEntry& entry) {
  std::lock_guard<std::recursive_mutex> il(m_indexLock);
  if (m_indexFd < 0) return;
  try {
    CArchive ar(CArchive::store);
    entry.StoreIndexForm(ar);
    struct stat st {};
    const bool sized = ::fstat(m_indexFd, &st) == 0;
    // One write of the whole record, synced: a stored object survives a crash.
    if (WriteAll(m_indexFd, ar.Bytes().data(), ar.Bytes().size())) {
      ::fdatasync(m_indexFd);
    } else if (sized) {
      // A part-written record (a full disk) would make every record appended after it unreadable
      // at the next load: cut it off. Should even that fail, the next rewrite replaces the file.
      if (::ftruncate(m_indexFd, st.st_size) != 0) return;
    }
  } catch (...) {
    // The entry reaches the index at the next rewrite.
  }
}

// ---- Purge, orphans, workers ------------------------------------------------------------------

void CWWWCache::Purge() {
  if (m_busy.exchange(true)) return;
  constexpr uint32_t kBoth = kCacheEnableAdditions | kCacheEnableLookups;
  bool notify = false;
  bool stopped = false;
  CString report;
  // Sessions see both bits clear before the map is locked, so none queues behind the pass.
  const uint32_t kept = CacheOptions.fetch_and(~kBoth);
  {
    CLockGuard guard(m_entries);
    std::lock_guard<std::recursive_mutex> il(m_indexLock);
    try {
      // The keys are collected first: removing while walking the map would break the walk.
      std::vector<CString> doomed;
      if (PurgeFilterMatches) {
        const CCacheFieldContext ctx = FieldContext();
        for (const auto& [key, obj] : m_entries)
          if (PurgeFilterMatches(*static_cast<const CCacheEntry*>(obj.get()), ctx)) doomed.push_back(key);
      }
      for (const auto& key : doomed) RemoveLocked(key, false);
      WriteIndexLocked();
    } catch (...) {
      // A purge that stops part-way leaves entries and files consistent; additions come back below.
    }
    CacheOptions = kept;
    // Over the limit counts the object whose store started this purge and was removed again: a
    // purge that makes no room for it must stop additions, or every fetch would write the object
    // and remove it again.
    if (OverLimit(m_roomWanted)) {
      CacheOptions = kept & ~kCacheEnableAdditions;
      notify = true;
      stopped = (kept & kCacheEnableAdditions) != 0;
    }
    m_roomWanted = 0;
    if (stopped)
      report = FormatString(
          "Web cache full (limit %u MB, %.1f MB held): the purge made no room for new objects - "
          "storing stopped until the cache is purged or additions are turned on again",
          MaxSize.load(), m_totalSize / kMegabyte);
  }
  m_busy = false;
  if (stopped) Report(report);
  if (notify && OnPurgeLeftCacheFull) {
    try {
      OnPurgeLeftCacheFull();
    } catch (...) {
      // Telling the consoles is a courtesy; the purge itself is done.
    }
  }
}

void CWWWCache::RemoveOrphanEntries() {
  if (m_busy.exchange(true)) return;
  constexpr uint32_t kBoth = kCacheEnableAdditions | kCacheEnableLookups;
  // Sessions see both bits clear before the map is locked, so none queues behind the pass.
  const uint32_t kept = CacheOptions.fetch_and(~kBoth);
  {
    CLockGuard guard(m_entries);
    std::lock_guard<std::recursive_mutex> il(m_indexLock);
    try {
      std::vector<CString> orphans;
      for (const auto& [key, obj] : m_entries) {
        struct stat st {};
        if (::stat(FilePath(static_cast<const CCacheEntry*>(obj.get())->FileName).c_str(), &st) != 0)
          orphans.push_back(key);
      }
      for (const auto& key : orphans) {
        if (auto e = FindEntry(key)) m_namesInUse.erase(e->FileName);
        m_entries.RemoveKey(key);
      }
      WriteIndexLocked();
    } catch (...) {
      // What was removed stays removed; the rest waits for the next check.
    }
    CacheOptions = kept;
  }
  m_busy = false;
}

bool CWWWCache::StartWorker(void (CWWWCache::*job)()) {
  std::lock_guard<std::mutex> l(m_workerLock);
  if (m_workerRunning.load()) return false;
  if (m_worker.joinable()) m_worker.join();
  m_workerRunning = true;
  try {
    m_worker = std::thread([this, job] {
      // The lowest priority: a purge must never slow the sessions down.
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
      try {
        (this->*job)();
      } catch (...) {
        // The worker thread must end normally whatever its job threw.
      }
      m_workerRunning = false;
    });
  } catch (...) {
    m_workerRunning = false;
    return false;
  }
  return true;
}

bool CWWWCache::StartPurgeThread() { return StartWorker(&CWWWCache::Purge); }
bool CWWWCache::StartVerifyThread() { return StartWorker(&CWWWCache::RemoveOrphanEntries); }

void CWWWCache::WaitForWorker() {
  std::lock_guard<std::mutex> l(m_workerLock);
  if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id()) m_worker.join();
}

void CWWWCache::Shutdown() {
  WaitForWorker();
  CLockGuard guard(m_entries);
  std::lock_guard<std::recursive_mutex> il(m_indexLock);
  try {
    WriteIndexLocked();
  } catch (...) {
    // At stop the old index stays whole; entries appended since it was written are still in it.
  }
  m_entries.RemoveAll();
  m_namesInUse.clear();
  if (m_indexFd >= 0) ::close(m_indexFd);
  m_indexFd = -1;
  m_activeDirectory.clear();
}

// ---- Statistics -------------------------------------------------------------------------------

CCacheStats CWWWCache::GetStats() const {
  CLockGuard guard(m_entries);
  CCacheStats s;
  s.entries = m_entries.GetCount();
  s.totalSize = m_totalSize;
  s.weightedTotal = m_weightedTotal;
  s.hitsServed = m_hitsServed.load();
  s.stored = m_stored.load();
  s.discarded = m_discarded.load();
  return s;
}

double CWWWCache::GetTotalSize() const {
  {
    CLockGuard guard(m_entries);
    if (!m_activeDirectory.empty()) return m_totalSize;
  }
  return CWWWCacheSettings::GetTotalSize();
}

double CWWWCache::GetWeightedTotal() const {
  {
    CLockGuard guard(m_entries);
    if (!m_activeDirectory.empty()) return m_weightedTotal;
  }
  return CWWWCacheSettings::GetWeightedTotal();
}

CCacheFieldContext CWWWCache::FieldContext() const {
  CLockGuard guard(m_entries);
  return CCacheFieldContext{m_totalSize, m_weightedTotal, Now()};
}
