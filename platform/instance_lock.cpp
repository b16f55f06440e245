#include "platform/instance_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/svc.h"

namespace platform {

std::string NamedMutex::PathFor(const std::string& name) { return svc::RunDirectory() + "/" + name + ".lock"; }

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, long* error) {
  std::string dir = svc::RunDirectory();
  for (size_t i = 1; i <= dir.size(); ++i)
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  int fd = open(PathFor(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = kAccessDenied;
    return nullptr;
  }
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    int e = errno;
    close(fd);
    if (error) *error = (e == EAGAIN || e == EACCES) ? kAlreadyExists : kAccessDenied;
    return nullptr;
  }
  if (error) *error = 0;
  return std::unique_ptr<NamedMutex>(new NamedMutex(fd));
}

bool NamedMutex::IsHeld(const std::string& name) {
  int fd = open(PathFor(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return held;
}

NamedMutex::~NamedMutex() {
  if (m_fd >= 0) close(m_fd);
}

}  // namespace platform
