#include "engine/dialer/dialer.h"

#include <strings.h>

#include <cstdarg>
#include <cstring>

#include "engine/config/util.h"
#include "engine/core/nt_service.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/msg_thread.h"

namespace {

// The dialer the layer's notifier reaches. Made once and never destroyed: the layer's threads
// may call the notifier while the process exits, after static objects have gone.
struct NotifierTarget {
  std::mutex mutex;
  std::weak_ptr<CDialer> dialer;
};
NotifierTarget& Target() {
  static NotifierTarget* const target = new NotifierTarget;
  return *target;
}

bool SameNoCase(const CString& a, const CString& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// A text from the layer or a profile stays inside its field and its line.
void Flatten(CString& text) {
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
}

// Calls an enumeration with one record first and again with the size the layer asks for (603).
template <class T, class Call>
DWORD EnumerateAll(Call call, std::vector<T>& out) {
  std::vector<T> records(1);
  records[0].dwSize = sizeof(T);
  DWORD cb = sizeof(T);
  DWORD count = 0;
  DWORD rc = call(records.data(), &cb, &count);
  if (rc == RAS_ERROR_BUFFER_TOO_SMALL) {
    // The size asked for is the layer's word; it is bounded and rounded to whole records.
    const size_t n = std::min<size_t>((cb + sizeof(T) - 1) / sizeof(T), 65536);
    if (n == 0) return rc;
    records.assign(n, T{});
    for (auto& r : records) r.dwSize = sizeof(T);
    cb = static_cast<DWORD>(n * sizeof(T));
    count = 0;
    rc = call(records.data(), &cb, &count);
  }
  if (rc == 0) {
    records.resize(std::min<size_t>(count, records.size()));
    out = std::move(records);
  }
  return rc;
}

}  // namespace

void SetNotifierDialer(const std::shared_ptr<CDialer>& dialer) {
  std::lock_guard<std::mutex> lk(Target().mutex);
  Target().dialer = dialer;
}

// ---- The dialer thread -------------------------------------------------------------------------

class CDialer::Thread : public platform::MsgThread {
 public:
  explicit Thread(std::shared_ptr<CDialer> dialer) : m_dialer(std::move(dialer)) {}

 protected:
  bool InitInstance() override {
    try {
      SetTimer(kTimerId, kTimerMs);
      m_dialer->RefreshPhonebookEntries();
      m_dialer->Log(DIALER_LOG_DEBUG, "Dialer thread started");
      return true;
    } catch (...) {
      m_dialer->Log(DIALER_LOG_DEBUG, "Caught unknown exception in CDialer::InitInstance - dialing will be disabled");
      m_dialer->m_active = false;
      return false;
    }
  }

  int Run() override {
    platform::Message msg;
    for (;;) {
      try {
        if (!GetMessage(&msg)) break;
        OnMessage(msg);
      } catch (...) {
        m_dialer->NoteException();
      }
      msg = platform::Message();
    }
    return ExitInstance();
  }

  int ExitInstance() override {
    m_dialer->Log(DIALER_LOG_DEBUG, "Dialer thread stopping");
    return platform::MsgThread::ExitInstance();
  }

  void OnMessage(platform::Message& msg) override {
    switch (msg.message) {
      case platform::WM_TIMER:
        if (msg.wParam == kTimerId) m_dialer->OnTimer();
        break;
      case platform::WM_DIALER_COMMAND:
        if (auto* name = dynamic_cast<platform::Boxed<CString>*>(msg.payload.get())) {
          if (msg.wParam == 1)
            m_dialer->OnCommand(true, name->value);
          else if (msg.wParam == 0)
            m_dialer->OnCommand(false, name->value);
        }
        break;
      default: break;
    }
  }

