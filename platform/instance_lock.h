#pragma once
// Named single-instance locks: "<rundir>/<name>.lock" held with an open-file lock. The descriptor
// is close-on-exec, so a program the engine starts never keeps the engine's lock alive.
#include <memory>
#include <string>

namespace platform {

class NamedMutex {
 public:
  // Host-style results.
  static constexpr long kAlreadyExists = 183;
  static constexpr long kAccessDenied = 5;

  // Takes the lock; null with *error set (kAlreadyExists when another holder has it,
  // kAccessDenied when the lock file cannot be opened).
  static std::unique_ptr<NamedMutex> Create(const std::string& name, long* error);
  // Whether someone holds the lock, without taking it.
  static bool IsHeld(const std::string& name);
  static std::string PathFor(const std::string& name);

  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

 private:
  explicit NamedMutex(int fd) : m_fd(fd) {}
  int m_fd;
};

}  // namespace platform
