#include "engine/core/machine.h"

#include <atomic>
#include <string>

#include "engine/access/location.h"
#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "engine/core/machine_record.h"
#include "engine/core/session.h"

TL_IMPLEMENT_SERIAL(CMachine, CLockableObject, 1)

namespace {
std::atomic<CSessionHost*> g_host{nullptr};
}

void SetSessionHost(CSessionHost* host) { g_host.store(host); }
CSessionHost* GetSessionHost() { return g_host.load(); }

// ---- CMachine ---------------------------------------------------------------------------------

CMachine::CMachine() : m_created(time(nullptr)) {}

CMachine::CMachine(const CString& address) : m_address(address), m_created(time(nullptr)) {}

CMachine::~CMachine() = default;

void CMachine::AddSession(const std::shared_ptr<CSession>& session) {
  if (!session) return;
  CLockGuard g(*this);
  m_sessions[session->GetSessionNumber()] = session;
}

void CMachine::SetStatus(uint32_t level) {
  CString address, user;
  {
    CLockGuard g(*this);
    m_securityLevel = level;
    address = m_address;
    user = m_userName;
  }
  if (CSessionHost* host = GetSessionHost(); host && host->HasControllers()) {
    host->NotifyControllers(kNotifyMachineUpdated, address, user, std::to_string(level));
  }
}

void CMachine::SetIdentity(const CString& userName, uint32_t level) {
  CLockGuard g(*this);
  m_userName = userName;
  m_securityLevel = level;
}

void CMachine::SetDHCPIdentity(bool identified, const CString& computerName, const CString& hardwareAddress) {
  CLockGuard g(*this);
  m_identifiedByDHCP = identified ? 1 : 0;
  m_computerName = computerName;
  m_hardwareAddress = hardwareAddress;
}

bool CMachine::RemoveSession(uint32_t sessionNumber, uint32_t exitCode, const CSession* expected) {
  std::shared_ptr<CSession> session;
  CString address, userName;
  {
    CLockGuard g(*this);
    auto it = m_sessions.find(sessionNumber);
    if (it != m_sessions.end()) {
      session = it->second.lock();
      if (expected && session.get() != expected) {
        session.reset();  // another session under that number: not ours to take out
      } else {
        // Taking the entry out under the lock is what makes crediting happen once: a second
        // removal (a Terminate racing the thread's own exit) finds nothing.
        m_sessions.erase(it);
      }
    }
    address = m_address;
    userName = m_userName;
  }
  if (session) {
    const uint64_t cs = session->GetClientBytesSent();
    const uint64_t cr = session->GetClientBytesReceived();
    const uint64_t ss = session->GetServerBytesSent();
    const uint64_t sr = session->GetServerBytesReceived();
    CSessionHost* host = GetSessionHost();
    if (CGroupMemberDatabase* users = host ? host->GetUserDatabase() : nullptr) {
      CLockGuard ug(*users);
      if (std::shared_ptr<CUser> user = users->FindUser(userName)) {
        CLockGuard lg(*user);
        user->ClientSendTraffic += cs;
        user->ClientRecvTraffic += cr;
        user->NonClientSendTraffic += ss;
        user->NonClientRecvTraffic += sr;
      }
    }
    if (host && host->HasControllers()) {
      host->NotifyControllers(kNotifySessionDeleted, address, std::to_string(sessionNumber),
                              std::to_string(cs) + " " + std::to_string(cr) + " " + std::to_string(ss) + " " +
                                  std::to_string(sr));
    }
    try {
      session->Exit(exitCode);
    } catch (...) {
      // The session is out of the table already; its thread ends on its own.
    }
  }
  // Found or not, an emptied machine leaves its table.
  LeaveTableIfEmpty();
  return session != nullptr;
}

void CMachine::TerminateAllSessions(uint32_t exitCode) {
  // Each session ends through its own Terminate: the end guard keeps a session that is ending by
  // itself from being credited or logged twice, and every entry leaves the table.
  const std::vector<std::shared_ptr<CSession>> sessions = GetSessions();
  for (const auto& s : sessions) {
    try {
      s->Terminate(exitCode);
    } catch (...) {
      // One session that fails to end must not keep the others running.
    }
  }
  if (sessions.empty()) LeaveTableIfEmpty();
}

void CMachine::LeaveTableIfEmpty() {
  auto self = weak_from_this().lock();
  if (!self) return;
  CMachineMap* owner;
  {
    CLockGuard g(*this);
    // Asked first without the table's lock, which every machine shares.
    if (HasSessions()) return;
    owner = m_owner;
  }
  // The table checks again under its lock, then this machine's (table first, then machine).
  if (owner) owner->RemoveIfEmpty(self);
}