 private:
  std::shared_ptr<CDialer> m_dialer;
};

// ---- Life ------------------------------------------------------------------------------------------

CDialer::CDialer() = default;

CDialer::~CDialer() {
  std::lock_guard<std::mutex> lk(m_restartMutex);
  if (m_restartThread.joinable()) {
    // The restart thread may hold the last reference itself; it cannot wait for its own end.
    if (m_restartThread.get_id() == std::this_thread::get_id())
      m_restartThread.detach();
    else
      m_restartThread.join();
  }
  JoinFinishedWorkers(true);
}

std::shared_ptr<CDialerProfileSettings> CDialer::NewProfile() { return std::make_shared<CDialerProfile>(); }

void CDialer::OnProfileDropped(const std::shared_ptr<CDialerProfileSettings>& profile) {
  auto running = std::dynamic_pointer_cast<CDialerProfile>(profile);
  if (running && IsActive()) running->HangUp(*this);
}

void CDialer::SetRasApi(std::shared_ptr<const RasApi> api) { m_ras = std::move(api); }

void CDialer::SetTickSource(std::function<uint64_t()> source) { m_tickSource = std::move(source); }

uint64_t CDialer::Now() const { return m_tickSource ? m_tickSource() : platform::TickCount64(); }

bool CDialer::LoadLibraryOnce() {
  if (m_ras && m_ras->IsComplete()) return true;
  std::string error;
  const std::string path = RasLibraryPath();
  auto api = LoadRasApi(path, &error);
  if (!api) {
    Log(DIALER_LOG_DEBUG, "%s", error.c_str());
    platform::eventlog::Report("TrellisEngine", platform::eventlog::kWarning, EVMSG_DEBUG, error);
    return false;
  }
  // Which layer dials is the first thing an operator asks of a dialer that does not do what he
  // expects: said once, where the default log options and the event log show it.
  const std::string used = "Dialing through the Remote Access library " + path;
  Log(DIALER_LOG_NORMAL, "%s", used.c_str());
  platform::eventlog::Report("TrellisEngine", platform::eventlog::kInformation, EVMSG_DEBUG, used);
  m_ras = std::move(api);
  return true;
}

void CDialer::Start() {
  std::lock_guard<std::mutex> life(m_lifeMutex);
  if (m_thread && !m_thread->HasEnded()) return;
  m_stopping = false;
  {
    CLockGuard g(*this);
    TimerInterval = SaneTimerInterval(TimerInterval);
  }
  OpenLogFile();
  if (!LoadLibraryOnce()) {
    m_active = false;
    return;
  }
  m_active = true;
  m_havePass = false;
  m_ticks = 0;
  SetNotifierDialer(shared_from_this());
  m_thread = std::make_shared<Thread>(shared_from_this());
  if (!m_thread->CreateThread()) {
    Log(DIALER_LOG_DEBUG, "Caught unknown exception in CDialer::InitInstance - dialing will be disabled");
    m_active = false;
  }
}

void CDialer::Stop() {
  std::lock_guard<std::mutex> life(m_lifeMutex);
  m_stopping = true;
  // Every wait of a dial ends now: pauses, busy waits, gates, link events. Each waiter's mutex is
  // taken once, so none can be between its test of the flag and its wait.
  { std::lock_guard<std::mutex> lk(m_pauseMutex); }
  m_pauseCv.notify_all();
  { std::lock_guard<std::mutex> lk(m_requestsMutex); }
  m_busyCv.notify_all();
  for (const auto& p : GetProfiles()) {
    p->SignalEvent();
    { std::lock_guard<std::mutex> lk(p->m_gateMutex); }
    p->m_gateCv.notify_all();
  }
  if (m_thread) {
    m_thread->PostQuit(0);
    m_thread->WaitForExit(-1);
    m_thread.reset();
  }
  JoinFinishedWorkers(true);
  if (m_active) {
    for (const auto& p : GetProfiles()) {
      try {
        if (p->CheckConnection(*this)) {
          Log(DIALER_LOG_DEBUG, "Hanging up profile %s\n", p->ProfileNameText().c_str());
          p->HangUp(*this);
        }
      } catch (...) {
        // Stopping goes on for the other profiles; this link is left to the layer.
      }
    }
  }
  m_active = false;
  CloseLogFile();
}

void CDialer::Restart(const CString& key) {
  std::lock_guard<std::mutex> lk(m_restartMutex);
  if (m_restartThread.joinable()) m_restartThread.join();
  auto self = shared_from_this();
  m_restartThread = std::thread([self, key] {
    try {
      self->Stop();
      platform::SleepMs(kRestartPauseMs);
      // The stored settings again: a profile still named keeps its object (and whoever holds it).
      self->Load(key);
      self->Start();
    } catch (...) {
      // A restart that failed leaves the dialer stopped; the operator's next start tries again.
    }
  });
}

void CDialer::WaitForRestart() {
  std::lock_guard<std::mutex> lk(m_restartMutex);
  if (m_restartThread.joinable()) m_restartThread.join();
}

void CDialer::PostRestart() {
  if (RequestRestart) RequestRestart();
}

void CDialer::Notify(const CString& name, uint32_t state, const CString& text) {
  if (NotifyProfile) NotifyProfile(name, state, text);
}

void CDialer::NoteException() {
  const uint32_t n = ++m_exceptionsThisSecond;
  Log(DIALER_LOG_DEBUG, "Caught unknown exception in CDialer main thread loop (%u this second)", n);
  if (n > kMaxExceptionsPerSecond) {
    m_exceptionsThisSecond = 0;
    Log(DIALER_LOG_DEBUG, "********* Too many exceptions in CDialer::Run - restarting thread *******");
    PostRestart();
  }
}

// ---- Commands and workers -----------------------------------------------------------------------------

bool CDialer::PostCommand(const CString& name, bool dial) {
  if (!FindProfile(name)) return false;
  std::lock_guard<std::mutex> life(m_lifeMutex);
  if (!m_thread || m_thread->HasEnded()) return false;
  // The name travels, not the profile: the worker looks it up when it runs, so a profile a console
  // removed meanwhile is simply not found.
  return m_thread->Post(platform::WM_DIALER_COMMAND, dial ? 1 : 0, std::make_unique<platform::Boxed<CString>>(name));
}

void CDialer::OnCommand(bool dial, const CString& name) {
  JoinFinishedWorkers(false);
  if (IsStopping()) return;
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto self = shared_from_this();
  std::thread worker([self, dial, name, done] {
    self->RunWorker(dial, name);
    done->store(true);
  });
  std::lock_guard<std::mutex> lk(m_workersMutex);
  m_workers.emplace_back(done, std::move(worker));
}

void CDialer::RunWorker(bool dial, const CString& name) {
  auto profile = FindProfile(name);
  if (!profile) return;
  try {
    if (dial)
      profile->Dial(*this);
    else
      profile->Reset(*this);
  } catch (...) {
    // A failed command leaves the profile as the next timer pass finds it; its status says why.
  }
}

void CDialer::JoinFinishedWorkers(bool all) {
  std::vector<std::thread> finished;
  {
    std::lock_guard<std::mutex> lk(m_workersMutex);
    for (auto it = m_workers.begin(); it != m_workers.end();) {
      if (all || it->first->load()) {
        finished.push_back(std::move(it->second));
        it = m_workers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& t : finished)
    if (t.joinable()) t.join();
}

// ---- Timer pass ----------------------------------------------------------------------------------------

void CDialer::OnTimer() {
  if (!IsActive()) return;
  ++m_ticks;
  m_exceptionsThisSecond = 0;
  uint32_t interval;
  {
    CLockGuard g(*this);
    interval = SaneTimerInterval(TimerInterval);
  }
  if (m_ticks % interval != 0) return;
  const uint64_t start = Now();
  if (m_havePass && start - m_lastPassEnd < static_cast<uint64_t>(interval) * 500) return;
  try {
    // The profiles are walked outside the map's lock: a hang-up may wait seconds for the layer.
    for (const auto& p : GetProfiles()) {
      uint32_t autoConnect, autoDisconnect;
      CString name;
      {
        CLockGuard g(*p);
        autoConnect = p->AutoConnect;
        autoDisconnect = p->AutoDisconnect;
        name = p->Name;
      }
      if (!autoConnect || !autoDisconnect) {
        Log(DIALER_LOG_DEBUG,
            "CDialer::OnTimer skipping timeout check for profile %s - autodisconnect or autoconnect disabled",
            name.c_str());
        p->StopIdleTimer();
        continue;
      }
      if (p->CheckConnection(*this))
        p->CheckIdle(*this, Now());
      else
        p->StopIdleTimer();
    }
  } catch (...) {
    Log(DIALER_LOG_DEBUG, "Caught unknown exception in CDialer::OnTimer part 2 - ignoring");
  }
  const uint64_t end = Now();
  m_lastPassEnd = end;
  m_havePass = true;
  if (end - start > kSlowPassMs)
    Log(DIALER_LOG_DEBUG, "Dialer took %u milliseconds to process OnTimer",
        static_cast<unsigned>(std::min<uint64_t>(end - start, UINT32_MAX)));
}

// ---- Profiles ---------------------------------------------------------------------------------------------

std::shared_ptr<CDialerProfile> CDialer::FindProfile(const CString& name) const {
  return Profiles.LookupAs<CDialerProfile>(name);
}

std::vector<std::shared_ptr<CDialerProfile>> CDialer::GetProfiles() const {
  std::vector<std::shared_ptr<CDialerProfile>> out;
  for (const auto& [name, obj] : Profiles.Snapshot())
    if (auto p = std::dynamic_pointer_cast<CDialerProfile>(obj)) out.push_back(p);
  return out;
}

bool CDialer::IsProfileConnected(const CString& name) {
  if (!IsActive()) return false;
  const auto profiles = GetProfiles();
  // A request criterion names the profile; an older one may name its phonebook entry.
  for (const auto& p : profiles)
    if (SameNoCase(p->ProfileNameText(), name)) return p->CheckConnection(*this);
  for (const auto& p : profiles)
    if (SameNoCase(p->EntryName(), name)) return p->CheckConnection(*this);
  return false;
}

bool CDialer::TryBeginDial(CDialerProfile& profile) {
  std::lock_guard<std::mutex> lk(m_requestsMutex);
  if (profile.m_busy.load()) return false;
  profile.m_busy = true;
  return true;
}

void CDialer::EndDial(CDialerProfile& profile) {
  {
    std::lock_guard<std::mutex> lk(m_requestsMutex);
    profile.m_busy = false;
  }
  m_busyCv.notify_all();
}

void CDialer::WaitWhileBusy(CDialerProfile& profile) {
  std::unique_lock<std::mutex> lk(m_requestsMutex);
  m_busyCv.wait(lk, [&] { return !profile.m_busy.load() || IsStopping(); });
}

bool CDialer::Pause(uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_pauseMutex);
  m_pauseCv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return IsStopping(); });
  return !IsStopping();
}

