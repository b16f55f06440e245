// The Remote Access layer over pppd(8), for real dial-up links: each phonebook entry is a pppd
// peer, a dial runs "pppd call <peer> nodetach ..." and follows it, a hang-up ends that pppd. It
// honours the layer's contract (ras_api.h). The build puts it beside the program as
// librasapi32.so, where the engine looks first.
//
// Phonebook: the regular files of TRELLIS_PPP_PEERS (default /etc/ppp/peers, the folder pppd's
// "call" reads) whose names are fit to pass to pppd: letters, digits, ".", "_" and "-", not
// starting with "." or "-", at most 256 bytes. Only such a name may be dialled, so an entry can
// never smuggle an option or a path in. The program is TRELLIS_PPPD (default /usr/sbin/pppd);
// another folder of peers only makes sense with a pppd that reads that folder.
//
// Why "call": pppd honours the privileged options of a peer file (noauth, the device, a connect
// or pty script, defaultroute) only when it is read with "call", unless pppd runs as root. The
// command line adds only options pppd allows anyone: nodetach, logfd, user, passwordfd; and
// "plugin passwordfd.so", which is privileged, only when the engine runs as root. An engine that
// runs as a member of pppd's group (dip on Debian) loads that plugin in the peer file instead.
//
// A dial: the password goes to pppd through a pipe (the passwordfd plugin), never on its command
// line, which any local user can read; a domain makes the user "DOMAIN\user". pppd writes its log
// to another pipe, read by one monitor thread per link. The log tells the progress ("Connect:"
// the device is connected, "authentication succeeded") and names the link's interface ("Using
// interface pppN", or the first word after "Connect:"); the link is up once that interface is up
// with its IPv4 address, which is the state in which pppd runs its ip-up scripts, whatever its
// log says of the addresses. The link's address is the interface's, the server's its peer.
// When pppd ends, its exit status (pppd(8), EXIT STATUS) becomes the link's error, and the handle
// answers ERROR_INVALID_HANDLE once the process has been reaped. A pppd that cannot be started
// at all is a dial that fails at once with its reason (not installed, not allowed). This layer
// never returns the codes that make the dialer restart itself (614, 622, 625): a misconfigured
// peer would otherwise restart the dialer for ever.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/dialer/ras_api.h"

extern char** environ;

#define RAS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Codes of this layer beyond the dialer's own list (ras_api.h).
enum : DWORD {
  PPP_NOT_INSTALLED = 2,
  PPP_ACCESS_DENIED = 5,
  PPP_OPTION_ERROR = 87,
  PPP_NO_KERNEL_SUPPORT = 120,
  PPP_REMOTE_DISCONNECTION = 629,
  PPP_USER_DISCONNECTION = 631,
  PPP_PORT_NOT_AVAILABLE = 633,
  PPP_FROM_DEVICE = 651,
  PPP_TIMEOUT = 718,
};

constexpr size_t kMaxLogLine = 1024;
// How often a link on its way up looks at its interface.
constexpr int kInterfacePollMs = 100;

struct Link {
  uintptr_t handle = 0;
  std::string entry;
  pid_t pid = -1;
  RASCONNSTATE state = RASCS_OpenPort;
  DWORD error = 0;
  bool up = false;
  bool going = false;
  std::string device = "pppd";
  std::string address, server;
};

// Lives as long as the process: monitor threads may outlive every static object.
struct State {
  std::mutex mutex;
  std::condition_variable cv;
  std::map<uintptr_t, std::shared_ptr<Link>> links;
  uintptr_t nextHandle = 0x7100;
};
State& g = *new State;

std::string PeersDir() {
  const char* dir = getenv("TRELLIS_PPP_PEERS");
  return dir && *dir ? dir : "/etc/ppp/peers";
}

std::string PppdPath() {
  const char* path = getenv("TRELLIS_PPPD");
  return path && *path ? path : "/usr/sbin/pppd";
}

