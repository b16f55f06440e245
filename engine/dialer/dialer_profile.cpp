#include "engine/dialer/dialer_profile.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/config/util.h"
#include "engine/core/machine.h"
#include "engine/core/session.h"
#include "engine/dialer/dialer.h"

namespace {

// The engine makes running profiles for the stored name; the console, which does not link this
// file, makes the settings alone.
CProgramFactory g_profileFactory(TL_RUNTIME_CLASS(CDialerProfileSettings),
                                 []() -> std::shared_ptr<CObject> { return std::make_shared<CDialerProfile>(); });

constexpr uint32_t kHangUpTries = 3;
constexpr uint32_t kHangUpPollMs = 500;
constexpr uint32_t kHangUpGiveUpMs = 3000;
constexpr uint32_t kHandleErrorPauseMs = 2000;

void CopyField(char* dst, size_t size, const CString& src) {
  // Cut to the field; the layer reads a terminated string.
  size_t n = std::min(src.size(), size - 1);
  memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

bool IsFatal(DWORD code) {
  return code == RAS_ERROR_OUT_OF_BUFFERS || code == RAS_ERROR_CORRUPT_PHONEBOOK ||
         code == RAS_ERROR_CANNOT_LOAD_PHONEBOOK;
}

const char* FatalName(DWORD code) {
  switch (code) {
    case RAS_ERROR_OUT_OF_BUFFERS: return "ERROR_OUT_OF_BUFFERS";
    case RAS_ERROR_CORRUPT_PHONEBOOK: return "ERROR_CORRUPT_PHONEBOOK";
    default: return "ERROR_CANNOT_LOAD_PHONEBOOK";
  }
}

}  // namespace

CDialerProfile::CDialerProfile() = default;

CDialerProfile::~CDialerProfile() = default;

CString CDialerProfile::EntryName() const {
  CLockGuard g(*this);
  return ProfileName;
}

CString CDialerProfile::ProfileNameText() const {
  CLockGuard g(*this);
  return Name;
}

uint32_t CDialerProfile::GetState() const {
  CLockGuard g(*this);
  return m_state;
}

bool CDialerProfile::WasDialled() const {
  CLockGuard g(*this);
  return m_dialled;
}

HRASCONN CDialerProfile::GetHandle() const {
  CLockGuard g(*this);
  return m_handle;
}

bool CDialerProfile::GetAddressText(CString& out) const {
  CLockGuard g(*this);
  out = m_hasAddress ? m_address : CString("0.0.0.0");
  return m_hasAddress;
}

void CDialerProfile::SignalEvent() {
  {
    std::lock_guard<std::mutex> lk(m_eventMutex);
    m_eventSet = true;
  }
  m_eventCv.notify_all();
}

void CDialerProfile::ResetEvent() {
  std::lock_guard<std::mutex> lk(m_eventMutex);
  m_eventSet = false;
}

bool CDialerProfile::WaitEvent(CDialer& dialer, uint32_t ms) {
  std::unique_lock<std::mutex> lk(m_eventMutex);
  m_eventCv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return m_eventSet || dialer.IsStopping(); });
  return m_eventSet;
}

void CDialerProfile::SetStatus(CDialer& dialer, const CString& text) {
  CString name;
  uint32_t state;
  {
    CLockGuard g(*this);
    if (text == m_statusText) return;
    m_statusText = text;
    name = Name;
    state = m_state;
  }
  dialer.Log(DIALER_LOG_DEBUG, "%s: %s", name.c_str(), text.c_str());
  dialer.Notify(name, state, text);
}

void CDialerProfile::Log(CDialer& dialer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CString text;
  FormatStringV(text, format, args);
  va_end(args);
  SetStatus(dialer, text);
}

// ---- Dial ----------------------------------------------------------------------------------------

