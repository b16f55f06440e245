// Loads arbitrary bytes as the cache's index file, with a few body files present so that records
// naming them are taken. Nothing may crash, loop or read out of bounds; whatever loads must hold
// only entries named by our own file names, and its rewritten index must load to the same entries.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "engine/proxy/www/www_cache.h"

namespace {

const std::string& CacheDir() {
  static const std::string dir = [] {
    char templ[] = "/tmp/cacheindex_fuzz.XXXXXX";
    const char* d = ::mkdtemp(templ);
    if (!d) abort();
    return std::string(d);
  }();
  return dir;
}

// Bodies of 0 to 3 bytes under the first names, so valid-looking records find their files (a
// load deletes the files of replaced duplicates, so they are laid out afresh for every input).
void MakeBodies(const std::string& dir) {
  for (int i = 0; i < 4; ++i) {
    const std::string path = dir + "/0000000" + std::to_string(i + 1) + ".tlc";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, "abc", static_cast<size_t>(i)) != i) abort();
    ::close(fd);
  }
}

size_t LoadAndCheck(const std::string& dir) {
  CWWWCache cache;
  cache.SetCacheDirectory(dir);
  cache.LoadIndex();
  size_t n = 0;
  cache.ForEach([&](const CString&, const std::shared_ptr<CObject>& obj) {
    if (!CWWWCache::IsValidFileName(static_cast<const CCacheEntry*>(obj.get())->FileName)) abort();
    ++n;
  });
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = CacheDir();
  MakeBodies(dir);
  const std::string index = dir + "/cache.idx";
  const int fd = ::open(index.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) abort();
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  ::close(fd);
  const size_t first = LoadAndCheck(dir);
  // The first load rewrote the index from what it kept: a second load keeps exactly that.
  if (LoadAndCheck(dir) != first) abort();
  return 0;
}
