#pragma once
// Client machines: one record per client address that has sessions, with the user the engine
// assumes for it, its security level and its live sessions; and the engine's table of them.
//
// Ownership: the table holds machines by shared_ptr; every session holds a shared_ptr to its
// machine, and the machine holds its sessions weakly, so neither keeps the other alive in a cycle
// and a session can never reach a freed machine. A machine leaves the table when its last session
// is removed (RemoveIfEmpty), when a console deletes it, or at shutdown; the object itself goes
// when the last session that still points at it has ended.
//
// Walks never change what they walk: the timer pass and the "end every session" operations copy
// what they need under the locks, release them and then end sessions, which remove themselves and
// their machine through the ordinary path.
//
// Lock order: the machine table, then one machine, then the user database. Nothing calls out to a
// session or to the consoles while holding the table or a machine lock.
//
// Archive form of CMachine (to the consoles): address, user name (strings), security level (u32),
// created (u32 seconds since 1970, unsigned), identified-by-DHCP (u32), computer name, hardware
// address (strings).
//
// Notifications (through the session host): 71 machine added (address, user, level "%u"),
// 72 machine updated (same texts), 73 machine deleted (address, connected seconds "%u"),
// 74/75/76 session added / changed / deleted (address, number "%u", text); 76 carries
// "%u %u %u %u": client sent, client received, server sent, server received.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/lockable.h"
#include "engine/access/right.h"

class CGroupMemberDatabase;
class CLocationArray;
class CLockableStringMap;
class CMachine;
class CMachineMap;
class CSession;

// Notification codes the machine table and the sessions send.
enum : uint32_t {
  kNotifyMachineAdded = 71,
  kNotifyMachineUpdated = 72,
  kNotifyMachineDeleted = 73,
  kNotifySessionAdded = 74,
  kNotifySessionChanged = 75,
  kNotifySessionDeleted = 76,
};

// What machines and sessions need of the engine that runs them. The engine installs itself with
// SetSessionHost before any session starts; tests install a host of their own. The host must
// outlive every session and machine.
class CSessionHost {
 public:
  virtual ~CSessionHost() = default;
  // The engine's table of client machines.
  virtual CMachineMap& GetMachineMap() = 0;
  // The user database, or null when there is none (then nothing is credited or audited and every
  // rights check refuses).
  virtual CGroupMemberDatabase* GetUserDatabase() = 0;
  // What a session's rights check reads of the engine (user database, default rights). Pointers in
  // it are borrowed for one decision.
  virtual AccessContext GetAccessContext() = 0;
  // Fills a new machine's DHCP identity, user and level (the engine: its lease, then
  // IdentifyMachine below). Called with the machine table locked: must not end sessions.
  virtual void IdentifyMachineUser(CMachine& machine) = 0;
  // One notification to every console that monitors (queued, never sent on the caller's thread).
  virtual void NotifyControllers(uint32_t code, const CString& text1, const CString& text2,
                                 const CString& text3) = 0;
  // Whether any console monitors now, so a caller can leave a notification's texts unmade when
  // none would receive them (a console that registers meanwhile gets the next one).
  virtual bool HasControllers() const { return true; }
};

void SetSessionHost(CSessionHost* host);
// Null when none is installed (sessions then attach to no machine and audit nothing).
CSessionHost* GetSessionHost();

class CMachine : public CLockableObject, public std::enable_shared_from_this<CMachine> {
  TL_DECLARE_SERIAL(CMachine)

 public:
  CMachine();
  explicit CMachine(const CString& address);
  ~CMachine() override;

  // Enters the session under its number (replacing an entry of that number).
  void AddSession(const std::shared_ptr<CSession>& session);
  // Stores the level and sends 72 with address, user and level.
  void SetStatus(uint32_t level);
  // Sets user and level without a notification (while the machine is being created: its 71
  // carries the whole record, so no 72 goes before it).
  void SetIdentity(const CString& userName, uint32_t level);
  void SetDHCPIdentity(bool identified, const CString& computerName, const CString& hardwareAddress);

  // Takes the session of that number out: credits its four traffic counters to the machine's user
  // (once: the entry is gone afterwards), sends 76 and has the session Exit with the code. Then,
  // found or not, removes the machine from its table when no session is left. True when the
  // session was found. With `expected` set, an entry holding another session is left alone.
  bool RemoveSession(uint32_t sessionNumber, uint32_t exitCode, const CSession* expected = nullptr);
  // Ends every session through its own Terminate (each removes itself, the last one removes the
  // machine). A machine without sessions is removed from its table at once.
  void TerminateAllSessions(uint32_t exitCode);
  // The idle pass of one engine tick: collects the live sessions under the lock, then calls their
  // CheckTimeouts outside it. Entries whose session has gone or whose check throws are dropped;
  // an emptied machine is removed from its table afterwards.
  void OnTimer();

