// The WWW session's local branch: the gateway's own web server. Files below ServerRoot (with the
// default file of a folder, or its listing), HEAD, the gateway's internal resources, and CGI
// programs below CGIRoot. Every path goes through the one resolver of local_path.h.
//
// A CGI program runs as a child in a process group of its own, started from an argument vector
// (never through a shell), with one end of a socket pair as its standard input and output and
// standard error on /dev/null; every other descriptor of the engine is close-on-exec. The request
// body goes to it as it arrives and its end is passed on as the end of the program's input. The
// program's header becomes a proper HTTP response; its body is relayed. A program that has not
// answered when the session's idle time-out comes is killed with its group and the browser gets
// a 504 page; when the session ends for any reason the group is killed and the child reaped.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <vector>

#include "engine/config/util.h"
#include "engine/proxy/www/cgi.h"
#include "engine/proxy/www/local_path.h"
#include "engine/proxy/www/www_session.h"

namespace {

constexpr const char* kServerName = "Trellis Engine";
constexpr const char* kProductName = "Nomra Trellis Engine";
// The folder (below the engine's home) the "/trellis-internal/Resources/" paths are served from;
// nothing else of the home (registry, logs, cache) is reachable that way.
constexpr const char* kResourcesFolder = "Resources";
// A listing stops here: a folder of millions of names must not take the engine's memory.
constexpr size_t kMaxListingEntries = 20000;

// Closes a descriptor when the scope ends.
class CFd {
 public:
  explicit CFd(int fd = -1) : m_fd(fd) {}
  ~CFd() { Reset(); }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  void Reset(int fd = -1) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }
  int Get() const { return m_fd; }
  int* Out() { return &m_fd; }

 private:
  int m_fd;
};

// A body up to this size is read and sent with its header in one piece: one system call and one
// segment instead of a header, a copy from the file and a last call that finds its end.
constexpr off_t kInlineBodyBytes = 16 * 1024;

// The dates of HTTP headers, each made again only when its second changes: every answer carries
// the time now and most carry the same file's time.
class CHttpDateCache {
 public:
  const CString& Get(int64_t t) {
    if (t != m_time) {
      m_text = CWWWCache::FormatHttpDate(t);
      m_time = t;
    }
    return m_text;
  }

 private:
  int64_t m_time = -1;
  CString m_text;
};

CString HttpNow() {
  thread_local CHttpDateCache now;
  return now.Get(static_cast<int64_t>(::time(nullptr)));
}

CString HttpModified(int64_t t) {
  thread_local CHttpDateCache modified;
  return modified.Get(t);
}

// The whole of a small file, appended to out; false when the file did not hold size bytes when it
// was read (it changed since its size was taken: the general path deals with that).
bool ReadWhole(int fd, size_t size, std::string* out) {
  const size_t start = out->size();
  out->resize(start + size + 1);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, out->data() + start + got, size + 1 - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out->resize(start + std::min(got, size));
  return got == size;
}

bool IsDefaultNameUsable(const CString& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == CString::npos &&
         std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

}  // namespace

CString CWWWSession::ListingIcon(bool folder, const std::string& name) const {
  const CString base = FormatString("http://%s:%u/trellis-internal", GetLocalAddress().c_str(), GetServiceLocalPort());
  if (folder)
    return ::access("Resources/Directory.gif", R_OK) == 0 ? base + "/Resources/Directory.gif"
                                                          : CString("internal-gopher-menu");
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
  // Only a plain extension becomes part of a file name looked up below Resources.
  if (!ext.empty() && ext.size() <= 16 &&
      std::all_of(ext.begin(), ext.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }) &&
      ::access(("Resources/" + ext + ".gif").c_str(), R_OK) == 0)
    return base + "/Resources/" + ext + ".gif";
  return ::access("Resources/Default.gif", R_OK) == 0 ? base + "/Resources/Default.gif"
                                                      : CString("internal-gopher-unknown");
}

// ---- Dispatch -----------------------------------------------------------------------------------

void CWWWSession::ServeLocal() {
  const CString rawPath = m_req.path.empty() ? CString("/") : m_req.path;
  std::vector<std::string> segments;
  if (SplitLocalPath(rawPath, &segments) != LocalPathResult::kOk) {
    Log(kLogError, "Refused local path %s", rawPath.c_str());
    SendErrorPage(WWWPage::AccessDenied);
    return;
  }
  const bool get = m_req.method == "GET", head = m_req.method == "HEAD", post = m_req.method == "POST";
  if (m_internal) {
    // "/trellis-internal/Resources/<file>": only the resources folder of the engine's home.
    if (segments.size() < 3 || segments[1] != kResourcesFolder || !(get || head)) {
      Log(kLogError, "Internal resource %s not available", rawPath.c_str());
      SendErrorPage(WWWPage::FileAccessDenied);
      return;
    }
    segments.erase(segments.begin(), segments.begin() + 2);
    ServeFile(kResourcesFolder, segments, head, false);
    return;
  }
  const bool cgi = !m_settings.CGILabel.empty() && !segments.empty() && segments[0] == m_settings.CGILabel.c_str();
  if ((get || post) && cgi) {
    RunCGI(segments);
  } else if (get || head) {
    ServeFile(m_settings.ServerRoot, segments, head, get && m_settings.AllowDirectoryBrowsing != 0);
  } else {
    // POST to a path that is no program included: an answer is owed either way.
    Log(kLogError, "Method %s not implemented for %s", m_req.method.c_str(), rawPath.c_str());
    SendErrorPage(WWWPage::MethodNotImplemented);
  }
}

