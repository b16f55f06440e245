#pragma once
// A running dial-up profile: the settings (dialer_settings.h) with the live state of its link and
// the operations on it. Made by the engine for the stored name "CDialerProfile".
//
// Threads: a profile is dialled by a dialer worker or by a session thread (dial on demand), reset
// from workers and the console, tested by the dialer's timer pass and by sessions, and told of
// its dial's progress by the Remote Access layer's notifier. Its live state is guarded by the
// object's own lock, which is never held across a Remote Access call; notification 63 is sent
// after the lock is given up. The busy flag lives under the dialer's requests mutex.
//
// A dial's event is manual-reset: a Reset that comes before the dial waits is not lost.
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/dialer/dialer_settings.h"
#include "engine/dialer/ras_api.h"

class CDialer;

// Connection states of a profile (notification 63's number).
enum : uint32_t { PROFILE_OFF_LINE = 0, PROFILE_CONNECTED = 1, PROFILE_ERROR = 2 };

class CDialerProfile : public CDialerProfileSettings, public std::enable_shared_from_this<CDialerProfile> {
 public:
  CDialerProfile();
  ~CDialerProfile() override;

  // Dials with its retries (see dialer_profile.cpp); returns when the link is up, every attempt
  // has failed, a reset came or the dialer stops. Returns at once while another dial runs.
  void Dial(CDialer& dialer);
  // Hangs up the link this dialer dialled (nothing otherwise).
  void HangUp(CDialer& dialer);
  // Hangs up whatever link the profile has, ends the retries of a dial under way and wakes it.
  void Reset(CDialer& dialer);
  // Refreshes the state from the layer (adopting a link made outside the engine); true only when
  // connected. False at once while the profile is being dialled.
  bool CheckConnection(CDialer& dialer);
  // The idle rule of the timer pass, at monotonic time nowMs. The idle time counts only while
  // the link is up: it stops whenever the profile is found off line, is hung up or reset, or a
  // dial succeeds, so a new link always gets its whole DisconnectAfter.
  void CheckIdle(CDialer& dialer, uint64_t nowMs);
  void StopIdleTimer();
  // The status line: a changed text replaces the status, goes to the dialer log as "<Name>: <text>"
  // and to the consoles as notification 63.
  void Log(CDialer& dialer, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // The address text, "0.0.0.0" without one; true when the profile has one.
  bool GetAddressText(CString& out) const;
  uint32_t GetState() const;
  bool WasDialled() const;
  HRASCONN GetHandle() const;
  bool IsBusy() const { return m_busy.load(); }

  // What the notifier reports of this profile's dial (the layer's thread).
  void OnRasNotify(CDialer& dialer, HRASCONN handle, RASCONNSTATE state, DWORD error);

  // Dial on demand's gate: one session dials, the others wait for its end and then use the link.
  // Returns whether the profile is on line afterwards.
  bool DialForSession(CDialer& dialer);

 private:
  friend class CDialer;

  bool CheckConnectionNow(CDialer& dialer);
  // Hangs the link up (three tries; waits up to 3000 ms for the layer to let it go each time).
  // ownHandle: the profile's own handle first (Reset); reset: the Reset texts.
  void TakeDown(CDialer& dialer, bool reset);
  void LogResetting(CDialer& dialer);
  void SetStatus(CDialer& dialer, const CString& text);
  void SignalEvent();
  void ResetEvent();
  // Waits for the event up to ms or the dialer's stop; true when signalled.
  bool WaitEvent(CDialer& dialer, uint32_t ms);
  CString EntryName() const;
  CString ProfileNameText() const;

  // Live state (the object's lock).
  HRASCONN m_handle = nullptr;
  uint32_t m_state = PROFILE_OFF_LINE;
  bool m_dialled = false;
  bool m_cancel = false;  // a reset ended the dial; cleared only when a new dial starts
  CString m_address;
  bool m_hasAddress = false;
  bool m_idleRunning = false;
  uint64_t m_idleDeadline = 0;

  std::atomic<bool> m_busy{false};  // written under the dialer's requests mutex

  std::mutex m_eventMutex;
  std::condition_variable m_eventCv;
  bool m_eventSet = false;

  std::mutex m_gateMutex;
  std::condition_variable m_gateCv;
  bool m_gateBusy = false;
};
