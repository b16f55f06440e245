// The Remote Access simulator: a shared library with the eleven entry points of ras_api.h whose
// phonebook and dial outcomes are scripted, so the dialer and dial on demand can be run end to
// end on a machine without any modem or PPP link. It honours the layer's contract (ras_api.h).
//
// Phonebook: the file named by TRELLIS_RASSIM_PHONEBOOK, read again at every call (a test may
// change it while an engine runs), plus entries scripted in-process with RasSimSetEntry (they win
// over the file's). Form: "[Entry name]" starts an entry, "key=value" lines follow, "#" starts a
// comment. Keys:
//   connect_ms    time the dial takes (default 50)
//   outcome       ok | error:N | hang | handle-with-error:N | fail-first:K | drop-after:MS
//                 (error: the dial fails with N; hang: it never ends; handle-with-error: RasDialA
//                 returns N together with a live handle; fail-first: the first K dials of the entry
//                 fail with 678, later ones connect; drop-after: the link goes MS after it came up)
//   address, server            the PPP addresses (default 10.64.0.2 and 10.64.0.1)
//   device_type, device_name   (default "modem", "Sim Modem")
//   user, password             when given, a dial with other credentials fails with 691
//   hangup_ms     how long a hang-up takes until the link is fully down (default 0)
//   hangup_error  RasHangUpA answers this code instead of hanging up
//   early_notify  1: the final notification is delivered before RasDialA returns
// The file is bounded (64 KiB, lines of 1 KiB, 256 entries); what does not parse is skipped.
//
// State: when TRELLIS_RASSIM_STATE names a file, it is rewritten after every dial, hang-up and
// link change with lines "dials N", "dial <entry> N", "hangups N", "up <entry>" per live link, and
// the last dial's "last_entry", "last_user", "last_callback", "last_domain", "last_options" (never
// the password). In-process, the RasSim* functions below control and observe the same state.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/dialer/ras_api.h"

#define RAS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr size_t kMaxLine = 1024;
constexpr size_t kMaxEntries = 256;

struct Entry {
  std::string name;
  uint32_t connectMs = 50;
  std::string outcome = "ok";
  std::string address = "10.64.0.2";
  std::string server = "10.64.0.1";
  std::string deviceType = "modem";
  std::string deviceName = "Sim Modem";
  std::string user, password;
  bool checkCredentials = false;
  uint32_t hangupMs = 0;
  uint32_t hangupError = 0;
  bool earlyNotify = false;
};

struct Conn {
  uintptr_t handle = 0;
  Entry entry;
  RASCONNSTATE state = RASCS_OpenPort;
  DWORD error = 0;
  bool up = false;     // connected
  bool going = false;  // hang-up begun
  bool cancelled = false;
  bool finalEntered = false;  // the worker is delivering its last notification
};

// The layer's state lives as long as the process: dial and hang-up threads of the layer may still
// be sleeping while the process ends, and must never wake to destroyed objects.
struct State {
  std::mutex mutex;
  std::condition_variable cv;
  std::map<uintptr_t, std::shared_ptr<Conn>> conns;
  std::map<std::string, Entry> scripted;
  std::map<std::string, uint32_t> dialsByEntry;
  uint32_t dials = 0;
  uint32_t hangups = 0;
  uintptr_t nextHandle = 0x5100;
  RASDIALPARAMSA lastParams{};
  RASDIALEXTENSIONS lastExt{};
  DWORD lastNotifierType = 0;
};
State& g_state = *new State;
std::mutex& g_mutex = g_state.mutex;
std::condition_variable& g_cv = g_state.cv;
std::map<uintptr_t, std::shared_ptr<Conn>>& g_conns = g_state.conns;
std::map<std::string, Entry>& g_scripted = g_state.scripted;
std::map<std::string, uint32_t>& g_dialsByEntry = g_state.dialsByEntry;
uint32_t& g_dials = g_state.dials;
uint32_t& g_hangups = g_state.hangups;
uintptr_t& g_nextHandle = g_state.nextHandle;
RASDIALPARAMSA& g_lastParams = g_state.lastParams;
RASDIALEXTENSIONS& g_lastExt = g_state.lastExt;
DWORD& g_lastNotifierType = g_state.lastNotifierType;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

