#include "tests/support/engine_fixture.h"

namespace trellis::test {

// ---- CTestSessionHost ---------------------------------------------------------------------------

CTestSessionHost::CTestSessionHost() {
  users.Add(std::make_shared<CUser>("Guest", "", "", ""), nullptr);
  allow = std::make_shared<CRight>();
  allow->AddRecipient(std::make_shared<CRecipient>());
  allow->IncludeDefaultRights = kDefaultRightsIgnored;
}

AccessContext CTestSessionHost::GetAccessContext() {
  AccessContext c;
  c.users = &users;
  if (clock) c.clock = clock;
  return c;
}

void CTestSessionHost::IdentifyMachineUser(CMachine& machine) {
  IdentifyMachine(machine, false, "", "", assumptions, locations, users);
}

void CTestSessionHost::NotifyControllers(uint32_t code, const CString& t1, const CString& t2, const CString& t3) {
  std::lock_guard<std::mutex> g(m_notesLock);
  m_notes.push_back({code, t1, t2, t3});
}

std::vector<CTestSessionHost::Note> CTestSessionHost::Notes(uint32_t code) {
  std::lock_guard<std::mutex> g(m_notesLock);
  std::vector<Note> out;
  for (const auto& n : m_notes) {
    if (n.code == code) out.push_back(n);
  }
  return out;
}

size_t CTestSessionHost::Count(uint32_t code) { return Notes(code).size(); }

// ---- CTestEchoSession ---------------------------------------------------------------------------

CTestEchoSession::CTestEchoSession(std::shared_ptr<CService> service, int handle)
    : CTCPSession(std::move(service), handle) {}

void CTestEchoSession::OnRead(platform::Message& msg) {
  if (!m_clientSocket.TakeEvent(msg)) return;
  char buf[512];
  size_t n;
  while ((n = m_clientSocket.Receive(buf, sizeof buf)) > 0) m_clientSocket.Send(buf, n);
  ResetIdleTimer();
}

void CTestEchoSession::OnClose(platform::Message& msg) {
  if (m_clientSocket.TakeEvent(msg)) Terminate(kSessionExitRefused);
}

// ---- CTestEchoService ---------------------------------------------------------------------------

CTestEchoService::CTestEchoService(uint32_t port, const CString& name) : TRunningService(port, name, "echo") {}

std::shared_ptr<CTCPSession> CTestEchoService::CreateSession(int handle) {
  if (makeNone) return CTCPService::CreateSession(handle);
  return std::make_shared<CTestEchoSession>(shared_from_this(), handle);
}

TL_IMPLEMENT_SERIAL(CTestEchoService, CTCPServiceSettings, 1)

}  // namespace trellis::test
