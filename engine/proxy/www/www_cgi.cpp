// The WWW session's CGI programs: finding the program below CGIRoot, starting it, passing the
// request body on, turning its header into the HTTP response, and ending it (see www_local.cpp
// for the whole picture).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "engine/config/util.h"
#include "engine/proxy/www/cgi.h"
#include "engine/proxy/www/local_path.h"
#include "engine/proxy/www/www_session.h"

extern char** environ;

namespace {

// The program's real path from its open descriptor, when it lies below root's real path.
bool RealPathBelow(int fd, const CString& root, std::string* path) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(link, target, PATH_MAX);
  if (n <= 0) return false;
  target[n] = '\0';
  char rootReal[PATH_MAX];
  if (!::realpath(root.c_str(), rootReal)) return false;
  const std::string prefix = std::string(rootReal) == "/" ? std::string("/") : std::string(rootReal) + "/";
  *path = target;
  return path->compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

void CWWWSession::RunCGI(const std::vector<std::string>& segments) {
  if (!m_settings.EnableCGI) {
    Log(kLogError, "CGI is not enabled - %s refused", m_req.path.c_str());
    SendErrorPage(WWWPage::CGINotEnabled);
    return;
  }
  if (m_settings.CGIRoot.empty()) {
    Log(kLogError, "CGI has no CGIRoot - %s refused", m_req.path.c_str());
    SendErrorPage(WWWPage::FileAccessDenied);
    return;
  }
  if (m_framing.kind == HttpBody::Chunked) {
    // The program learns its input's length from CONTENT_LENGTH before reading it.
    Log(kLogError, "CGI request %s without a Content-Length - refused", m_req.path.c_str());
    SendErrorPage(WWWPage::MalformedRequest, CString(), "411 Length Required");
    return;
  }
  // The first path segments that name a regular file below CGIRoot are the program; the rest is
  // PATH_INFO.
  int fd = -1;
  size_t used = 0;
  for (size_t k = 2; k <= segments.size(); ++k) {
    const LocalPathResult r =
        OpenBelowRoot(m_settings.CGIRoot, JoinSegments(segments, 1, k), O_RDONLY | O_NONBLOCK, &fd);
    if (r == LocalPathResult::kRefused) {
      Log(kLogError, "Refused CGI path %s (outside the program folder)", m_req.path.c_str());
      SendErrorPage(WWWPage::AccessDenied);
      return;
    }
    if (r != LocalPathResult::kOk) break;
    struct stat st {};
    const bool dir = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    if (dir) {
      ::close(fd);
      fd = -1;
      continue;
    }
    if (S_ISREG(st.st_mode)) used = k;
    break;
  }
  std::string program;
  const bool found =
      fd >= 0 && used > 0 && RealPathBelow(fd, m_settings.CGIRoot, &program) && ::access(program.c_str(), X_OK) == 0;
  if (fd >= 0) ::close(fd);
  if (!found) {
    Log(kLogError, "CGI program for %s not found or not executable", m_req.path.c_str());
    SendErrorPage(WWWPage::FileAccessDenied);
    return;
  }

  CCgiRequestInfo info;
  info.method = m_req.method;
  info.query = m_req.query;
  info.scriptName = "/" + JoinSegments(segments, 0, used);
  const std::string rest = JoinSegments(segments, used);
  if (!rest.empty()) {
    info.pathInfo = "/" + rest;
    if (!m_settings.ServerRoot.empty()) {
      CString root = m_settings.ServerRoot;
      while (root.size() > 1 && root.back() == '/') root.pop_back();
      info.pathTranslated = root + info.pathInfo;
    }
  }
  info.remoteAddress = GetClientAddress();
  info.serverName = GetLocalAddress();
  info.serverPort = GetServiceLocalPort();
  info.protocol = m_req.version;
  if (m_framing.kind == HttpBody::Length) info.contentLength = std::to_string(m_framing.length);
  info.headers = &m_req.headers;
  const std::vector<std::string> env = BuildCgiEnvironment(info);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> argv{const_cast<char*>(program.c_str()), nullptr};
  const std::string folder = program.substr(0, program.rfind('/') + 1);

  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    Log(kLogError, "CGI program %s not started: socket pair failed (%d)", program.c_str(), errno);
    SendErrorPage(WWWPage::SocketError, "The CGI program could not be started", "500 Internal Server Error");
    return;
  }
  // Both ends above the standard descriptors: an end that were 0 or 1 itself would not be
  // duplicated onto it and would stay close-on-exec, leaving the program without its input.
  for (int& end : sv) {
    if (end > 2) continue;
    const int moved = ::fcntl(end, F_DUPFD_CLOEXEC, 3);
    ::close(end);
    end = moved;
  }
  if (sv[0] < 0 || sv[1] < 0) {
    if (sv[0] >= 0) ::close(sv[0]);
    if (sv[1] >= 0) ::close(sv[1]);
    Log(kLogError, "CGI program %s not started: no descriptor", program.c_str());
    SendErrorPage(WWWPage::SocketError, "The CGI program could not be started", "500 Internal Server Error");
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attr);
  ::posix_spawn_file_actions_adddup2(&actions, sv[1], 0);
  ::posix_spawn_file_actions_adddup2(&actions, sv[1], 1);
  ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // Its own group, so the limit ends whatever it started; signals as a fresh program has them
  // (the engine ignores SIGPIPE, a program expects to die of it).
  sigset_t all, none;
  ::sigfillset(&all);
  ::sigemptyset(&none);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  ::posix_spawnattr_setpgroup(&attr, 0);
  ::posix_spawnattr_setsigdefault(&attr, &all);
  ::posix_spawnattr_setsigmask(&attr, &none);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  ::close(sv[1]);
  if (rc != 0) {
    ::close(sv[0]);
    Log(kLogError, "CGI program %s not started (%d)", program.c_str(), rc);
    SendErrorPage(WWWPage::FileAccessDenied);
    return;
  }
  m_cgiPid = pid;
  m_cgi = true;
  Log(kLogDebug, "Started CGI program %s (process %d) in thread %x\n", program.c_str(), static_cast<int>(pid), Id());