void CDialerProfile::Dial(CDialer& dialer) {
  if (!dialer.TryBeginDial(*this)) return;
  // The busy flag is cleared on every way out, or the profile could never be dialled, tested or
  // hung up for idleness again.
  struct BusyGuard {
    CDialer& d;
    CDialerProfile& p;
    ~BusyGuard() { d.EndDial(p); }
  } busy{dialer, *this};

  RASDIALPARAMSA params{};
  params.dwSize = sizeof(params);
  RASDIALEXTENSIONS ext{};
  ext.dwSize = sizeof(ext);
  ext.dwfOptions = RAS_DIAL_OPTIONS;
  CString name, entry;
  int32_t retries;
  {
    CLockGuard g(*this);
    m_cancel = false;  // only a new dial ends an earlier reset
    CopyField(params.szEntryName, sizeof(params.szEntryName), ProfileName);
    CopyField(params.szCallbackNumber, sizeof(params.szCallbackNumber), "*");
    CopyField(params.szUserName, sizeof(params.szUserName), Username);
    CopyField(params.szPassword, sizeof(params.szPassword), Password);
    CopyField(params.szDomain, sizeof(params.szDomain), Domain.empty() ? CString("*") : Domain);
    name = Name;
    entry = ProfileName;
    retries = Retries;
  }
  Log(dialer, "Dialing %s", entry.c_str());
  dialer.Log(DIALER_LOG_NORMAL, "%s: Dialing...", entry.c_str());
  dialer.Log(DIALER_LOG_DEBUG, "%s: Dialing...", entry.c_str());

  const RasApi& ras = dialer.Ras();
  for (int32_t attempt = 0; attempt < retries && !dialer.IsStopping(); ++attempt) {
    {
      CLockGuard g(*this);
      if (m_cancel) break;
      m_handle = nullptr;
      m_hasAddress = false;
    }
    bool sync;
    uint32_t timeout;
    {
      CLockGuard g(dialer);
      sync = dialer.UseSynchronousRasdial != 0;
      timeout = dialer.RasdialTimeout;
    }
    HRASCONN handle = nullptr;
    DWORD rc;
    if (sync) {
      dialer.Log(DIALER_LOG_DEBUG, "%s: Dialing Synchronous...", name.c_str());
      rc = ras.RasDialA(&ext, nullptr, &params, 0, nullptr, &handle);
      if (rc == RAS_PENDING) rc = 0;
      CLockGuard g(*this);
      m_handle = handle;
    } else {
      ResetEvent();
      {
        // Held from before the call until the handle is entered: a notification that comes
        // before RasDialA has returned waits here and then finds its profile.
        std::lock_guard<std::mutex> lk(dialer.ConnectionMapMutex());
        rc = ras.RasDialA(&ext, nullptr, &params, 1, reinterpret_cast<void*>(&CDialer::Notifier), &handle);
        if (handle) {
          dialer.EnterHandleLocked(handle, shared_from_this());
          CLockGuard g(*this);
          m_handle = handle;
        }
      }
      if (rc == 0) {
        if (!WaitEvent(dialer, timeout) && !dialer.IsStopping()) {
          dialer.Log(DIALER_LOG_DEBUG, "%s: RasDial call timed out waiting for connect", name.c_str());
          ras.RasHangUpA(handle);
        }
      }
      if (handle) dialer.RemoveHandle(handle);
    }
    if (rc != 0) {
      dialer.Log(DIALER_LOG_DEBUG, "%s: RasDial call failed error %u", name.c_str(), rc);
      // The layer's reason is the status, as it is for a dial that fails later through the notifier.
      SetStatus(dialer, dialer.ErrorText(rc, 512));
      if (handle) {
        dialer.Log(DIALER_LOG_DEBUG, "%s: RasDial call failed but non-null handle - resetting", name.c_str());
        ras.RasHangUpA(handle);
        dialer.Pause(kHandleErrorPauseMs);
        ras.RasHangUpA(handle);
        CLockGuard g(*this);
        if (m_handle == handle) m_handle = nullptr;
      }
      if (IsFatal(rc)) {
        dialer.Log(DIALER_LOG_DEBUG, "%s: RasDial failed %s - restarting dialer thread", name.c_str(), FatalName(rc));
        {
          CLockGuard g(*this);
          m_state = PROFILE_ERROR;
        }
        dialer.PostRestart();
        return;
      }
    }
    {
      CLockGuard g(*this);
      if (m_cancel) break;
    }
    if (dialer.IsStopping()) break;
    if (CheckConnectionNow(dialer)) {
      dialer.Log(DIALER_LOG_DEBUG, "%s: Dial succeeded", name.c_str());
      HRASCONN h = GetHandle();
      CString address;
      const bool has = h && dialer.GetProjectedIPAddress(h, address);
      CLockGuard g(*this);
      m_address = has ? address : CString();
      m_hasAddress = has;
      // A new link: its idle time starts from nothing, whatever became of an earlier one.
      m_idleRunning = false;
      break;
    }
    dialer.Log(DIALER_LOG_DEBUG, "%s: Dial unsuccessful - resetting", name.c_str());
    // The reset between attempts is logged as any reset, but does not end the retries as a reset
    // from outside does.
    LogResetting(dialer);
    TakeDown(dialer, true);
    uint32_t pause;
    {
      CLockGuard g(dialer);
      pause = dialer.TimeBetweenRetries;
    }
    if (attempt + 1 < retries && !dialer.Pause(pause)) break;
  }
  CLockGuard g(*this);
  m_dialled = true;
}