bool ValidPeerName(const std::string& name) {
  if (name.empty() || name.size() > RAS_MaxEntryName || name[0] == '.' || name[0] == '-') return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

bool ValidInterfaceName(const std::string& name) {
  if (name.empty() || name.size() >= IFNAMSIZ) return false;
  return std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

std::vector<std::string> Peers() {
  std::vector<std::string> out;
  const std::string dir = PeersDir();
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (!ValidPeerName(name)) continue;
    struct stat st {};
    if (lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

DWORD ExitError(int status) {
  if (WIFSIGNALED(status)) return PPP_USER_DISCONNECTION;
  switch (WEXITSTATUS(status)) {
    case 2: return PPP_OPTION_ERROR;
    case 3: return PPP_ACCESS_DENIED;
    case 4: return PPP_NO_KERNEL_SUPPORT;
    case 5: return PPP_USER_DISCONNECTION;
    case 6:
    case 7: return PPP_PORT_NOT_AVAILABLE;
    case 8: return RAS_ERROR_NO_ANSWER;
    case 10: return PPP_TIMEOUT;
    case 11:
    case 19: return RAS_ERROR_AUTHENTICATION_FAILURE;
    case 15:
    case 16: return PPP_REMOTE_DISCONNECTION;
    default: return PPP_FROM_DEVICE;
  }
}

// Why pppd could not be started (posix_spawn's error).
DWORD SpawnError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return PPP_NOT_INSTALLED;
    case EACCES:
    case EPERM: return PPP_ACCESS_DENIED;
    default: return RAS_ERROR_NOT_ENOUGH_MEMORY;
  }
}

// The word after a marker in a log line, at most max bytes (empty when longer).
std::string WordAfter(const std::string& line, const char* marker, size_t max) {
  size_t pos = line.find(marker);
  if (pos == std::string::npos) return std::string();
  pos += strlen(marker);
  while (pos < line.size() && line[pos] == ' ') ++pos;
  size_t end = line.find_first_of(" \t\r\n", pos);
  const std::string word = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  return word.size() <= max ? word : std::string();
}

std::string AddressText(const sockaddr* a) {
  if (!a || a->sa_family != AF_INET) return std::string();
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof(text));
  return text;
}

// The interface's IPv4 address (and its peer's on a point-to-point link) once it is up with one.
bool InterfaceUp(const std::string& name, std::string* address, std::string* server) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool up = false;
  for (ifaddrs* a = list; a && !up; a = a->ifa_next) {
    if (!a->ifa_name || name != a->ifa_name || !(a->ifa_flags & IFF_UP)) continue;
    *address = AddressText(a->ifa_addr);
    if (address->empty()) continue;
    *server = (a->ifa_flags & IFF_POINTOPOINT) ? AddressText(a->ifa_dstaddr) : std::string();
    up = true;
  }
  freeifaddrs(list);
  return up;
}

void Notify(RASDIALFUNC1 notifier, const std::shared_ptr<Link>& link, RASCONNSTATE state, DWORD error) {
  if (notifier) notifier(reinterpret_cast<HRASCONN>(link->handle), 0, state, error, 0);
}

// What one log line tells of the link: its progress and its interface's name (g.mutex held).
// Returns the state to notify, or 0 when the line changes nothing.
RASCONNSTATE ReadLogLine(Link& link, const std::string& line, std::string& interfaceName) {
  if (line.find("Using interface") != std::string::npos) {
    const std::string name = WordAfter(line, "Using interface", IFNAMSIZ);
    if (ValidInterfaceName(name)) interfaceName = name;
    return 0;
  }
  if (line.find("Connect:") != std::string::npos) {
    const std::string name = WordAfter(line, "Connect:", IFNAMSIZ);
    if (interfaceName.empty() && ValidInterfaceName(name)) interfaceName = name;
    const std::string device = WordAfter(line, "<-->", RAS_MaxDeviceName);
    if (!device.empty()) link.device = device;
    if (link.up) return 0;
    return link.state = RASCS_DeviceConnected;
  }
  if (line.find("authentication succeeded") != std::string::npos && !link.up) return link.state = RASCS_AuthProject;
  return 0;
}