uint32_t Number(const std::string& s) {
  char* end = nullptr;
  unsigned long v = strtoul(s.c_str(), &end, 10);
  return end && *end == '\0' && !s.empty() ? static_cast<uint32_t>(std::min<unsigned long>(v, 0xFFFFFFFFul)) : 0;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > RAS_MaxEntryName) return false;
  for (unsigned char c : name)
    if (c < 0x20) return false;
  return true;
}

void Apply(Entry& e, const std::string& key, const std::string& value) {
  if (key == "connect_ms")
    e.connectMs = Number(value);
  else if (key == "outcome")
    e.outcome = value;
  else if (key == "address")
    e.address = value.substr(0, RAS_MaxIpAddress);
  else if (key == "server")
    e.server = value.substr(0, RAS_MaxIpAddress);
  else if (key == "device_type")
    e.deviceType = value.substr(0, RAS_MaxDeviceType);
  else if (key == "device_name")
    e.deviceName = value.substr(0, RAS_MaxDeviceName);
  else if (key == "user")
    e.user = value, e.checkCredentials = true;
  else if (key == "password")
    e.password = value, e.checkCredentials = true;
  else if (key == "hangup_ms")
    e.hangupMs = Number(value);
  else if (key == "hangup_error")
    e.hangupError = Number(value);
  else if (key == "early_notify")
    e.earlyNotify = value == "1";
}

// The phonebook: the file's entries with the scripted ones over them (g_mutex held).
std::vector<Entry> Phonebook() {
  std::vector<Entry> out;
  if (const char* path = getenv("TRELLIS_RASSIM_PHONEBOOK"); path && *path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxFileBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    std::istringstream lines(text);
    std::string line;
    Entry* current = nullptr;
    while (std::getline(lines, line)) {
      if (line.size() > kMaxLine) continue;
      line = Trim(line);
      if (line.empty() || line[0] == '#') continue;
      if (line.front() == '[' && line.back() == ']') {
        std::string name = line.substr(1, line.size() - 2);
        current = nullptr;
        if (!ValidName(name) || out.size() >= kMaxEntries) continue;
        out.push_back(Entry{});
        current = &out.back();
        current->name = name;
        continue;
      }
      size_t eq = line.find('=');
      if (current && eq != std::string::npos) Apply(*current, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    }
  }
  for (const auto& scripted : g_scripted) {
    const Entry& e = scripted.second;
    auto it = std::find_if(out.begin(), out.end(), [&](const Entry& x) { return x.name == e.name; });
    if (it != out.end())
      *it = e;
    else
      out.push_back(e);
  }
  return out;
}

bool FindEntry(const std::string& name, Entry* out) {
  for (const auto& e : Phonebook())
    if (strcasecmp(e.name.c_str(), name.c_str()) == 0) {
      *out = e;
      return true;
    }
  return false;
}

void Copy(char* dst, size_t size, const std::string& src) { snprintf(dst, size, "%s", src.c_str()); }

// Rewrites the state file (g_mutex held).
void WriteState() {
  const char* path = getenv("TRELLIS_RASSIM_STATE");
  if (!path || !*path) return;
  std::string text = "dials " + std::to_string(g_dials) + "\n";
  for (const auto& [name, n] : g_dialsByEntry) text += "dial " + name + " " + std::to_string(n) + "\n";
  text += "hangups " + std::to_string(g_hangups) + "\n";
  for (const auto& [h, c] : g_conns)
    if (c->up && !c->going) text += "up " + c->entry.name + "\n";
  text += "last_entry " + std::string(g_lastParams.szEntryName) + "\n";
  text += "last_user " + std::string(g_lastParams.szUserName) + "\n";
  text += "last_callback " + std::string(g_lastParams.szCallbackNumber) + "\n";
  text += "last_domain " + std::string(g_lastParams.szDomain) + "\n";
  text += "last_options " + std::to_string(g_lastExt.dwfOptions) + "\n";
  std::string tmp = std::string(path) + ".tmp";
  if (FILE* f = fopen(tmp.c_str(), "w")) {
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    rename(tmp.c_str(), path);
  }
}

// How a dial of that entry ends: 0 connects, a code fails; hang: never ends (g_mutex held).
struct Outcome {
  DWORD error = 0;
  bool hang = false;
  bool handleWithError = false;
  uint32_t dropAfterMs = 0;
};

Outcome Decide(const Entry& e, const RASDIALPARAMSA& params, uint32_t dialNumber) {
  Outcome o;
  const std::string& out = e.outcome;
  if (out.rfind("error:", 0) == 0)
    o.error = Number(out.substr(6));
  else if (out == "hang")
    o.hang = true;
  else if (out.rfind("handle-with-error:", 0) == 0)
    o.error = Number(out.substr(18)), o.handleWithError = true;
  else if (out.rfind("fail-first:", 0) == 0)
    o.error = dialNumber <= Number(out.substr(11)) ? static_cast<DWORD>(RAS_ERROR_NO_ANSWER) : 0u;
  else if (out.rfind("drop-after:", 0) == 0)
    o.dropAfterMs = Number(out.substr(11));
  if (!o.error && e.checkCredentials && (e.user != params.szUserName || e.password != params.szPassword))
    o.error = RAS_ERROR_AUTHENTICATION_FAILURE;
  return o;
}

// Waits up to ms unless the connection is cancelled; true when cancelled (lock held by caller).
bool SleepCancellable(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Conn>& c, uint32_t ms) {
  return g_cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return c->cancelled; });
}