// ---- Hang-up and reset -----------------------------------------------------------------------------

void CDialerProfile::TakeDown(CDialer& dialer, bool reset) {
  const RasApi& ras = dialer.Ras();
  const CString name = ProfileNameText();
  const CString entry = EntryName();
  SetStatus(dialer, FormatString("Disconnecting from %s", entry.c_str()));
  for (uint32_t attempt = 0; attempt < kHangUpTries; ++attempt) {
    HRASCONN handle = nullptr;
    if (reset && attempt == 0) handle = GetHandle();
    if (!handle) {
      auto found = dialer.FindConnection(entry);
      if (found) handle = found->hrasconn;
    }
    if (!handle) {
      if (attempt == 0)
        dialer.Log(DIALER_LOG_DEBUG,
                   reset ? "%s: Could not find connection to reset" : "%s: Could not find connection to hangup",
                   name.c_str());
      break;
    }
    DWORD rc = ras.RasHangUpA(handle);
    if (rc != 0) {
      dialer.Log(DIALER_LOG_DEBUG,
                 reset ? "RasHangUp returned error code %u in Reset" : "RasHangUp returned error code %u", rc);
      SetStatus(dialer, dialer.ErrorText(rc, 256));
      if (rc == RAS_ERROR_INVALID_HANDLE) continue;  // that link had already gone
      break;
    }
    // The link is down once the layer no longer knows the handle.
    bool gone = false;
    for (uint32_t waited = 0; waited <= kHangUpGiveUpMs; waited += kHangUpPollMs) {
      RASCONNSTATUSA status{};
      status.dwSize = sizeof(status);
      if (ras.RasGetConnectStatusA(handle, &status) == RAS_ERROR_INVALID_HANDLE) {
        gone = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kHangUpPollMs));
    }
    if (!gone)
      dialer.Log(DIALER_LOG_DEBUG,
                 reset ? "%s: Timed out of Reset waiting for RAS" : "%s: Timed out of hangup waiting for RAS",
                 name.c_str());
    CLockGuard g(*this);
    if (m_handle == handle) m_handle = nullptr;
  }
  {
    CLockGuard g(*this);
    m_state = PROFILE_OFF_LINE;
    m_hasAddress = false;
    m_idleRunning = false;
    if (!reset) m_dialled = false;
  }
  SetStatus(dialer, FormatString("Disconnected from %s", entry.c_str()));
}

void CDialerProfile::HangUp(CDialer& dialer) {
  {
    CLockGuard g(*this);
    if (!m_dialled) return;
  }
  dialer.Log(DIALER_LOG_NORMAL, "%s: Disconnecting %s", ProfileNameText().c_str(), EntryName().c_str());
  TakeDown(dialer, false);
  CLockGuard g(*this);
  m_dialled = false;
  m_handle = nullptr;
}