// One link's log and interface, then its end.
void Monitor(std::shared_ptr<Link> link, int logFd, RASDIALFUNC1 notifier) {
  std::string line, interfaceName;
  bool up = false;
  char buf[512];
  for (;;) {
    // While the link is on its way up its interface is looked at between log lines.
    pollfd p{logFd, POLLIN, 0};
    const int r = poll(&p, 1, up || interfaceName.empty() ? -1 : kInterfacePollMs);
    if (r < 0 && errno != EINTR) break;
    if (r > 0) {
      const ssize_t n = read(logFd, buf, sizeof(buf));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
          if (line.size() < kMaxLogLine) line += buf[i];
          continue;
        }
        RASCONNSTATE state;
        {
          std::lock_guard<std::mutex> lk(g.mutex);
          state = ReadLogLine(*link, line, interfaceName);
        }
        if (state) {
          g.cv.notify_all();
          Notify(notifier, link, state, 0);
        }
        line.clear();
      }
    }
    std::string address, server;
    if (!up && !interfaceName.empty() && InterfaceUp(interfaceName, &address, &server)) {
      up = true;
      {
        std::lock_guard<std::mutex> lk(g.mutex);
        if (link->going) continue;  // hung up on its way: it never counts as up
        link->address = address.substr(0, RAS_MaxIpAddress);
        link->server = server.substr(0, RAS_MaxIpAddress);
        link->state = RASCS_Connected;
        link->up = true;
      }
      g.cv.notify_all();
      Notify(notifier, link, RASCS_Connected, 0);
    }
  }
  close(logFd);
  // pppd has ended; it stays a zombie (its pid cannot be reused, so a hang-up's signal meanwhile
  // goes nowhere) until the handle is gone, and only then is it reaped.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(link->pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  int status = info.si_code == CLD_EXITED ? (info.si_status & 0xFF) << 8 : (info.si_status & 0x7F);
  RASCONNSTATE state;
  DWORD error;
  bool wasUp;
  pid_t pid;
  {
    std::lock_guard<std::mutex> lk(g.mutex);
    wasUp = link->up;
    error = link->going ? PPP_USER_DISCONNECTION : ExitError(status);
    link->error = error;
    link->up = false;
    state = link->state;
    pid = link->pid;
    link->pid = -1;
    g.links.erase(link->handle);
  }
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  g.cv.notify_all();
  if (wasUp)
    Notify(notifier, link, RASCS_Disconnected, 0);
  else
    Notify(notifier, link, state, error);
}

std::shared_ptr<Link> Find(HRASCONN h) {
  auto it = g.links.find(reinterpret_cast<uintptr_t>(h));
  return it == g.links.end() ? nullptr : it->second;
}

void Copy(char* dst, size_t size, const std::string& src) { snprintf(dst, size, "%s", src.c_str()); }

}  // namespace