void CDialer::EnterHandleLocked(HRASCONN handle, const std::shared_ptr<CDialerProfile>& profile) {
  if (!handle) return;
  m_connMap[handle] = profile;
}

void CDialer::RemoveHandle(HRASCONN handle) {
  std::lock_guard<std::mutex> lk(m_connMapMutex);
  m_connMap.erase(handle);
}

size_t CDialer::GetHandleMapSize() {
  std::lock_guard<std::mutex> lk(m_connMapMutex);
  return m_connMap.size();
}

void CDialer::Notifier(HRASCONN handle, UINT, RASCONNSTATE state, DWORD error, DWORD) {
  std::shared_ptr<CDialer> dialer;
  {
    std::lock_guard<std::mutex> lk(Target().mutex);
    dialer = Target().dialer.lock();
  }
  if (!dialer) return;
  std::shared_ptr<CDialerProfile> profile;
  {
    // Waits for a dial that is still entering its handle (see CDialerProfile::Dial).
    std::lock_guard<std::mutex> lk(dialer->m_connMapMutex);
    auto it = dialer->m_connMap.find(handle);
    if (it != dialer->m_connMap.end()) profile = it->second.lock();
  }
  if (profile) profile->OnRasNotify(*dialer, handle, state, error);
}

// ---- The Remote Access side ----------------------------------------------------------------------------