void CMachine::OnTimer() {
  std::vector<std::shared_ptr<CSession>> live;
  {
    CLockGuard g(*this);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
      if (auto s = it->second.lock()) {
        live.push_back(std::move(s));
        ++it;
      } else {
        it = m_sessions.erase(it);  // a session that went without leaving
      }
    }
  }
  // The checks run without the machine's lock: an idle session ends through RemoveSession, which
  // takes the table and this machine, and may take this machine out of its table.
  for (const auto& s : live) {
    try {
      s->CheckTimeouts();
    } catch (...) {
      CLockGuard g(*this);
      auto it = m_sessions.find(s->GetSessionNumber());
      if (it != m_sessions.end() && it->second.lock() == s) m_sessions.erase(it);
    }
  }
  LeaveTableIfEmpty();
}

bool CMachine::HasSessions() const {
  CLockGuard g(*this);
  for (const auto& [number, s] : m_sessions) {
    if (!s.expired()) return true;
  }
  return false;
}

size_t CMachine::GetSessionCount() const {
  CLockGuard g(*this);
  size_t n = 0;
  for (const auto& [number, s] : m_sessions) {
    if (!s.expired()) ++n;
  }
  return n;
}

std::vector<std::shared_ptr<CSession>> CMachine::GetSessions() const {
  std::vector<std::shared_ptr<CSession>> out;
  CLockGuard g(*this);
  for (const auto& [number, s] : m_sessions) {
    if (auto p = s.lock()) out.push_back(std::move(p));
  }
  return out;
}

std::shared_ptr<CSession> CMachine::FindSession(uint32_t sessionNumber) const {
  CLockGuard g(*this);
  auto it = m_sessions.find(sessionNumber);
  return it == m_sessions.end() ? nullptr : it->second.lock();
}

uint32_t CMachine::GetConnectedSeconds() const {
  const time_t now = time(nullptr);
  return now > m_created ? SaturateToDWORD(static_cast<uint64_t>(now - m_created)) : 0;
}

CString CMachine::GetAddress() const {
  CLockGuard g(*this);
  return m_address;
}

CString CMachine::GetUserName() const {
  CLockGuard g(*this);
  return m_userName;
}

uint32_t CMachine::GetSecurityLevel() const {
  CLockGuard g(*this);
  return m_securityLevel;
}

bool CMachine::IsIdentifiedByDHCP() const {
  CLockGuard g(*this);
  return m_identifiedByDHCP != 0;
}

CString CMachine::GetComputerName() const {
  CLockGuard g(*this);
  return m_computerName;
}

CString CMachine::GetHardwareAddress() const {
  CLockGuard g(*this);
  return m_hardwareAddress;
}

void CMachine::OnRemoved() {
  if (m_removed.exchange(true)) return;
  const uint32_t seconds = GetConnectedSeconds();
  CString user, address;
  {
    CLockGuard g(*this);
    user = m_userName;
    address = m_address;
  }
  CSessionHost* host = GetSessionHost();
  if (CGroupMemberDatabase* users = host ? host->GetUserDatabase() : nullptr) {
    CLockGuard ug(*users);
    if (std::shared_ptr<CUser> u = users->FindUser(user)) {
      CLockGuard lg(*u);
      u->TimeOnLine += seconds;
    }
  }
  if (host && host->HasControllers())
    host->NotifyControllers(kNotifyMachineDeleted, address, std::to_string(seconds), CString());
}

void CMachine::Serialize(CArchive& ar) {
  // The byte form is the configuration side's machine record, which the consoles read.
  CLockGuard g(*this);
  CMachineRecord record;
  if (ar.IsStoring()) {
    record.Address = m_address;
    record.UserName = m_userName;
    record.SecurityLevel = m_securityLevel;
    // Seconds since 1970 as unsigned 32 bits: good until 2106, where a signed form ends in 2038.
    record.Created = static_cast<uint32_t>(m_created);
    record.IdentifiedByDHCP = m_identifiedByDHCP;
    record.ComputerName = m_computerName;
    record.HardwareAddress = m_hardwareAddress;
    record.Serialize(ar);
    return;
  }
  record.Serialize(ar);
  m_address = record.Address;
  m_userName = record.UserName;
  m_securityLevel = record.SecurityLevel;
  m_created = static_cast<time_t>(record.Created);
  m_identifiedByDHCP = record.IdentifiedByDHCP;
  m_computerName = record.ComputerName;
  m_hardwareAddress = record.HardwareAddress;
}

void IdentifyMachine(CMachine& machine, bool hasLease, const CString& leaseComputerName,
                     const CString& leaseHardwareAddress, const CLockableStringMap& assumptions,
                     const CLocationArray& locations, const CGroupMemberDatabase& users) {
  if (hasLease) machine.SetDHCPIdentity(true, leaseComputerName, leaseHardwareAddress);
  uint32_t address = 0;
  CString user;
  if (TryParseIPAddress(machine.GetAddress(), &address)) {
    user = FindAssumedUser(address, hasLease ? leaseComputerName : CString(), assumptions, locations, users);
  }
  if (user.empty()) {
    machine.SetIdentity("Guest", kLevelGuest);
  } else {
    machine.SetIdentity(user, AssumedUserLevel(user));
  }
}

// ---- CMachineMap ------------------------------------------------------------------------------