void DropLater(std::shared_ptr<Conn> c, uint32_t ms) {
  std::thread([c, ms] {
    std::unique_lock<std::mutex> lk(g_mutex);
    if (SleepCancellable(lk, c, ms)) return;
    g_conns.erase(c->handle);
    WriteState();
  }).detach();
}

// The asynchronous dial: the state sequence through the notifier, then connected or the error.
void DialWorker(std::shared_ptr<Conn> c, Outcome o, RASDIALFUNC1 notifier) {
  auto h = reinterpret_cast<HRASCONN>(c->handle);
  const RASCONNSTATE steps[] = {RASCS_OpenPort,        RASCS_PortOpened,          RASCS_ConnectDevice,
                                RASCS_DeviceConnected, RASCS_AllDevicesConnected, RASCS_Authenticate};
  const uint32_t stepMs = c->entry.connectMs / 6;
  // early_notify: straight to the final notification, which then comes while RasDialA waits.
  for (RASCONNSTATE s : steps) {
    if (c->entry.earlyNotify) break;
    {
      std::unique_lock<std::mutex> lk(g_mutex);
      if (c->cancelled) return;
      c->state = s;
    }
    notifier(h, 0, s, 0, 0);
    std::unique_lock<std::mutex> lk(g_mutex);
    if (SleepCancellable(lk, c, stepMs)) return;
  }
  if (o.hang) return;
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    if (c->cancelled) return;
    if (o.error) {
      c->error = o.error;
    } else {
      c->state = RASCS_Connected;
      c->up = true;
    }
    c->finalEntered = true;
    WriteState();
  }
  g_cv.notify_all();
  notifier(h, 0, o.error ? c->state : RASCS_Connected, o.error, 0);
  if (!o.error && o.dropAfterMs) DropLater(c, o.dropAfterMs);
}

std::shared_ptr<Conn> FindConn(HRASCONN h) {
  auto it = g_conns.find(reinterpret_cast<uintptr_t>(h));
  return it == g_conns.end() ? nullptr : it->second;
}

}  // namespace

// ---- The eleven entry points ----------------------------------------------------------------