CString CDialer::ErrorText(DWORD code, size_t bufferSize) {
  std::vector<char> buffer(std::max<size_t>(bufferSize, 2), '\0');
  const DWORD rc = m_ras ? m_ras->RasGetErrorStringA(code, buffer.data(), static_cast<DWORD>(buffer.size())) : 1;
  buffer.back() = '\0';
  CString text = rc == 0 ? CString(buffer.data()) : CString();
  Flatten(text);
  return text.empty() ? FormatString("RAS error %u", code) : text;
}

void CDialer::RefreshPhonebookEntries() {
  if (!IsActive()) return;
  Log(DIALER_LOG_DEBUG, "Refreshing OS phonebook entries");
  std::vector<RASENTRYNAMEA> records;
  const DWORD rc = EnumerateAll<RASENTRYNAMEA>(
      [this](RASENTRYNAMEA* a, DWORD* cb, DWORD* n) { return m_ras->RasEnumEntriesA(nullptr, nullptr, a, cb, n); },
      records);
  std::vector<CString> names;
  if (rc == RAS_ERROR_BUFFER_TOO_SMALL || (rc != 0 && rc != RAS_ERROR_NOT_ENOUGH_MEMORY)) {
    Log(DIALER_LOG_DEBUG, "Undocumented error (%u) returned from RasEnumEntries in CDialer::RefreshPhonebookEntries",
        rc);
  } else if (rc != 0) {
    Log(DIALER_LOG_DEBUG, "Error (%u) returned from RasEnumEntries in CDialer::RefreshPhonebookEntries", rc);
  }
  for (auto& r : records) {
    r.szEntryName[sizeof(r.szEntryName) - 1] = '\0';
    if (r.szEntryName[0]) names.emplace_back(r.szEntryName);
  }
  CLockGuard g(*this);
  PhonebookEntries = std::move(names);
}

std::vector<CString> CDialer::GetPhonebookEntries() const {
  CLockGuard g(*this);
  return PhonebookEntries;
}

