#include "console/model/local_check.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>

#include "engine/access/user_db.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "platform/instance_lock.h"
#include "platform/registry.h"

namespace {
constexpr const char* kEngineMutex = "TrellisEngineApp";
// The longest stored name read back (the registry value is untrusted).
constexpr size_t kMaxStoredName = 512;
}  // namespace

bool IsLocalServer(const CString& server) {
  return (server.size() == 9 && strncasecmp(server.c_str(), "localhost", 9) == 0) || server == "127.0.0.1";
}

bool LocalEngineRunning() {
  const std::string path = platform::NamedMutex::PathFor(kEngineMutex);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == EACCES || errno == EPERM;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  // F_OFD_GETLK only asks: nothing is taken.
  const bool held = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  close(fd);
  return held;
}

LocalCheck CheckLocalLogin(const CString& server, const CString& userName) {
  LocalCheck check;
  check.userName = userName;
  if (!IsLocalServer(server)) return check;
  if (!LocalEngineRunning()) {
    check.result = LocalCheckResult::NotRunning;
    return check;
  }
  // Read only, and never create the file as a side effect.
  const std::string file = platform::reg::Store::DefaultPath();
  if (access(file.c_str(), R_OK) != 0) return check;
  auto store = platform::reg::Store::Open(file);
  if (!store) return check;
  if (!IsValidObjectName(userName)) {
    check.result = LocalCheckResult::NoSuchUser;
    return check;
  }
  const std::string key = GetRegistryRootPath() + "\\" + kUserDatabaseKey + "\\" + userName;
  if (!store->KeyExists(key)) {
    check.result = LocalCheckResult::NoSuchUser;
    return check;
  }
  platform::reg::Value value;
  if (store->GetValue(key, "Name", &value) == platform::reg::kOk && value.data.size() <= kMaxStoredName) {
    CString stored = value.data;
    // A string value may carry its terminator.
    while (!stored.empty() && stored.back() == '\0') stored.pop_back();
    if (stored != userName && stored.size() == userName.size() &&
        strncasecmp(stored.c_str(), userName.c_str(), stored.size()) == 0) {
      check.userName = stored;
    }
  }
  return check;
}
