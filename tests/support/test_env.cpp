#include "tests/support/test_env.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace trellis::test {
namespace {

std::string CreateRoot() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "trellis-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    perror("mkdtemp");
    std::abort();
  }
  return tmpl;
}

struct Root {
  std::string path = CreateRoot();
  pid_t owner = getpid();
  Root() {
    setenv("TRELLIS_REGISTRY", (path + "/registry.db").c_str(), 1);
    std::filesystem::create_directories(path + "/home");
    std::filesystem::create_directories(path + "/run");
    setenv("TRELLIS_HOME", (path + "/home").c_str(), 1);
    setenv("TRELLIS_RUNDIR", (path + "/run").c_str(), 1);
    setenv("TRELLIS_EVENTLOG", (path + "/events.log").c_str(), 1);
    // The dialer's layer over pppd sits beside the test programs: its phonebook is an empty
    // folder, not the machine's own peers (Debian's ppp ships one), which an engine would take
    // for a dial-up interface.
    std::filesystem::create_directories(path + "/ppp-peers");
    setenv("TRELLIS_PPP_PEERS", (path + "/ppp-peers").c_str(), 1);
    // The engine's folders (logs, audit files, cache) are relative to the current directory, as
    // the engine changes to its home at start; a test never writes into the source tree.
    if (chdir((path + "/home").c_str()) != 0) perror("chdir");
  }
  ~Root() {
    // A forked child must not remove its parent's folder.
    if (getpid() != owner || getenv("TRELLIS_KEEP_TEST_DIRS")) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// Set up before main() so that no code reads the environment before it points at the test folder.
Root& TheRoot() {
  static Root root;
  return root;
}
[[maybe_unused]] const bool kEarly = (TheRoot(), true);

}  // namespace

const std::string& TempRoot() { return TheRoot().path; }

std::string MakeTempDir(const std::string& hint) {
  static std::atomic<int> n{0};
  std::string p = TempRoot() + "/" + hint + "." + std::to_string(++n);
  std::filesystem::create_directories(p);
  return p;
}

std::string BuildPath(const std::string& name) { return std::string(TRELLIS_BUILD_DIR) + "/" + name; }
std::string SourcePath(const std::string& name) { return std::string(TRELLIS_SOURCE_DIR) + "/" + name; }

int RunCommand(const std::string& cmd, std::string* out) {
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int st = pclose(p);
  if (out) *out = text;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::shared_ptr<platform::reg::Store> OpenFreshStore(const std::string& hint) {
  std::string error;
  auto store = platform::reg::Store::Open(MakeTempDir(hint) + "/registry.db", &error);
  EXPECT_TRUE(store) << error;
  return store;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

std::vector<std::string> CRLFLines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      out.push_back(text.substr(pos) + "<unterminated>");
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

}  // namespace trellis::test