  size_t GetSessionCount() const;
  // Whether any session is still in the machine: stops at the first, where a count walks them all
  // (every session's end asks, and a machine may hold thousands).
  bool HasSessions() const;
  std::vector<std::shared_ptr<CSession>> GetSessions() const;
  std::shared_ptr<CSession> FindSession(uint32_t sessionNumber) const;
  // Seconds since the machine was created.
  uint32_t GetConnectedSeconds() const;

  CString GetAddress() const;
  CString GetUserName() const;
  uint32_t GetSecurityLevel() const;
  bool IsIdentifiedByDHCP() const;
  CString GetComputerName() const;
  CString GetHardwareAddress() const;
  time_t GetCreated() const { return m_created; }

  // Set once the machine has left its table: its connected time has been credited and 73 sent.
  bool HasBeenRemoved() const { return m_removed.load(); }

  void Serialize(CArchive& ar) override;
  const std::string* GetKeyName() const override { return &m_address; }

 private:
  friend class CMachineMap;
  // Run once when the table lets the machine go: credits the connected seconds to the user and
  // sends 73.
  void OnRemoved();
  // Has the table take this machine out when no session is left.
  void LeaveTableIfEmpty();

  std::map<uint32_t, std::weak_ptr<CSession>> m_sessions;
  CString m_address;
  CString m_userName = "Guest";
  uint32_t m_securityLevel = 0;
  time_t m_created = 0;
  uint32_t m_identifiedByDHCP = 0;
  CString m_computerName;
  CString m_hardwareAddress;

  CMachineMap* m_owner = nullptr;  // guarded by the owner's lock
  std::atomic<bool> m_removed{false};
};

// Fills a machine's DHCP identity and its assumed user and level: the lease's computer name first
// in the machine-name map, then the location table; a name that is no existing user, or none,
// gives "Guest" at level 0, "Guest" itself level 0, any other user level 1. hasLease: the address
// has a current lease, whose computer name and hardware address are given.
void IdentifyMachine(CMachine& machine, bool hasLease, const CString& leaseComputerName,
                     const CString& leaseHardwareAddress, const CLockableStringMap& assumptions,
                     const CLocationArray& locations, const CGroupMemberDatabase& users);

// Address text to machine.
class CMachineMap : public CLockable {
 public:
  CMachineMap() = default;
  ~CMachineMap();
  CMachineMap(const CMachineMap&) = delete;
  CMachineMap& operator=(const CMachineMap&) = delete;

  // Enters the machine under its address (an entry of that address is replaced and let go).
  void AddMachine(const std::shared_ptr<CMachine>& machine);
  // Takes the machine's entry out (only when it is this machine) and lets it go; true when removed.
  bool RemoveMachine(const std::shared_ptr<CMachine>& machine);
  // The same by address.
  bool RemoveMachine(const CString& address);
  // The engine's RemoveMachine: takes the machine of that address out of the table, ends every
  // session it holds with the exit code (each credited and announced with 76), then credits the
  // machine's connected time and sends 73. False when no machine has that address.
  bool DeleteMachine(const CString& address, uint32_t exitCode);
  // Removes the machine when it has no session left (table, then machine lock). True if removed.
  bool RemoveIfEmpty(const std::shared_ptr<CMachine>& machine);
  std::shared_ptr<CMachine> Find(const CString& address) const;
  size_t GetCount() const;
  std::vector<std::shared_ptr<CMachine>> Snapshot() const;

  // The engine's AttachSessionToMachine: finds or makes the machine of the session's client
  // address (a new one is identified through the host and announced with 71 after the table is
  // unlocked), and gives it to the session, which enters itself in the machine's table. False when
  // that failed.
  bool AttachSession(const std::shared_ptr<CSession>& session, CSessionHost* host);

  // The engine timer's idle pass over every machine (walks a copy; see CMachine::OnTimer).
  void OnTimer();
  // Ends every session of every machine (exit code all ones, as a machine going away does) and
  // empties the table. The machine objects go when their sessions have ended.
  void DeleteAll();
  // Ends the sessions of every machine whose user has that name (case-sensitive); returns how
  // many machines that touched.
  size_t TerminateMachinesOfUser(const CString& userName, uint32_t exitCode);

 private:
  // Under the lock: takes the entry out when it holds that machine; true if taken.
  bool DetachLocked(const std::shared_ptr<CMachine>& machine);

  std::map<CString, std::shared_ptr<CMachine>> m_map;
};