void CDialerProfile::LogResetting(CDialer& dialer) {
  const CString name = ProfileNameText();
  const CString entry = EntryName();
  dialer.Log(DIALER_LOG_NORMAL, "%s: Resetting %s", name.c_str(), entry.c_str());
  dialer.Log(DIALER_LOG_DEBUG, "%s: Resetting %s", name.c_str(), entry.c_str());
}

void CDialerProfile::Reset(CDialer& dialer) {
  LogResetting(dialer);
  {
    CLockGuard g(*this);
    m_cancel = true;
  }
  TakeDown(dialer, true);
  // A dial waiting for its link wakes at once and ends its retries.
  SignalEvent();
}

// ---- Connection test --------------------------------------------------------------------------------

bool CDialerProfile::CheckConnection(CDialer& dialer) {
  if (m_busy.load()) return false;
  return CheckConnectionNow(dialer);
}

bool CDialerProfile::CheckConnectionNow(CDialer& dialer) {
  try {
    const RasApi& ras = dialer.Ras();
    HRASCONN handle = GetHandle();
    RASCONNSTATUSA status{};
    status.dwSize = sizeof(status);
    DWORD rc = handle ? ras.RasGetConnectStatusA(handle, &status) : RAS_ERROR_INVALID_HANDLE;
    if (rc == RAS_ERROR_INVALID_HANDLE) {
      // Our link has gone (or there was none): a link of the entry made elsewhere is adopted.
      auto found = dialer.FindConnection(EntryName());
      if (!found) {
        {
          CLockGuard g(*this);
          m_state = PROFILE_OFF_LINE;
          m_hasAddress = false;
          m_handle = nullptr;
        }
        SetStatus(dialer, "Off Line");
        return false;
      }
      handle = found->hrasconn;
      {
        CLockGuard g(*this);
        m_handle = handle;
      }
      status = RASCONNSTATUSA{};
      status.dwSize = sizeof(status);
      rc = ras.RasGetConnectStatusA(handle, &status);
      if (rc == 0 && status.rasconnstate == RASCS_Connected && status.dwError == 0) {
        CString address;
        const bool has = dialer.GetProjectedIPAddress(handle, address);
        CLockGuard g(*this);
        m_address = has ? address : CString();
        m_hasAddress = has;
      }
    }
    if (rc == 0 && status.rasconnstate == RASCS_Connected && status.dwError == 0) {
      {
        CLockGuard g(*this);
        m_state = PROFILE_CONNECTED;
      }
      SetStatus(dialer, "Connected");
      return true;
    }
    if (rc == 0 && status.dwError == 0) {
      CLockGuard g(*this);
      m_state = PROFILE_OFF_LINE;
      m_hasAddress = false;
      return false;
    }
    const DWORD code = rc != 0 ? rc : status.dwError;
    {
      CLockGuard g(*this);
      m_state = PROFILE_ERROR;
      m_hasAddress = false;
    }
    SetStatus(dialer, dialer.ErrorText(code, 1023));
    return false;
  } catch (...) {
    // A failed test reports the link as not there; the next pass asks again.
    CLockGuard g(*this);
    m_hasAddress = false;
    return false;
  }
}

// ---- Notifier ------------------------------------------------------------------------------------------