// ---- Files --------------------------------------------------------------------------------------

void CWWWSession::ServeFile(const CString& root, const std::vector<std::string>& segments, bool head, bool listing) {
  if (root.empty()) {
    Log(kLogError, "Local web server has no ServerRoot - %s refused", m_req.path.c_str());
    SendErrorPage(WWWPage::FileAccessDenied);
    return;
  }
  std::string relative = JoinSegments(segments);
  CFd fd;
  // O_NONBLOCK: opening a FIFO someone left in the folder must not hang the session.
  LocalPathResult r = OpenBelowRoot(root, relative, O_RDONLY | O_NONBLOCK, fd.Out());
  struct stat st {};
  if (r == LocalPathResult::kOk && ::fstat(fd.Get(), &st) != 0) r = LocalPathResult::kMissing;
  if (r == LocalPathResult::kOk && S_ISDIR(st.st_mode) && !head) {
    CFd file;
    struct stat fst {};
    if (IsDefaultNameUsable(m_settings.DefaultFilename) &&
        OpenBelowRoot(
            root,
            relative.empty() ? std::string(m_settings.DefaultFilename) : relative + "/" + m_settings.DefaultFilename,
            O_RDONLY | O_NONBLOCK, file.Out()) == LocalPathResult::kOk &&
        ::fstat(file.Get(), &fst) == 0 && S_ISREG(fst.st_mode)) {
      relative =
          relative.empty() ? std::string(m_settings.DefaultFilename) : relative + "/" + m_settings.DefaultFilename;
      fd.Reset(file.Get());
      *file.Out() = -1;
      st = fst;
    } else if (listing) {
      ListFolder(fd.Get(), segments);
      return;
    }
  }
  if (r == LocalPathResult::kRefused) {
    Log(kLogError, "Refused local path %s (outside the served folder)", m_req.path.c_str());
    SendErrorPage(WWWPage::AccessDenied);
    return;
  }
  if (r != LocalPathResult::kOk || !S_ISREG(st.st_mode)) {
    Log(kLogError, "File not found or access denied: %s", m_req.path.c_str());
    SendErrorPage(WWWPage::FileAccessDenied);
    return;
  }

  const CString lastModified = HttpModified(static_cast<int64_t>(st.st_mtime));
  bool notModified = false;
  if (!head && ::strcasecmp(m_req.headers.Get("Pragma").c_str(), "no-cache") != 0) {
    int64_t since = 0;
    notModified = ParseHttpDate(m_req.headers.Get("If-Modified-Since"), &since) && since == st.st_mtime;
  }
  const char* status = head ? "200 OK" : notModified ? "304 Use cached copy" : "200 Document Follows";
  std::string header = FormatString(
      "HTTP/1.0 %s\r\nDate: %s\r\nServer: %s\r\nContent-Type: %s\r\nContent-Length: %llu\r\n"
      "Last-Modified: %s\r\nConnection: close\r\n\r\n",
      status, HttpNow().c_str(), kServerName, GetMimeType(relative).c_str(),
      static_cast<unsigned long long>(st.st_size), lastModified.c_str());
  const bool body = !head && !notModified;
  const size_t headerLength = header.size();
  const bool inlined = body && st.st_size <= kInlineBodyBytes &&
                       ReadWhole(fd.Get(), static_cast<size_t>(st.st_size), &header);
  if (body && !inlined) header.resize(headerLength);
  try {
    m_responseReceived = true;
    SendToClient(header);
    if (body && !inlined) {
      const uint64_t sent = m_clientSocket.SendFile(fd.Get());
      if (sent != static_cast<uint64_t>(st.st_size)) {
        // The file changed size while it went out: the browser must not take what it got for the
        // whole file.
        Log(kLogError, "File %s sent with %llu of %llu bytes - connection reset", relative.c_str(),
            static_cast<unsigned long long>(sent), static_cast<unsigned long long>(st.st_size));
        m_clientSocket.ResetOnClose();
        Terminate(kSessionExitRefused);
        return;
      }
    }
  } catch (const X1SocketException& e) {
    // The browser went away during the copy: nothing more to tell it.
    Log(kLogError, "Sending %s failed: %s", m_req.path.c_str(), e.GetText().c_str());
    Terminate(kSessionExitRefused);
    return;
  }
  if (head)
    Log(kLogDebug, "HEAD command for File %s in thread %x\n", relative.c_str(), Id());
  else
    Log(kLogDebug, "Served File %s in thread %x\n", relative.c_str(), Id());
  FinishAnswered(0);
}