RAS_EXPORT DWORD RasDialA(RASDIALEXTENSIONS* ext, const char*, RASDIALPARAMSA* params, DWORD notifierType,
                          void* notifier, HRASCONN* out) {
  if (!params || !out || params->dwSize != sizeof(RASDIALPARAMSA)) return RAS_ERROR_INVALID_SIZE;
  if (ext && ext->dwSize != sizeof(RASDIALEXTENSIONS)) return RAS_ERROR_INVALID_SIZE;
  if (notifier && notifierType != 1) return RAS_ERROR_NOT_SUPPORTED;
  *out = nullptr;
  const std::string entry(params->szEntryName, strnlen(params->szEntryName, sizeof(params->szEntryName)));
  const auto peers = Peers();
  if (std::find(peers.begin(), peers.end(), entry) == peers.end()) return RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  std::string user(params->szUserName, strnlen(params->szUserName, sizeof(params->szUserName)));
  const std::string domain(params->szDomain, strnlen(params->szDomain, sizeof(params->szDomain)));
  const std::string password(params->szPassword, strnlen(params->szPassword, sizeof(params->szPassword)));
  if (!domain.empty() && domain != "*" && !user.empty()) user = domain + "\\" + user;

  int pw[2] = {-1, -1};
  int log[2] = {-1, -1};
  if (pipe2(pw, O_CLOEXEC) != 0) return RAS_ERROR_NOT_ENOUGH_MEMORY;
  if (pipe2(log, O_CLOEXEC) != 0) {
    close(pw[0]);
    close(pw[1]);
    return RAS_ERROR_NOT_ENOUGH_MEMORY;
  }
  // In pppd the password pipe is descriptor 3 and the log pipe 4; everything else stays closed.
  std::vector<std::string> args = {PppdPath(), "call", entry, "nodetach", "logfd", "4"};
  if (!user.empty()) args.insert(args.end(), {"user", user});
  if (!password.empty()) {
    // pppd takes "plugin" only from root or a peer file; pppd's own test is the real user id.
    if (getuid() == 0) args.insert(args.end(), {"plugin", "passwordfd.so"});
    args.insert(args.end(), {"passwordfd", "3"});
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pw[0], 3);
  posix_spawn_file_actions_adddup2(&actions, log[1], 4);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // pppd starts with no signal blocked and SIGPIPE as the system has it, whatever the engine set.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(pw[0]);
  close(log[1]);
  if (rc != 0) {
    close(pw[1]);
    close(log[0]);
    return SpawnError(rc);
  }
  // The password and then its end; a pppd that never reads it cannot hold the dial up (it is far
  // shorter than a pipe's buffer).
  if (!password.empty()) {
    ssize_t ignored = write(pw[1], password.data(), password.size());
    (void)ignored;
  }
  close(pw[1]);

  auto link = std::make_shared<Link>();
  link->entry = entry;
  link->pid = pid;
  {
    std::lock_guard<std::mutex> lk(g.mutex);
    link->handle = g.nextHandle++;
    g.links[link->handle] = link;
  }
  *out = reinterpret_cast<HRASCONN>(link->handle);
  auto fn = reinterpret_cast<RASDIALFUNC1>(notifier);
  std::thread(Monitor, link, log[0], fn).detach();
  if (fn) return 0;
  // Synchronous: wait until the link is up or pppd has ended.
  std::unique_lock<std::mutex> lk(g.mutex);
  g.cv.wait(lk, [&] { return link->up || !g.links.count(link->handle); });
  return link->up ? 0 : link->error;
}

RAS_EXPORT DWORD RasEnumConnectionsA(RASCONNA* array, DWORD* cb, DWORD* count) {
  std::lock_guard<std::mutex> lk(g.mutex);
  std::vector<RASCONNA> records;
  for (const auto& [h, link] : g.links) {
    if (!link->up || link->going) continue;
    RASCONNA r{};
    r.dwSize = sizeof(r);
    r.hrasconn = reinterpret_cast<HRASCONN>(h);
    Copy(r.szEntryName, sizeof(r.szEntryName), link->entry);
    Copy(r.szDeviceType, sizeof(r.szDeviceType), "modem");
    Copy(r.szDeviceName, sizeof(r.szDeviceName), link->device);
    records.push_back(r);
  }
  return RasEnumerate(array, cb, count, records);
}

RAS_EXPORT DWORD RasEnumEntriesA(const char*, const char*, RASENTRYNAMEA* array, DWORD* cb, DWORD* count) {
  std::vector<RASENTRYNAMEA> records;
  for (const auto& name : Peers()) {
    RASENTRYNAMEA r{};
    r.dwSize = sizeof(r);
    Copy(r.szEntryName, sizeof(r.szEntryName), name);
    records.push_back(r);
  }
  return RasEnumerate(array, cb, count, records);
}

RAS_EXPORT DWORD RasGetConnectStatusA(HRASCONN h, RASCONNSTATUSA* status) {
  if (!status || status->dwSize != sizeof(RASCONNSTATUSA)) return RAS_ERROR_INVALID_SIZE;
  std::lock_guard<std::mutex> lk(g.mutex);
  auto link = Find(h);
  if (!link) return RAS_ERROR_INVALID_HANDLE;
  status->rasconnstate = link->going ? RASCS_Disconnected : link->state;
  status->dwError = link->error;
  Copy(status->szDeviceType, sizeof(status->szDeviceType), "modem");
  Copy(status->szDeviceName, sizeof(status->szDeviceName), link->device);
  return 0;
}