CMachineMap::~CMachineMap() {
  CLockGuard g(*this);
  for (auto& [address, m] : m_map) {
    CLockGuard mg(*m);
    m->m_owner = nullptr;
  }
}

void CMachineMap::AddMachine(const std::shared_ptr<CMachine>& machine) {
  if (!machine) return;
  std::shared_ptr<CMachine> replaced;
  {
    CLockGuard g(*this);
    auto& slot = m_map[machine->GetAddress()];
    if (slot != machine) {
      replaced = std::move(slot);
      if (replaced) {
        CLockGuard mg(*replaced);
        replaced->m_owner = nullptr;
      }
    }
    slot = machine;
    CLockGuard mg(*machine);
    machine->m_owner = this;
  }
  if (replaced) replaced->OnRemoved();
}

bool CMachineMap::DetachLocked(const std::shared_ptr<CMachine>& machine) {
  auto it = m_map.find(machine->GetAddress());
  if (it == m_map.end() || it->second != machine) return false;
  m_map.erase(it);
  CLockGuard mg(*machine);
  machine->m_owner = nullptr;
  return true;
}

bool CMachineMap::RemoveMachine(const std::shared_ptr<CMachine>& machine) {
  if (!machine) return false;
  bool removed;
  {
    CLockGuard g(*this);
    removed = DetachLocked(machine);
  }
  // Crediting and the notification run outside the table's lock.
  if (removed) machine->OnRemoved();
  return removed;
}

bool CMachineMap::RemoveMachine(const CString& address) {
  std::shared_ptr<CMachine> m = Find(address);
  return m ? RemoveMachine(m) : false;
}

bool CMachineMap::DeleteMachine(const CString& address, uint32_t exitCode) {
  std::shared_ptr<CMachine> machine;
  {
    CLockGuard g(*this);
    auto it = m_map.find(address);
    if (it == m_map.end()) return false;
    machine = it->second;
    DetachLocked(machine);
  }
  // Out of the table first, so a new connection from the address makes a machine of its own
  // instead of joining one whose sessions are being ended. Sessions end outside the table's lock.
  machine->TerminateAllSessions(exitCode);
  machine->OnRemoved();
  return true;
}

bool CMachineMap::RemoveIfEmpty(const std::shared_ptr<CMachine>& machine) {
  if (!machine) return false;
  bool removed = false;
  {
    CLockGuard g(*this);
    CLockGuard mg(*machine);
    if (!machine->HasSessions()) removed = DetachLocked(machine);
  }
  if (removed) machine->OnRemoved();
  return removed;
}

std::shared_ptr<CMachine> CMachineMap::Find(const CString& address) const {
  CLockGuard g(*this);
  auto it = m_map.find(address);
  return it == m_map.end() ? nullptr : it->second;
}

size_t CMachineMap::GetCount() const {
  CLockGuard g(*this);
  return m_map.size();
}

std::vector<std::shared_ptr<CMachine>> CMachineMap::Snapshot() const {
  std::vector<std::shared_ptr<CMachine>> out;
  CLockGuard g(*this);
  out.reserve(m_map.size());
  for (const auto& [address, m] : m_map) out.push_back(m);
  return out;
}

bool CMachineMap::AttachSession(const std::shared_ptr<CSession>& session, CSessionHost* host) {
  if (!session) return false;
  std::shared_ptr<CMachine> created;
  try {
    const CString address = session->GetClientAddress();
    CLockGuard g(*this);
    std::shared_ptr<CMachine> machine;
    auto it = m_map.find(address);
    if (it != m_map.end()) {
      machine = it->second;
    } else {
      machine = std::make_shared<CMachine>(address);
      if (host) host->IdentifyMachineUser(*machine);
      m_map[address] = machine;
      {
        CLockGuard mg(*machine);
        machine->m_owner = this;
      }
      created = machine;
    }
    // Entered under the table lock, so the machine cannot be found empty and taken out between
    // being found here and holding this session.
    session->SetMachine(machine);
  } catch (...) {
    return false;
  }
  if (created && host && host->HasControllers()) {
    host->NotifyControllers(kNotifyMachineAdded, created->GetAddress(), created->GetUserName(),
                            std::to_string(created->GetSecurityLevel()));
  }
  return true;
}

void CMachineMap::OnTimer() {
  // The walk is over a copy: a machine may leave the table while its pass runs.
  for (const auto& m : Snapshot()) {
    try {
      m->OnTimer();
    } catch (...) {
      RemoveMachine(m);
    }
  }
}

void CMachineMap::DeleteAll() {
  for (const auto& m : Snapshot()) m->TerminateAllSessions(kSessionExitMachineGone);
  // Whatever is left (a machine whose sessions are still ending) leaves the table now.
  for (const auto& m : Snapshot()) RemoveMachine(m);
}

size_t CMachineMap::TerminateMachinesOfUser(const CString& userName, uint32_t exitCode) {
  size_t n = 0;
  for (const auto& m : Snapshot()) {
    if (m->GetUserName() == userName) {
      m->TerminateAllSessions(exitCode);
      ++n;
    }
  }
  return n;
}