RAS_EXPORT DWORD RasDialA(RASDIALEXTENSIONS* ext, const char* phonebook, RASDIALPARAMSA* params, DWORD notifierType,
                          void* notifier, HRASCONN* out) {
  if (!params || !out || params->dwSize != sizeof(RASDIALPARAMSA)) return RAS_ERROR_INVALID_SIZE;
  if (ext && ext->dwSize != sizeof(RASDIALEXTENSIONS)) return RAS_ERROR_INVALID_SIZE;
  if (notifier && notifierType != 1) return RAS_ERROR_NOT_SUPPORTED;
  std::unique_lock<std::mutex> lk(g_mutex);
  g_lastParams = *params;
  g_lastParams.szPassword[0] = '\0';
  g_lastExt = ext ? *ext : RASDIALEXTENSIONS{};
  g_lastNotifierType = notifier ? notifierType : 0;
  const std::string name(params->szEntryName, strnlen(params->szEntryName, sizeof(params->szEntryName)));
  Entry e;
  ++g_dials;
  if (!FindEntry(name, &e)) {
    WriteState();
    return RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  }
  const uint32_t number = ++g_dialsByEntry[e.name];
  Outcome o = Decide(e, *params, number);
  auto c = std::make_shared<Conn>();
  c->handle = g_nextHandle++;
  c->entry = e;
  g_conns[c->handle] = c;
  *out = reinterpret_cast<HRASCONN>(c->handle);
  WriteState();
  if (o.handleWithError) {
    c->error = o.error;
    return o.error;
  }
  if (!notifier) {
    // Synchronous: the call itself takes the dial's time (a hang ends after 10 s with no answer).
    const uint32_t wait = o.hang ? 10000 : e.connectMs;
    if (SleepCancellable(lk, c, wait)) return RAS_ERROR_NO_ANSWER;
    if (o.hang) o.error = RAS_ERROR_NO_ANSWER;
    if (o.error) {
      c->error = o.error;
      WriteState();
      return o.error;
    }
    c->state = RASCS_Connected;
    c->up = true;
    WriteState();
    if (o.dropAfterMs) DropLater(c, o.dropAfterMs);
    return 0;
  }
  std::thread(DialWorker, c, o, reinterpret_cast<RASDIALFUNC1>(notifier)).detach();
  if (e.earlyNotify && !o.hang) {
    // The final notification is on its way (or delivered) before the caller learns the handle.
    g_cv.wait_for(lk, std::chrono::seconds(10), [&] { return c->finalEntered || c->cancelled; });
    lk.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

RAS_EXPORT DWORD RasEnumConnectionsA(RASCONNA* array, DWORD* cb, DWORD* count) {
  std::lock_guard<std::mutex> lk(g_mutex);
  std::vector<RASCONNA> records;
  for (const auto& [h, c] : g_conns) {
    if (!c->up || c->going) continue;
    RASCONNA r{};
    r.dwSize = sizeof(RASCONNA);
    r.hrasconn = reinterpret_cast<HRASCONN>(h);
    Copy(r.szEntryName, sizeof(r.szEntryName), c->entry.name);
    Copy(r.szDeviceType, sizeof(r.szDeviceType), c->entry.deviceType);
    Copy(r.szDeviceName, sizeof(r.szDeviceName), c->entry.deviceName);
    records.push_back(r);
  }
  return RasEnumerate(array, cb, count, records);
}

RAS_EXPORT DWORD RasEnumEntriesA(const char*, const char*, RASENTRYNAMEA* array, DWORD* cb, DWORD* count) {
  std::lock_guard<std::mutex> lk(g_mutex);
  std::vector<RASENTRYNAMEA> records;
  for (const auto& e : Phonebook()) {
    RASENTRYNAMEA r{};
    r.dwSize = sizeof(RASENTRYNAMEA);
    Copy(r.szEntryName, sizeof(r.szEntryName), e.name);
    records.push_back(r);
  }
  return RasEnumerate(array, cb, count, records);
}

RAS_EXPORT DWORD RasGetConnectStatusA(HRASCONN h, RASCONNSTATUSA* status) {
  if (!status || status->dwSize != sizeof(RASCONNSTATUSA)) return RAS_ERROR_INVALID_SIZE;
  std::lock_guard<std::mutex> lk(g_mutex);
  auto c = FindConn(h);
  if (!c) return RAS_ERROR_INVALID_HANDLE;
  status->rasconnstate = c->going ? RASCS_Disconnected : c->state;
  status->dwError = c->error;
  Copy(status->szDeviceType, sizeof(status->szDeviceType), c->entry.deviceType);
  Copy(status->szDeviceName, sizeof(status->szDeviceName), c->entry.deviceName);
  return 0;
}

RAS_EXPORT DWORD RasGetErrorStringA(UINT code, char* buffer, DWORD size) {
  if (!buffer || size == 0) return RAS_ERROR_INVALID_SIZE;
  const char* text = nullptr;
  switch (code) {
    case RAS_ERROR_INVALID_HANDLE: text = "The handle is invalid."; break;
    case RAS_ERROR_NOT_ENOUGH_MEMORY: text = "Not enough storage is available to process this command."; break;
    case RAS_ERROR_NOT_SUPPORTED: text = "The request is not supported."; break;
    case RAS_PENDING: text = "An operation is pending."; break;
    case RAS_ERROR_BUFFER_TOO_SMALL: text = "The buffer is too small."; break;
    case RAS_ERROR_OUT_OF_BUFFERS: text = "Out of buffers."; break;
    case RAS_ERROR_CANNOT_LOAD_PHONEBOOK: text = "Cannot load the phone book file."; break;
    case RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY: text = "Cannot find the phone book entry."; break;
    case RAS_ERROR_CORRUPT_PHONEBOOK: text = "The phone book file is corrupted."; break;
    case RAS_ERROR_INVALID_SIZE: text = "The structure size is incorrect."; break;
    case RAS_ERROR_NO_ANSWER: text = "There is no answer."; break;
    case RAS_ERROR_AUTHENTICATION_FAILURE:
      text = "Access was denied because the username and/or password was invalid on the domain.";
      break;
    default: break;
  }
  return RasCopyErrorText(code, text, buffer, size);
}

RAS_EXPORT DWORD RasHangUpA(HRASCONN h) {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    c = FindConn(h);
    if (!c) return RAS_ERROR_INVALID_HANDLE;
    if (c->entry.hangupError) return c->entry.hangupError;
    ++g_hangups;
    c->cancelled = true;
    c->going = true;
    if (c->entry.hangupMs == 0) g_conns.erase(c->handle);
    WriteState();
  }
  g_cv.notify_all();
  if (c->entry.hangupMs) {
    std::thread([c] {
      std::this_thread::sleep_for(std::chrono::milliseconds(c->entry.hangupMs));
      std::lock_guard<std::mutex> lk(g_mutex);
      g_conns.erase(c->handle);
      WriteState();
    }).detach();
  }
  return 0;
}

RAS_EXPORT DWORD RasGetProjectionInfoA(HRASCONN h, DWORD projection, void* info, DWORD* cb) {
  if (projection != RASP_PppIp) return RAS_ERROR_NOT_SUPPORTED;
  if (!info || !cb || *cb < sizeof(RASPPPIPA) || static_cast<RASPPPIPA*>(info)->dwSize != sizeof(RASPPPIPA))
    return RAS_ERROR_INVALID_SIZE;
  std::lock_guard<std::mutex> lk(g_mutex);
  auto c = FindConn(h);
  if (!c || !c->up || c->going) return RAS_ERROR_INVALID_HANDLE;
  auto* ip = static_cast<RASPPPIPA*>(info);
  ip->dwError = 0;
  Copy(ip->szIpAddress, sizeof(ip->szIpAddress), c->entry.address);
  Copy(ip->szServerIpAddress, sizeof(ip->szServerIpAddress), c->entry.server);
  *cb = sizeof(RASPPPIPA);
  return 0;
}

RAS_EXPORT DWORD RasCreatePhonebookEntryA(HWND, const char*) { return RAS_ERROR_NOT_SUPPORTED; }
RAS_EXPORT DWORD RasEditPhonebookEntryA(HWND, const char*, const char*) { return RAS_ERROR_NOT_SUPPORTED; }
RAS_EXPORT DWORD RasSetEntryDialParamsA(const char*, RASDIALPARAMSA*, BOOL) { return RAS_ERROR_NOT_SUPPORTED; }
RAS_EXPORT DWORD RasGetEntryDialParamsA(const char*, RASDIALPARAMSA*, BOOL*) { return RAS_ERROR_NOT_SUPPORTED; }

// ---- Test control ---------------------------------------------------------------------------

// Forgets every link (without notifications), counter and scripted entry.
RAS_EXPORT void RasSimReset() {
  std::lock_guard<std::mutex> lk(g_mutex);
  for (auto& [h, c] : g_conns) c->cancelled = true;
  g_conns.clear();
  g_scripted.clear();
  g_dialsByEntry.clear();
  g_dials = 0;
  g_hangups = 0;
  g_lastParams = RASDIALPARAMSA{};
  g_lastExt = RASDIALEXTENSIONS{};
  g_lastNotifierType = 0;
  g_cv.notify_all();
}

// Scripts an entry: "key=value;key=value" with the phonebook file's keys. 0 when taken.
RAS_EXPORT int RasSimSetEntry(const char* name, const char* settings) {
  if (!name || !ValidName(name) || !settings) return -1;
  Entry e;
  e.name = name;
  std::string s = settings;
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t end = s.find(';', pos);
    if (end == std::string::npos) end = s.size();
    std::string item = s.substr(pos, end - pos);
    size_t eq = item.find('=');
    if (eq != std::string::npos) Apply(e, Trim(item.substr(0, eq)), Trim(item.substr(eq + 1)));
    pos = end + 1;
  }
  std::lock_guard<std::mutex> lk(g_mutex);
  g_scripted[e.name] = e;
  return 0;
}

