#include "engine/dialer/ras_api.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace {

template <class F>
bool Bind(void* lib, const char* name, F* slot) {
  *slot = reinterpret_cast<F>(dlsym(lib, name));
  return *slot != nullptr;
}

}  // namespace

bool RasApi::IsComplete() const {
  return RasDialA && RasEnumConnectionsA && RasEnumEntriesA && RasGetConnectStatusA && RasGetErrorStringA &&
         RasHangUpA && RasGetProjectionInfoA && RasCreatePhonebookEntryA && RasEditPhonebookEntryA &&
         RasSetEntryDialParamsA && RasGetEntryDialParamsA;
}

std::string RasLibraryPath() {
  if (const char* configured = getenv("TRELLIS_RASAPI32"); configured && *configured) return configured;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n > 0) {
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.find_last_of('/') + 1);
    std::string beside = dir + "librasapi32.so";
    if (access(beside.c_str(), R_OK) == 0) return beside;
  }
  return "librasapi32.so";
}

std::shared_ptr<const RasApi> LoadRasApi(const std::string& path, std::string* error) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    if (error) *error = kRasNotInstalledText;
    return nullptr;
  }
  auto api = std::make_shared<RasApi>();
  bool ok = Bind(lib, "RasDialA", &api->RasDialA);
  ok &= Bind(lib, "RasEnumConnectionsA", &api->RasEnumConnectionsA);
  ok &= Bind(lib, "RasEnumEntriesA", &api->RasEnumEntriesA);
  ok &= Bind(lib, "RasGetConnectStatusA", &api->RasGetConnectStatusA);
  ok &= Bind(lib, "RasGetErrorStringA", &api->RasGetErrorStringA);
  ok &= Bind(lib, "RasHangUpA", &api->RasHangUpA);
  ok &= Bind(lib, "RasGetProjectionInfoA", &api->RasGetProjectionInfoA);
  ok &= Bind(lib, "RasCreatePhonebookEntryA", &api->RasCreatePhonebookEntryA);
  ok &= Bind(lib, "RasEditPhonebookEntryA", &api->RasEditPhonebookEntryA);
  ok &= Bind(lib, "RasSetEntryDialParamsA", &api->RasSetEntryDialParamsA);
  ok &= Bind(lib, "RasGetEntryDialParamsA", &api->RasGetEntryDialParamsA);
  if (!ok) {
    // Nothing of an incomplete library has been called, so it can go again at once.
    dlclose(lib);
    if (error) *error = kRasBadVersionText;
    return nullptr;
  }
  // The handle is deliberately never closed (see the header).
  return api;
}