  // A program always has a limit; the session's own idle check applies it (504 before the
  // program's header, the end of the session after it, the group killed either way).
  if (!IsTimeoutEnabled()) SetTimeout(true, kCgiTimeLimitSeconds);
  try {
    m_serverSocket.Attach(sv[0]);
    // A program that does not read its input must not hold the session in a send past its limit.
    if (GetTimeoutSeconds() > 0) m_serverSocket.SetSendTimeout(static_cast<int>(GetTimeoutSeconds() * 1000));
    m_serverConnected = true;
    m_serverSocket.AsyncSelect(FD_READ | FD_CLOSE);
    m_serverSocket.ArmAsyncSelect();
    if (!m_bodyWire.empty()) m_serverSocket.Send(m_bodyWire.data(), m_bodyWire.size());
    m_bodyWire.clear();
    m_bodyPipe = m_framing.HasBody() && !m_body.Done();
    if (!m_bodyPipe) {
      // The program's input ends with the body (or at once): it reads to its end, never waits.
      m_serverSocket.ShutdownSend();
      m_awaitingResponse.store(true);
    }
    // Body bytes that came while the request was processed.
    if (!m_resourceData.empty()) {
      std::string early;
      early.swap(m_resourceData);
      if (m_bodyPipe) ForwardBody(early.data(), early.size());
    }
  } catch (const X1SocketException& e) {
    // The program ended before it took its input: its output, if any, still tells the browser.
    Log(kLogError, "Passing the request to CGI program %s failed: %s", program.c_str(), e.GetText().c_str());
    m_bodyPipe = false;
    m_awaitingResponse.store(true);
  }
}

void CWWWSession::OnCGIOutput(bool drain) {
  char buf[kReadChunk];
  for (int i = 0; drain || i < 16; ++i) {
    if (IsEnding() || !m_serverSocket.IsOpen()) return;
    if (m_responseReceived) {
      const size_t n = m_serverSocket.RelayTo(m_clientSocket, 4 * kRelayChunk);
      if (n == 0) break;
      m_bodyRelayed += n;
      continue;
    }
    const size_t n = m_serverSocket.Receive(buf, sizeof buf);
    if (n == 0) break;
    m_cgiOutput.append(buf, n);
    TakeCGIHeader(false);
  }
  if (drain && !m_responseReceived && !IsEnding()) TakeCGIHeader(true);
}

void CWWWSession::TakeCGIHeader(bool ended) {
  CCgiHeader header;
  switch (ParseCgiHeader(m_cgiOutput, ended, &header)) {
    case CgiHeaderScan::kNeedMore: return;
    case CgiHeaderScan::kBad:
      Log(kLogError, "CGI program for %s sent no usable header (%s)", m_req.path.c_str(), header.why);
      m_serverSocket.Close();
      m_serverConnected = false;
      m_awaitingResponse.store(false);
      SendErrorPage(WWWPage::SocketError, "The CGI program did not send a valid response", "502 Bad Gateway");
      return;
    case CgiHeaderScan::kNonParsed:
      // The program wrote its own status line: its bytes go on as they are.
      m_awaitingResponse.store(false);
      m_responseReceived = true;
      SendToClient(m_cgiOutput);
      break;
    case CgiHeaderScan::kHeader: {
      m_awaitingResponse.store(false);
      m_responseReceived = true;
      std::string out = BuildCgiResponseHeader(header, CWWWCache::FormatHttpDate(::time(nullptr)), "Trellis Engine");
      out.append(m_cgiOutput, header.headerLength, std::string::npos);
      SendToClient(out);
      break;
    }
  }
  m_cgiOutput.clear();
  m_cgiOutput.shrink_to_fit();
}

void CWWWSession::EndCGI() {
  if (m_cgiPid <= 0) return;
  // Until it is reaped the leader's id cannot be reused, so the group signal reaches only the
  // program and what it started; after a normal end it finds the group empty. WNOWAIT looks
  // without reaping.
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(m_cgiPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0)
    Log(kLogError, "CGI program (process %d) still running at the end of its session - killed",
        static_cast<int>(m_cgiPid));
  ::kill(-m_cgiPid, SIGKILL);
  int status = 0;
  while (::waitpid(m_cgiPid, &status, 0) < 0 && errno == EINTR) {
  }
  m_cgiPid = -1;
}