// The live link of the entry goes down at once, as a line drop would take it. 0 when there was one.
RAS_EXPORT int RasSimDropConnection(const char* name) {
  std::lock_guard<std::mutex> lk(g_mutex);
  for (auto it = g_conns.begin(); it != g_conns.end(); ++it) {
    if (strcasecmp(it->second->entry.name.c_str(), name) == 0 && it->second->up) {
      it->second->cancelled = true;
      g_conns.erase(it);
      WriteState();
      g_cv.notify_all();
      return 0;
    }
  }
  return -1;
}

// A link of the entry comes up as if dialled outside the engine. 0 when made.
RAS_EXPORT int RasSimConnectExternally(const char* name) {
  std::lock_guard<std::mutex> lk(g_mutex);
  Entry e;
  if (!FindEntry(name, &e)) return -1;
  auto c = std::make_shared<Conn>();
  c->handle = g_nextHandle++;
  c->entry = e;
  c->state = RASCS_Connected;
  c->up = true;
  g_conns[c->handle] = c;
  WriteState();
  return 0;
}

// Dials of the entry (null: of every entry, unknown entries included).
RAS_EXPORT uint32_t RasSimDialCount(const char* name) {
  std::lock_guard<std::mutex> lk(g_mutex);
  if (!name) return g_dials;
  auto it = g_dialsByEntry.find(name);
  return it == g_dialsByEntry.end() ? 0 : it->second;
}

RAS_EXPORT uint32_t RasSimHangUpCount() {
  std::lock_guard<std::mutex> lk(g_mutex);
  return g_hangups;
}

// The last dial's parameters (password blanked), extensions and notifier type. 0 when one was made.
RAS_EXPORT int RasSimLastDial(RASDIALPARAMSA* params, RASDIALEXTENSIONS* ext, DWORD* notifierType) {
  std::lock_guard<std::mutex> lk(g_mutex);
  if (g_dials == 0) return -1;
  if (params) *params = g_lastParams;
  if (ext) *ext = g_lastExt;
  if (notifierType) *notifierType = g_lastNotifierType;
  return 0;
}
