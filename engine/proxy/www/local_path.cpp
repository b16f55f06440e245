#include "engine/proxy/www/local_path.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "engine/config/util.h"

namespace {

// openat2 with RESOLVE_BENEATH; -1 with errno ENOSYS where the kernel has no openat2.
int OpenBeneath(int dirfd, const std::string& relative, int flags) {
#ifdef SYS_openat2
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, dirfd, relative.empty() ? "." : relative.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != EINTR) return static_cast<int>(fd);
  }
#else
  (void)dirfd;
  (void)relative;
  (void)flags;
  errno = ENOSYS;
  return -1;
#endif
}

// Component by component with O_NOFOLLOW: no symbolic link is followed at all.
int OpenNoLinks(int dirfd, const std::string& relative, int flags) {
  int cur = ::dup(dirfd);
  if (cur < 0) return -1;
  size_t pos = 0;
  while (pos <= relative.size()) {
    const size_t slash = relative.find('/', pos);
    const bool last = slash == std::string::npos;
    const std::string name = relative.substr(pos, last ? std::string::npos : slash - pos);
    const int f = last ? flags | O_NOFOLLOW : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int next = ::openat(cur, name.empty() ? "." : name.c_str(), f);
    int saved = errno;
    // A link where a folder should be is a link, not a missing folder.
    struct stat st {};
    if (next < 0 && saved == ENOTDIR && ::fstatat(cur, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
      saved = ELOOP;
    ::close(cur);
    if (next < 0) {
      errno = saved;
      return -1;
    }
    cur = next;
    if (last) break;
    pos = slash + 1;
  }
  return cur;
}

}  // namespace

LocalPathResult SplitLocalPath(std::string_view rawPath, std::vector<std::string>* segments) {
  segments->clear();
  std::string current;
  auto endSegment = [&]() -> bool {
    if (current == "..") return false;
    if (!current.empty() && current != ".") segments->push_back(current);
    current.clear();
    return true;
  };
  for (size_t i = 0; i < rawPath.size(); ++i) {
    char c = rawPath[i];
    if (c == '%') {
      // A "%" without two hex digits is no path a client meant.
      if (i + 2 >= rawPath.size()) return LocalPathResult::kRefused;
      const int h = HexDigitValue(rawPath[i + 1]);
      const int l = HexDigitValue(rawPath[i + 2]);
      if (h < 0 || l < 0) return LocalPathResult::kRefused;
      c = static_cast<char>(h * 16 + l);
      i += 2;
      // An encoded separator would be a boundary the raw path does not show.
      if (c == '/' || c == '\\') return LocalPathResult::kRefused;
    } else if (c == '/') {
      if (!endSegment()) return LocalPathResult::kRefused;
      continue;
    }
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '\\') return LocalPathResult::kRefused;
    current += c;
    if (current.size() > 255) return LocalPathResult::kRefused;
  }
  if (!endSegment()) return LocalPathResult::kRefused;
  return LocalPathResult::kOk;
}

std::string JoinSegments(const std::vector<std::string>& segments, size_t from, size_t to) {
  std::string out;
  for (size_t i = from; i < segments.size() && i < to; ++i) {
    if (!out.empty()) out += '/';
    out += segments[i];
  }
  return out;
}

namespace {

LocalPathResult Open(const CString& root, const std::string& relative, int flags, int* fd, bool beneath) {
  *fd = -1;
  if (root.empty()) return LocalPathResult::kRefused;
  const int rootfd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootfd < 0) return LocalPathResult::kMissing;
  flags |= O_CLOEXEC;
  int f = -1;
  if (beneath) f = OpenBeneath(rootfd, relative, flags);
  if (!beneath || (f < 0 && errno == ENOSYS)) f = OpenNoLinks(rootfd, relative, flags);
  const int saved = errno;
  ::close(rootfd);
  if (f < 0) return saved == EXDEV || saved == ELOOP ? LocalPathResult::kRefused : LocalPathResult::kMissing;
  *fd = f;
  return LocalPathResult::kOk;
}

}  // namespace

LocalPathResult OpenBelowRoot(const CString& root, const std::string& relative, int flags, int* fd) {
  return Open(root, relative, flags, fd, true);
}

LocalPathResult OpenBelowRootWithoutLinks(const CString& root, const std::string& relative, int flags, int* fd) {
  return Open(root, relative, flags, fd, false);
}
