#pragma once
// Engine-side harness shared by the tests that run sessions and services (the programs that link
// the engine library): a session host without an engine, an echo service class stored and created
// by name, and a plain echo session. Builds on the loopback and polling helpers of the test
// environment.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/access/location.h"
#include "engine/access/user_db.h"
#include "engine/core/machine.h"
#include "engine/core/service.h"
#include "engine/core/session.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

namespace trellis::test {

// A plain TCP service (settings and runtime in one object) whose connections get no session.
using CPlainTCPService = TRunningService<CTCPServiceSettings, CTCPService>;

// Machines, users and rights checks without an engine. The user table holds "Guest" (tests add
// more); a machine's user is the one the location table assumes for its address, else "Guest";
// `allow` is a right that lets everybody in; `clock`, when set, is the time rights are decided
// at; notifications to controllers are recorded.
class CTestSessionHost : public CSessionHost {
 public:
  struct Note {
    uint32_t code;
    CString t1, t2, t3;
  };

  CTestSessionHost();

  CMachineMap& GetMachineMap() override { return machines; }
  CGroupMemberDatabase* GetUserDatabase() override { return &users; }
  AccessContext GetAccessContext() override;
  void IdentifyMachineUser(CMachine& machine) override;
  void NotifyControllers(uint32_t code, const CString& t1, const CString& t2, const CString& t3) override;

  // The recorded notifications of one code, and how many there were.
  std::vector<Note> Notes(uint32_t code);
  size_t Count(uint32_t code);

  CMachineMap machines;
  CGroupMemberDatabase users;
  CLocationArray locations;
  CLockableStringMap assumptions;
  std::shared_ptr<CRight> allow;
  std::function<CDateTime()> clock;

 private:
  std::mutex m_notesLock;
  std::vector<Note> m_notes;
};

// Echoes what it reads; ends when the client closes.
class CTestEchoSession : public CTCPSession {
 public:
  CTestEchoSession(std::shared_ptr<CService> service, int handle);

 protected:
  void OnRead(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;
};

// A service class of the tests, stored and created by name like the real ones: its connections
// get a CTestEchoSession, or no session at all while makeNone is set.
class CTestEchoService : public TRunningService<CTCPServiceSettings, CTCPService> {
  TL_DECLARE_SERIAL(CTestEchoService)

 public:
  explicit CTestEchoService(uint32_t port = 0, const CString& name = CString());
  std::shared_ptr<CTCPSession> CreateSession(int handle) override;

  bool makeNone = false;
  // Lets ending sessions take waiting connections (CTCPService::TakeNextConnection).
  std::atomic<bool> takesOnEnd{false};

 protected:
  bool TakesConnectionsOnSessionEnd() const override { return takesOnEnd.load(); }
};

}  // namespace trellis::test
