#include "platform/svc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/registry.h"

extern char** environ;

namespace platform::svc {
namespace {

using platform::reg::Store;

std::string DwordBytes(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

uint32_t ReadDword(Store& store, const std::string& key, const char* name, uint32_t def) {
  reg::Value v;
  if (store.GetValue(key, name, &v) != reg::kOk || v.data.size() < 4) return def;
  const auto* p = reinterpret_cast<const unsigned char*>(v.data.data());
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string ReadString(Store& store, const std::string& key, const char* name) {
  reg::Value v;
  if (store.GetValue(key, name, &v) != reg::kOk) return {};
  std::string s = v.data;
  if (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

std::string StringBytes(const std::string& s) { return s + std::string(1, '\0'); }

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 255) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == '\\' || c == '/') return false;
  return true;
}

long WriteConfig(Store& store, const std::string& key, const ServiceConfig& config) {
  if (store.SetValue(key, "Type", reg::kDword, DwordBytes(config.type)) != reg::kOk ||
      store.SetValue(key, "Start", reg::kDword, DwordBytes(config.start)) != reg::kOk ||
      store.SetValue(key, "ErrorControl", reg::kDword, DwordBytes(config.errorControl)) != reg::kOk ||
      store.SetValue(key, "ImagePath", reg::kExpandSz, StringBytes(config.imagePath)) != reg::kOk ||
      store.SetValue(key, "DisplayName", reg::kSz, StringBytes(config.displayName)) != reg::kOk)
    return kErrorAccessDenied;
  return kOk;
}

std::string LockPath(const std::string& name) { return RunDirectory() + "/" + name + ".lock"; }
std::string StatusPath(const std::string& name) { return RunDirectory() + "/" + name + ".status"; }

void EnsureRunDirectory() {
  std::string dir = RunDirectory();
  // Create each level; the default lives under /run, which exists.
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  }
}

// Pid of the process holding the service lock, 0 when none does. A process-associated lock is
// used here (not an open-file lock) because the kernel then names its holder.
pid_t LockHolder(const std::string& name) {
  int fd = open(LockPath(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  pid_t pid = 0;
  if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) pid = fl.l_pid;
  close(fd);
  return pid;
}

// State of the dispatcher in a service process.
struct Dispatcher {
  std::mutex mu;
  std::string name;
  int lockFd = -1;
  bool ownsLock = false;
  ControlHandlerFunction handler = nullptr;
  std::atomic<bool> mainDone{false};
};
Dispatcher g_dispatcher;

bool WriteStatusFile(const std::string& name, const ServiceStatus& st) {
  std::string path = StatusPath(name);
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string text =
      "type=" + std::to_string(st.serviceType) + "\nstate=" + std::to_string(st.currentState) +
      "\ncontrols=" + std::to_string(st.controlsAccepted) + "\nexit=" + std::to_string(st.win32ExitCode) +
      "\nspecific=" + std::to_string(st.serviceSpecificExitCode) + "\ncheckpoint=" + std::to_string(st.checkPoint) +
      "\nwait=" + std::to_string(st.waitHint) + "\npid=" + std::to_string(getpid()) + "\n";
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool ReadStatusFile(const std::string& name, ServiceStatus* st) {
  int fd = open(StatusPath(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  auto field = [&](const char* key, uint32_t def) -> uint32_t {
    std::string k = std::string("\n") + key + "=";
    std::string text = std::string("\n") + buf;
    size_t p = text.find(k);
    if (p == std::string::npos) return def;
    return static_cast<uint32_t>(strtoul(text.c_str() + p + k.size(), nullptr, 10));
  };
  st->serviceType = field("type", kServiceWin32OwnProcess);
  st->currentState = field("state", kServiceStopped);
  st->controlsAccepted = field("controls", 0);
  st->win32ExitCode = field("exit", 0);
  st->serviceSpecificExitCode = field("specific", 0);
  st->checkPoint = field("checkpoint", 0);
  st->waitHint = field("wait", 0);
  return true;
}

}  // namespace

std::string RunDirectory() {
  const char* d = getenv("TRELLIS_RUNDIR");
  return (d && *d) ? d : "/run/trellis";
}

std::string ServiceKey(const std::string& name) { return "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + name; }

long CreateService(const std::string& name, const ServiceConfig& config) {
  if (!ValidName(name)) return 123;  // invalid name
  auto store = Store::Default();
  if (!store) return kErrorDatabaseUnavailable;
  std::string key = ServiceKey(name);
  Store::Transaction txn(*store);
  if (store->KeyExists(key)) return kErrorServiceExists;
  return WriteConfig(*store, key, config);
}

bool ServiceExists(const std::string& name) {
  if (!ValidName(name)) return false;
  // Asking never creates the store: "-v" on a machine without one must leave none behind.
  if (::access(Store::DefaultPath().c_str(), F_OK) != 0) return false;
  auto store = Store::Default();
  return store && store->KeyExists(ServiceKey(name));
}

long DeleteService(const std::string& name) {
  if (!ValidName(name)) return kErrorServiceDoesNotExist;
  auto store = Store::Default();
  if (!store) return kErrorDatabaseUnavailable;
  if (!store->KeyExists(ServiceKey(name))) return kErrorServiceDoesNotExist;
  return store->DeleteTree(ServiceKey(name)) == reg::kOk ? kOk : kErrorAccessDenied;
}

long QueryServiceConfig(const std::string& name, ServiceConfig* config) {
  if (!ServiceExists(name)) return kErrorServiceDoesNotExist;
  auto store = Store::Default();
  std::string key = ServiceKey(name);
  config->type = ReadDword(*store, key, "Type", kServiceWin32OwnProcess);
  config->start = ReadDword(*store, key, "Start", kServiceDemandStart);
  config->errorControl = ReadDword(*store, key, "ErrorControl", kServiceErrorNormal);
  config->imagePath = ReadString(*store, key, "ImagePath");
  config->displayName = ReadString(*store, key, "DisplayName");
  return kOk;
}

long ChangeServiceConfig(const std::string& name, const ServiceConfig& config) {
  if (!ServiceExists(name)) return kErrorServiceDoesNotExist;
  auto store = Store::Default();
  std::string key = ServiceKey(name);
  Store::Transaction txn(*store);
  return WriteConfig(*store, key, config);
}

pid_t RunningPid(const std::string& name) {
  if (!ValidName(name)) return 0;
  {
    // Opening and closing the lock file in the process that holds the lock would drop it.
    std::lock_guard<std::mutex> lk(g_dispatcher.mu);
    if (g_dispatcher.ownsLock && g_dispatcher.name == name) return getpid();
  }
  return LockHolder(name);
}

long StartService(const std::string& name) {
  ServiceConfig config;
  long rc = QueryServiceConfig(name, &config);
  if (rc != kOk) return rc;
  if (RunningPid(name) != 0) return kErrorServiceAlreadyRunning;
  if (config.imagePath.empty()) return 2;  // file not found
  EnsureRunDirectory();

  // The exec status comes back through a close-on-exec pipe: end of file means the program runs.
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return errno;
  std::string marker = std::string(kDispatchMarker) + "=" + name;
  pid_t child = fork();
  if (child < 0) {
    int e = errno;
    close(pipefd[0]);
    close(pipefd[1]);
    return e;
  }
  if (child == 0) {
    // Detach from the caller's session and terminal, then fork again so the service is not our child.
    close(pipefd[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGPWR}) signal(sig, SIG_DFL);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      if (devnull > 2) close(devnull);
    }
    if (chdir("/") != 0) {
      // The service changes to its own folder at once; an unreachable "/" changes nothing.
    }
    putenv(marker.data());
    char* argv[] = {const_cast<char*>(config.imagePath.c_str()), nullptr};
    execve(config.imagePath.c_str(), argv, environ);
    int e = errno;
    ssize_t w = write(pipefd[1], &e, sizeof e);
    (void)w;
    _exit(127);
  }
  close(pipefd[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int execErr = 0;
  ssize_t n;
  do {
    n = read(pipefd[0], &execErr, sizeof execErr);
  } while (n < 0 && errno == EINTR);
  close(pipefd[0]);
  if (n == static_cast<ssize_t>(sizeof execErr)) return execErr ? execErr : 2;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1053;  // service did not respond
  return kOk;
}

long QueryServiceStatus(const std::string& name, ServiceStatus* status) {
  if (!ServiceExists(name)) return kErrorServiceDoesNotExist;
  *status = ServiceStatus{};
  pid_t pid = RunningPid(name);
  if (pid == 0) return kOk;  // whatever an old status file says, nothing runs
  if (!ReadStatusFile(name, status)) status->currentState = kServiceStartPending;
  if (status->currentState == kServiceStopped) status->currentState = kServiceStopPending;
  status->processId = pid;
  return kOk;
}

long ControlService(const std::string& name, uint32_t control, ServiceStatus* status) {
  ServiceStatus local;
  if (!status) status = &local;
  long rc = QueryServiceStatus(name, status);
  if (rc != kOk) return rc;
  if (status->processId == 0) return kErrorServiceNotActive;
  int sig = 0;
  switch (control) {
    case kControlStop: sig = SIGTERM; break;
    case kControlShutdown: sig = SIGPWR; break;
    case kControlInterrogate: sig = SIGHUP; break;
    default: return 1052;  // invalid service control
  }
  if (kill(status->processId, sig) != 0) return errno == ESRCH ? kErrorServiceNotActive : kErrorAccessDenied;
  if (control == kControlStop) status->currentState = kServiceStopPending;
  return kOk;
}

bool WaitUntilStopped(const std::string& name, int timeoutMs, pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (pid_t running = RunningPid(name); running != 0 && (pid == 0 || running == pid); running = RunningPid(name)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

long StartServiceCtrlDispatcher(const std::string& name, ServiceMainFunction serviceMain) {
  const char* marker = getenv(kDispatchMarker);
  if (!marker || name != marker || !serviceMain) return kErrorFailedControllerConnect;
  // Programs the service starts later must not believe they were dispatched too.
  unsetenv(kDispatchMarker);

  // Stop signals are taken synchronously on this thread only; every thread started from here on
  // inherits the blocked mask.
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPWR}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  EnsureRunDirectory();
  {
    std::lock_guard<std::mutex> lk(g_dispatcher.mu);
    g_dispatcher.name = name;
    g_dispatcher.lockFd = open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (g_dispatcher.lockFd >= 0) {
      struct flock fl {};
      fl.l_type = F_WRLCK;
      fl.l_whence = SEEK_SET;
      // A second copy started by hand finds the lock taken: it still runs its service main, which
      // finds the engine's own instance lock taken and ends; it must not report status.
      g_dispatcher.ownsLock = fcntl(g_dispatcher.lockFd, F_SETLK, &fl) == 0;
      if (!g_dispatcher.ownsLock) {
        close(g_dispatcher.lockFd);
        g_dispatcher.lockFd = -1;
      }
    }
  }

  std::thread worker([serviceMain, name] {
    char* argv[] = {const_cast<char*>(name.c_str()), nullptr};
    serviceMain(1, argv);
    g_dispatcher.mainDone = true;
  });

  timespec wait{0, 100 * 1000 * 1000};
  while (!g_dispatcher.mainDone) {
    int sig = sigtimedwait(&set, nullptr, &wait);
    if (sig <= 0) continue;
    uint32_t control = (sig == SIGPWR) ? kControlShutdown : (sig == SIGHUP) ? kControlInterrogate : kControlStop;
    ControlHandlerFunction handler;
    {
      std::lock_guard<std::mutex> lk(g_dispatcher.mu);
      handler = g_dispatcher.handler;
    }
    if (handler) handler(control);
  }
  worker.join();
  std::lock_guard<std::mutex> lk(g_dispatcher.mu);
  g_dispatcher.handler = nullptr;
  if (g_dispatcher.lockFd >= 0) {
    close(g_dispatcher.lockFd);
    g_dispatcher.lockFd = -1;
  }
  return kOk;
}

uintptr_t RegisterServiceCtrlHandler(const std::string& name, ControlHandlerFunction handler) {
  std::lock_guard<std::mutex> lk(g_dispatcher.mu);
  if (g_dispatcher.name.empty() || g_dispatcher.name != name) return 0;
  g_dispatcher.handler = handler;
  return 1;
}

bool SetServiceStatus(uintptr_t handle, const ServiceStatus& status) {
  std::lock_guard<std::mutex> lk(g_dispatcher.mu);
  if (handle != 1 || g_dispatcher.name.empty()) return false;
  if (!g_dispatcher.ownsLock) return true;  // an unmanaged second copy has nothing to report
  return WriteStatusFile(g_dispatcher.name, status);
}

}  // namespace platform::svc