RAS_EXPORT DWORD RasGetErrorStringA(UINT code, char* buffer, DWORD size) {
  if (!buffer || size == 0) return RAS_ERROR_INVALID_SIZE;
  const char* text = nullptr;
  std::string made;
  switch (code) {
    case PPP_NOT_INSTALLED:
      made = "pppd is not installed: " + PppdPath() + " was not found (on Debian: apt install ppp).";
      text = made.c_str();
      break;
    case PPP_ACCESS_DENIED:
      text = "pppd may not be run by the engine: it needs root, or membership of pppd's group (dip on Debian).";
      break;
    case RAS_ERROR_INVALID_HANDLE: text = "The handle is invalid."; break;
    case RAS_ERROR_NOT_ENOUGH_MEMORY: text = "Not enough resources to start pppd."; break;
    case RAS_ERROR_NOT_SUPPORTED: text = "The request is not supported."; break;
    case PPP_OPTION_ERROR:
      text =
          "pppd refused its options: check the peer file (an engine not running as root loads passwordfd.so "
          "there).";
      break;
    case PPP_NO_KERNEL_SUPPORT: text = "This system has no kernel PPP support (/dev/ppp)."; break;
    case RAS_ERROR_BUFFER_TOO_SMALL: text = "The buffer is too small."; break;
    case RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY: text = "Cannot find the phone book entry (pppd peer)."; break;
    case RAS_ERROR_INVALID_SIZE: text = "The structure size is incorrect."; break;
    case PPP_REMOTE_DISCONNECTION: text = "The connection was closed by the remote computer."; break;
    case PPP_USER_DISCONNECTION: text = "The connection was closed."; break;
    case PPP_PORT_NOT_AVAILABLE:
      text = "The port is not available: the serial device is in use or cannot be opened.";
      break;
    case PPP_FROM_DEVICE: text = "pppd reported an error."; break;
    case RAS_ERROR_NO_ANSWER: text = "There is no answer: the connect script failed."; break;
    case RAS_ERROR_AUTHENTICATION_FAILURE:
      text = "Access was denied because the username and/or password was invalid.";
      break;
    case PPP_TIMEOUT: text = "The PPP negotiation did not complete."; break;
    default: break;
  }
  return RasCopyErrorText(code, text, buffer, size);
}

RAS_EXPORT DWORD RasHangUpA(HRASCONN h) {
  std::lock_guard<std::mutex> lk(g.mutex);
  auto link = Find(h);
  if (!link) return RAS_ERROR_INVALID_HANDLE;
  link->going = true;
  // The pid is ours until the monitor has reaped it, which it cannot do while this lock is held.
  if (link->pid > 0) kill(link->pid, SIGTERM);
  return 0;
}

RAS_EXPORT DWORD RasGetProjectionInfoA(HRASCONN h, DWORD projection, void* info, DWORD* cb) {
  if (projection != RASP_PppIp) return RAS_ERROR_NOT_SUPPORTED;
  if (!info || !cb || *cb < sizeof(RASPPPIPA) || static_cast<RASPPPIPA*>(info)->dwSize != sizeof(RASPPPIPA))
    return RAS_ERROR_INVALID_SIZE;
  std::lock_guard<std::mutex> lk(g.mutex);
  auto link = Find(h);
  if (!link || !link->up || link->going) return RAS_ERROR_INVALID_HANDLE;
  auto* ip = static_cast<RASPPPIPA*>(info);
  ip->dwError = 0;
  Copy(ip->szIpAddress, sizeof(ip->szIpAddress), link->address);
  Copy(ip->szServerIpAddress, sizeof(ip->szServerIpAddress), link->server);
  *cb = sizeof(RASPPPIPA);
  return 0;
}

RAS_EXPORT DWORD RasCreatePhonebookEntryA(HWND, const char*) { return RAS_ERROR_NOT_SUPPORTED; }
RAS_EXPORT DWORD RasEditPhonebookEntryA(HWND, const char*, const char*) { return RAS_ERROR_NOT_SUPPORTED; }
RAS_EXPORT DWORD RasSetEntryDialParamsA(const char*, RASDIALPARAMSA*, BOOL) { return RAS_ERROR_NOT_SUPPORTED; }
RAS_EXPORT DWORD RasGetEntryDialParamsA(const char*, RASDIALPARAMSA*, BOOL*) { return RAS_ERROR_NOT_SUPPORTED; }