void CDialerProfile::OnRasNotify(CDialer& dialer, HRASCONN handle, RASCONNSTATE state, DWORD error) {
  try {
    if (error != 0) {
      SetStatus(dialer, dialer.ErrorText(error, 512));
      SignalEvent();
      return;
    }
    switch (state) {
      case RASCS_OpenPort: SetStatus(dialer, "Opening Port"); break;
      case RASCS_PortOpened: SetStatus(dialer, "Port Opened"); break;
      case RASCS_ConnectDevice: {
        RASCONNSTATUSA status{};
        status.dwSize = sizeof(status);
        if (dialer.Ras().RasGetConnectStatusA(handle, &status) != 0) break;
        status.szDeviceType[sizeof(status.szDeviceType) - 1] = '\0';
        status.szDeviceName[sizeof(status.szDeviceName) - 1] = '\0';
        const char* type = status.szDeviceType;
        const char* device = status.szDeviceName;
        if (!strcasecmp(type, "modem") || !strcasecmp(type, "pad") || !strcasecmp(type, "null"))
          SetStatus(dialer, FormatString("Connecting to %s", device));
        else if (!strcasecmp(type, "isdn"))
          SetStatus(dialer, FormatString("Connecting (ISDN) to %s", device));
        else if (!strcasecmp(type, "switch"))
          SetStatus(dialer, FormatString("Postconnecting through %s", device));
        break;
      }
      case RASCS_DeviceConnected: SetStatus(dialer, "Connected"); break;
      case RASCS_AllDevicesConnected: SetStatus(dialer, "All devices connected"); break;
      case RASCS_Authenticate: SetStatus(dialer, "Verifying username and password"); break;
      case RASCS_AuthRetry: SetStatus(dialer, "Retry Authentication"); break;
      case RASCS_AuthChangePassword: SetStatus(dialer, "Change Password"); break;
      case RASCS_AuthProject: SetStatus(dialer, "Registering your computer on the network"); break;
      case RASCS_AuthLinkSpeed: SetStatus(dialer, "Calculating Link Speed"); break;
      case RASCS_ReAuthenticate: SetStatus(dialer, "Re-authenticating"); break;
      case RASCS_Connected:
        SetStatus(dialer, FormatString("On line to %s", EntryName().c_str()));
        SignalEvent();
        break;
      case RASCS_Disconnected:
        SetStatus(dialer, "Disconnected");
        SignalEvent();
        break;
      default: break;
    }
  } catch (...) {
    // The waiting dial must not sit out its whole time-out for a notification that failed here.
    SignalEvent();
  }
}

// ---- Idle rule ---------------------------------------------------------------------------------------------

void CDialerProfile::StopIdleTimer() {
  CLockGuard g(*this);
  m_idleRunning = false;
}

void CDialerProfile::CheckIdle(CDialer& dialer, uint64_t nowMs) {
  CString address;
  const bool hasAddress = GetAddressText(address);
  bool busy = false;
  if (CSessionHost* host = GetSessionHost()) {
    for (const auto& machine : host->GetMachineMap().Snapshot()) {
      if (!hasAddress) {
        busy = true;
        break;
      }
      // A session is using the link when its connection's local end is the link's address.
      for (const auto& session : machine->GetSessions())
        if (session && session->IsOwnAddress(address)) busy = true;
      if (busy) break;
    }
  }
  bool timedOut = false;
  {
    CLockGuard g(*this);
    if (busy) {
      m_idleRunning = false;
    } else if (!m_idleRunning) {
      m_idleDeadline = nowMs + static_cast<uint64_t>(DisconnectAfter) * 1000;
      m_idleRunning = true;
    } else if (nowMs > m_idleDeadline) {
      timedOut = true;
      m_idleRunning = false;
    }
  }
  if (timedOut) {
    dialer.Log(DIALER_LOG_DEBUG, "%s: Timing out connection", ProfileNameText().c_str());
    HangUp(dialer);
  }
}

// ---- Dial on demand's gate ---------------------------------------------------------------------------------

bool CDialerProfile::DialForSession(CDialer& dialer) {
  {
    std::unique_lock<std::mutex> lk(m_gateMutex);
    m_gateCv.wait(lk, [&] { return !m_gateBusy || dialer.IsStopping(); });
    if (dialer.IsStopping()) return false;
    m_gateBusy = true;
  }
  struct GateGuard {
    CDialerProfile& p;
    ~GateGuard() {
      {
        std::lock_guard<std::mutex> lk(p.m_gateMutex);
        p.m_gateBusy = false;
      }
      p.m_gateCv.notify_all();
    }
  } gate{*this};
  // A dial a console or the scheduler started is waited for rather than taken for a failure.
  dialer.WaitWhileBusy(*this);
  if (CheckConnection(dialer)) return true;
  dialer.Log(DIALER_LOG_NORMAL, "Dialing profile %s", ProfileNameText().c_str());
  dialer.Log(DIALER_LOG_DEBUG, "Dialing profile %s", ProfileNameText().c_str());
  Dial(dialer);
  dialer.WaitWhileBusy(*this);
  return CheckConnection(dialer);
}
