#include "engine/remote/console_gate.h"

#include <algorithm>

CConsoleGate::Address& CConsoleGate::Find(const CString& address, uint64_t now) {
  auto it = m_addresses.find(address);
  if (it == m_addresses.end()) {
    if (m_addresses.size() >= kMaxAddresses) DropIdle(address);
    it = m_addresses.emplace(address, Address()).first;
  }
  Address& a = it->second;
  a.lastSeen = now;
  if (a.failures > 0 && now - a.lastFailure >= kFailureWindowMs) {
    a.failures = 0;
    a.reported = false;
  }
  return a;
}

void CConsoleGate::DropIdle(const CString& keep) {
  // The address with nothing waiting whose last news is oldest: a flood from many addresses
  // forgets old ones first, never the ones holding places.
  auto oldest = m_addresses.end();
  for (auto it = m_addresses.begin(); it != m_addresses.end(); ++it) {
    if (it->second.waiting > 0 || it->first == keep) continue;
    if (oldest == m_addresses.end() || it->second.lastSeen < oldest->second.lastSeen) oldest = it;
  }
  if (oldest != m_addresses.end()) m_addresses.erase(oldest);
}

CConsoleGate::Admission CConsoleGate::Admit(const CString& address, uint64_t now) {
  std::lock_guard g(m_mutex);
  Address& a = Find(address, now);
  const size_t perAddress = a.failures >= kReportAfterFailures ? 1 : kMaxWaitingPerAddress;
  if (a.waiting >= perAddress) return Admission::ADDRESS_FULL;
  if (m_waiting >= kMaxWaiting) return Admission::ALL_FULL;
  ++a.waiting;
  ++m_waiting;
  return Admission::ADMITTED;
}

bool CConsoleGate::Promote(const CString& address) {
  std::lock_guard g(m_mutex);
  if (m_consoles >= kMaxConsoles) return false;
  ++m_consoles;
  LeaveWaiting(address);
  return true;
}

void CConsoleGate::Release(const CString& address, bool console) {
  std::lock_guard g(m_mutex);
  if (console) {
    if (m_consoles > 0) --m_consoles;
    return;
  }
  LeaveWaiting(address);
}

void CConsoleGate::LeaveWaiting(const CString& address) {
  auto it = m_addresses.find(address);
  if (it == m_addresses.end() || it->second.waiting == 0) return;
  --it->second.waiting;
  --m_waiting;
}

uint32_t CConsoleGate::FailureDelayMs(uint32_t failures) {
  if (failures <= 3) return 1000;
  const uint32_t shift = std::min<uint32_t>(failures - 3, 8);
  return std::min<uint32_t>(1000u << shift, kMaxDelayMs);
}

CConsoleGate::Failure CConsoleGate::RecordFailure(const CString& address, uint64_t now) {
  std::lock_guard g(m_mutex);
  Address& a = Find(address, now);
  Failure f;
  if (a.failures < UINT32_MAX) ++a.failures;
  a.lastFailure = now;
  f.count = a.failures;
  f.delayMs = FailureDelayMs(a.failures);
  if (a.failures >= kReportAfterFailures && !a.reported) {
    a.reported = true;
    f.report = true;
  }
  return f;
}

CConsoleGate::Lines CConsoleGate::TakeLines(const CString& address, uint64_t now) {
  std::lock_guard g(m_mutex);
  Address& a = Find(address, now);
  if (a.lines > 0 && now - a.lineWindowStart >= kLineWindowMs) a.lines = 0;
  if (a.lines == 0) a.lineWindowStart = now;
  if (a.lines >= kLinesPerWindow) return Lines::LEAVE_OUT;
  ++a.lines;
  return a.lines == kLinesPerWindow ? Lines::WRITE_LAST : Lines::WRITE;
}

size_t CConsoleGate::GetWaiting() const {
  std::lock_guard g(m_mutex);
  return m_waiting;
}

size_t CConsoleGate::GetConsoles() const {
  std::lock_guard g(m_mutex);
  return m_consoles;
}

size_t CConsoleGate::GetAddressCount() const {
  std::lock_guard g(m_mutex);
  return m_addresses.size();
}