void CWWWSession::ListFolder(int dirfd, const std::vector<std::string>& segments) {
  struct Entry {
    std::string name;
    struct stat st;
  };
  std::vector<Entry> folders, files;
  const int listfd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listfd >= 0 ? ::fdopendir(listfd) : nullptr;
  if (!dir) {
    if (listfd >= 0) ::close(listfd);
    Log(kLogError, "File not found or access denied: %s", m_req.path.c_str());
    SendErrorPage(WWWPage::FileAccessDenied);
    return;
  }
  while (struct dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (folders.size() + files.size() >= kMaxListingEntries) break;
    Entry entry{name, {}};
    // The entry itself, not what a link points at: a link's target may lie outside the folder.
    if (::fstatat(dirfd, name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    (S_ISDIR(entry.st.st_mode) ? folders : files).push_back(std::move(entry));
  }
  ::closedir(dir);

  const CString shown = "/" + JoinSegments(segments);
  std::string page = FormatString(
      "HTTP/1.0 200 Document Follows\r\nDate: %s\r\nServer: %s\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n",
      HttpNow().c_str(), kServerName);
  const CString title = HtmlEscape(shown);
  page += FormatString(
      "<HTML><HEAD><TITLE>Directory of %s</TITLE></HEAD><BODY BGCOLOR=white>\r\n"
      "<H2>Directory of %s</H2><PRE>\r\n",
      title.c_str(), title.c_str());
  const std::string prefix = segments.empty() ? std::string() : "/" + JoinSegments(segments);
  auto line = [&](const Entry& e, bool folder) {
    const CString icon = ListingIcon(folder, e.name);
    char when[32] = "";
    struct tm tm {};
    if (::localtime_r(&e.st.st_mtime, &tm)) ::strftime(when, sizeof when, "%m/%d/%y %H:%M:%S", &tm);
    std::string attributes;
    if ((e.st.st_mode & S_IWUSR) == 0) attributes += 'R';
    if (e.name[0] == '.') attributes += 'H';
    const size_t pad = e.name.size() < 20 ? 20 - e.name.size() : 0;
    page += "<A HREF=\"" + HtmlEscape(PercentEncodePath(prefix + "/" + e.name)) +
            "\"><IMG BORDER=0 ALIGN=absbottom SRC=\"" + HtmlEscape(icon) + "\"><B>" + HtmlEscape(e.name) + "</B></A>" +
            std::string(pad, ' ') + "\t" +
            FormatString("%12llu %s %s", static_cast<unsigned long long>(e.st.st_size), when, attributes.c_str()) +
            "\r\n";
  };
  for (const auto& e : folders) line(e, true);
  for (const auto& e : files) line(e, false);
  page +=
      FormatString("</PRE><HR><FONT COLOR=blue SIZE=-1><I><B>%s</B></I></FONT>\r\n</BODY></HTML>\r\n", kProductName);
  try {
    m_responseReceived = true;
    SendToClient(page);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Sending the listing of %s failed: %s", shown.c_str(), e.GetText().c_str());
    Terminate(kSessionExitRefused);
    return;
  }
  Log(kLogDebug, "Browsing directory %s\n", shown.c_str());
  FinishAnswered(0);
}

// ---- Java client page ---------------------------------------------------------------------------

bool CWWWSession::SendJavaClientPage() {
  CFd fd(::open("Java/Client.htm", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Log(kLogError, "Java client template Java/Client.htm not readable");
    return false;
  }
  std::string templ(static_cast<size_t>(std::min<off_t>(st.st_size, kMaxJavaTemplate)), '\0');
  const ssize_t n = ::read(fd.Get(), templ.data(), templ.size());
  if (n < 0) return false;
  templ.resize(static_cast<size_t>(n));
  // The URL the browser asked for: the gateway's own address as it reached it for a non-proxy
  // request.
  CString url;
  if (IsNonProxyRequest() || m_req.relative) {
    const uint32_t port = GetServiceLocalPort();
    url = "http://" + GetLocalAddress() + (port == 80 ? CString() : FormatString(":%u", port)) +
          (m_req.path.empty() ? CString("/") : m_req.path);
  } else {
    url = m_req.Description();
  }
  if (!m_req.query.empty()) url += "?" + m_req.query;
  // The client logs in to the gateway on the port it reached this service by.
  const CString body = BuildJavaClientPage(templ, url, GetServiceLocalPort());
  // A login page is no answer to the request: it goes with the refusal's status, so no client or
  // cache takes it for the resource.
  const std::string page =
      FormatString("HTTP/1.0 403 Login Required\r\nServer: Trellis 2.1 beta 2\r\nPragma: no-cache\r\n"
                   "Content-type: text/html\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                   body.size()) +
      body;
  try {
    SendToClient(page);
  } catch (const X1SocketException& e) {
    Log(kLogError, "Sending the Java client page failed: %s", e.GetText().c_str());
  }
  return true;
}
