#include "engine/config/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <utility>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

namespace {

std::atomic<LogWriterFunction> g_writer{nullptr};

// The owner's name as one file-name component: nothing in it may lead out of the log folder or
// break the line of a directory listing.
CString SafeNamePart(const CString& name) {
  CString out = name;
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
  }
  return out;
}

// Logs and audit files name clients, users and every URL they asked for: they are for the owner
// and its group (the operators), never for every account of the machine.
constexpr mode_t kLogFileMode = 0640;
constexpr mode_t kLogFolderMode = 0750;

// Creates every missing level of dir. True when dir is a folder afterwards.
bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  for (size_t pos = dir.find('/', 1); ; pos = dir.find('/', pos + 1)) {
    std::string level = pos == std::string::npos ? dir : dir.substr(0, pos);
    if (!level.empty() && level.back() != '/' && mkdir(level.c_str(), kLogFolderMode) != 0 && errno != EEXIST) {
      return false;
    }
    if (pos == std::string::npos) break;
  }
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::shared_ptr<CLogFile> CLogFile::Open(const char* directoryValue, const char* defaultDirectory,
                                         const CString& ownerName) {
  CString dir = RegReadString("Settings", directoryValue, defaultDirectory ? defaultDirectory : "");
  if (dir.empty() && defaultDirectory) dir = defaultDirectory;
  if (dir.empty() || dir.find('\0') != CString::npos) return nullptr;
  // Settings carried over from the host system separate levels with "\\".
  BackslashesToSlashes(dir);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (!MakeDirectories(dir)) return nullptr;
  return OpenPath(dir + "/" + FileNameFor(ownerName, time(nullptr)));
}

std::shared_ptr<CLogFile> CLogFile::OpenPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  // O_APPEND: another owner (or an outside tool) appending to the same file never has its lines
  // overwritten, whatever each one's idea of the end was when it opened.
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, kLogFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  return std::shared_ptr<CLogFile>(new CLogFile(fd, path));
}

CString CLogFile::FileNameFor(const CString& ownerName, time_t day) {
  CString date = FormatDateTime(TimeToLocalDateTime(day), "%d%b%y");
  return SafeNamePart(ownerName) + "." + date + ".log";
}

CLogFile::~CLogFile() {
  if (m_fd >= 0) close(m_fd);
}

bool CLogFile::Write(std::string_view text) {
  if (m_fd < 0) return false;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(m_fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

void SetLogWriter(LogWriterFunction writer) { g_writer.store(writer); }

void SubmitLogLine(const std::shared_ptr<CLogFile>& file, std::string line) {
  if (!file) return;
  // A writer that could not take the line (its thread has ended) leaves it to the caller, so a
  // line never disappears because it raced with the writer's shutdown.
  if (LogWriterFunction writer = g_writer.load()) {
    if (writer(file, line)) return;
  }
  file->Write(line);
}

CString LogTimeStamp() {
  // Every log line carries one, so it is made again only when the second it shows changes. It
  // shows the time rounded to the nearest second, as a date-time of now would be.
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  const time_t shown = ts.tv_sec + (ts.tv_nsec >= 500000000 ? 1 : 0);
  thread_local time_t s_shown = -1;
  thread_local CString s_text;
  if (shown != s_shown) {
    s_text = FormatDateTime(TimeToLocalDateTime(shown), "%c");
    s_shown = shown;
  }
  return s_text;
}