std::vector<RASCONNA> CDialer::EnumConnections() {
  if (!m_ras) return {};
  std::lock_guard<std::mutex> lk(m_connectionsMutex);
  m_connections.clear();
  std::vector<RASCONNA> records;
  const DWORD rc = EnumerateAll<RASCONNA>(
      [this](RASCONNA* a, DWORD* cb, DWORD* n) { return m_ras->RasEnumConnectionsA(a, cb, n); }, records);
  if (rc == RAS_ERROR_NOT_ENOUGH_MEMORY) {
    Log(DIALER_LOG_DEBUG, "Not enough memory to enum connections in CDialer::EnumConnections()");
  } else if (rc != 0) {
    Log(DIALER_LOG_DEBUG, "RasEnumConnections returned error %u in CDialer::EnumConnections() - returning 0", rc);
  }
  for (auto& r : records) {
    r.szEntryName[sizeof(r.szEntryName) - 1] = '\0';
    r.szDeviceType[sizeof(r.szDeviceType) - 1] = '\0';
    r.szDeviceName[sizeof(r.szDeviceName) - 1] = '\0';
  }
  m_connections = records;
  return records;
}

std::optional<RASCONNA> CDialer::FindConnection(const CString& entry) {
  for (const auto& c : EnumConnections())
    if (SameNoCase(c.szEntryName, entry)) return c;
  return std::nullopt;
}

bool CDialer::GetProjectedIPAddress(HRASCONN handle, CString& address) {
  RASPPPIPA ip{};
  ip.dwSize = sizeof(ip);
  DWORD cb = sizeof(ip);
  DWORD rc = m_ras ? m_ras->RasGetProjectionInfoA(handle, RASP_PppIp, &ip, &cb) : RAS_ERROR_INVALID_HANDLE;
  // The projection carries its own error: an address of a failed projection is no address.
  if (rc == 0 && ip.dwError != 0) rc = ip.dwError;
  if (rc != 0) {
    Log(DIALER_LOG_DEBUG, "Could not get PPP projection info - result %u", rc);
    return false;
  }
  ip.szIpAddress[sizeof(ip.szIpAddress) - 1] = '\0';
  uint32_t parsed = 0;
  if (!TryParseIPAddress(ip.szIpAddress, &parsed)) {
    Log(DIALER_LOG_DEBUG, "Could not get PPP projection info - result %u",
        static_cast<unsigned>(RAS_ERROR_INVALID_SIZE));
    return false;
  }
  address = ip.szIpAddress;
  return true;
}

bool CDialer::GetConnectionIPAddress(const CString& entry, CString& address) {
  if (!IsActive()) return false;
  for (const auto& p : GetProfiles()) {
    if (!SameNoCase(p->EntryName(), entry)) continue;
    return p->CheckConnection(*this) && p->GetAddressText(address);
  }
  auto found = FindConnection(entry);
  return found && GetProjectedIPAddress(found->hrasconn, address);
}

std::vector<CString> CDialer::GetActiveAddresses() {
  std::vector<CString> out;
  if (!IsActive()) return out;
  for (const auto& c : EnumConnections()) {
    CString address;
    if (GetProjectedIPAddress(c.hrasconn, address)) out.push_back(address);
  }
  return out;
}

// ---- Log ------------------------------------------------------------------------------------------------

void CDialer::OpenLogFile() {
  CloseLogFile();
  {
    CLockGuard g(*this);
    if (!LoggingEnabled) return;
  }
  auto file = CLogFile::Open(kLogDirectoryValue, kLogDirectoryDefault, "Dialer");
  if (!file) {
    CLockGuard g(*this);
    LoggingEnabled = 0;
    return;
  }
  std::lock_guard<std::mutex> lk(m_logMutex);
  m_logFile = std::move(file);
}

void CDialer::CloseLogFile() {
  std::shared_ptr<CLogFile> old;
  std::lock_guard<std::mutex> lk(m_logMutex);
  old = std::move(m_logFile);
}

std::shared_ptr<CLogFile> CDialer::GetLogFile() const {
  std::lock_guard<std::mutex> lk(m_logMutex);
  return m_logFile;
}

void CDialer::Log(uint32_t type, const char* format, ...) {
  auto file = GetLogFile();
  if (!file) return;
  {
    CLockGuard g(*this);
    if ((LogOptions & type) == 0) return;
  }
  va_list args;
  va_start(args, format);
  CString text;
  FormatStringV(text, format, args);
  va_end(args);
  Flatten(text);
  const CString stamp = LogTimeStamp();
  CString line = type == DIALER_LOG_DEBUG ? stamp + "\tDebug:\t" + text + "\r\n" : stamp + "\t" + text + "\r\n";
  SubmitLogLine(file, std::move(line));
}
