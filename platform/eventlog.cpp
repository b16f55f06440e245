#include "platform/eventlog.h"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::eventlog {
namespace {

std::mutex g_mu;

const char* TypeName(EventType t) {
  switch (t) {
    case kError: return "error";
    case kWarning: return "warning";
    default: return "information";
  }
}

// Line breaks inside an event would split it into several records in either sink.
std::string OneLine(const std::string& text) {
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

bool WriteFile(const char* path, const std::string& line) {
  // The events name users and addresses: the owner and its group only.
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  return ok;
}

bool WriteSyslog(const std::string& source, EventType type, const std::string& text) {
  const char* path = getenv("TRELLIS_SYSLOG_SOCKET");
  if (!path || !*path) path = "/dev/log";
  if (access(path, F_OK) != 0) return false;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  int severity = type == kError ? 3 : type == kWarning ? 4 : 6;
  int pri = 3 * 8 + severity;  // facility daemon
  char stamp[32];
  time_t now = time(nullptr);
  tm tmv;
  localtime_r(&now, &tmv);
  strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tmv);
  std::string msg = "<" + std::to_string(pri) + ">" + stamp + " " + source + "[" + std::to_string(getpid()) + "]: " + text;
  bool ok = sendto(fd, msg.data(), msg.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ==
            static_cast<ssize_t>(msg.size());
  close(fd);
  return ok;
}

}  // namespace

bool Report(const std::string& source, EventType type, uint32_t eventId, const std::string& text) {
  std::string body = OneLine(text);
  std::lock_guard<std::mutex> lk(g_mu);
  const char* file = getenv("TRELLIS_EVENTLOG");
  if (file && *file) {
    char stamp[32];
    time_t now = time(nullptr);
    tm tmv;
    localtime_r(&now, &tmv);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
    std::string line = std::string(stamp) + " " + source + "[" + std::to_string(getpid()) + "] " + TypeName(type) +
                       " " + std::to_string(eventId) + ": " + body + "\n";
    return WriteFile(file, line);
  }
  return WriteSyslog(source, type, body);
}

}  // namespace platform::eventlog
