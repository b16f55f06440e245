// What the scheduler's actions do to the engine: services, the dialer, logs and audit files, the
// accounts, the cache and the machine table. Each action takes the lock of the container it walks
// (the scheduler holds none of them while it calls here).
#include <cstdio>

#include "engine/access/user.h"
#include "engine/config/util.h"
#include "engine/core/engine.h"
#include "engine/core/machine.h"
#include "engine/core/service.h"
#include "engine/core/service_manager.h"
#include "engine/dialer/dialer.h"
#include "engine/proxy/www/www_cache.h"
#include "engine/scheduler/scheduler.h"

namespace {

bool IsRemoteControl(const CService& s) {
  return CString(s.Settings().GetRuntimeClass()->m_className) == "CRemoteControlService";
}

uint32_t Saturate(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

std::vector<std::shared_ptr<CUser>> Accounts(CGroupMemberDatabase& users) {
  std::vector<std::shared_ptr<CUser>> out;
  for (const auto& [key, obj] : users.Snapshot())
    if (auto u = std::dynamic_pointer_cast<CUser>(obj)) out.push_back(std::move(u));
  return out;
}

void Reset(CUser& user) {
  CLockGuard g(user);
  user.ClientSendTraffic = user.ClientRecvTraffic = user.NonClientSendTraffic = user.NonClientRecvTraffic = 0;
  user.TimeOnLine = 0;
  user.OpeningBalance = user.ClosingBalance;
  user.UpdateBalance();
  user.SaveAccounts(CString(kUserDatabaseKey) + "\\" + user.Name);
}

class CEngineSchedulerHost : public ISchedulerHost {
 public:
  explicit CEngineSchedulerHost(CTrellisEngine& engine) : m_engine(engine) {}

  bool StopService(const CString& name) override {
    auto s = m_engine.GetServiceManager().FindService(name);
    if (!s) return false;
    s->Stop();
    return true;
  }
  bool StartService(const CString& name) override {
    auto s = m_engine.GetServiceManager().FindService(name);
    if (!s) return false;
    s->Start();
    return true;
  }
  void StopAllServices() override {
    // The remote-control services stay, so a console can start the others again.
    for (const auto& s : m_engine.GetServiceManager().GetServices())
      if (!IsRemoteControl(*s)) s->Stop();
  }
  void StartAllServices() override {
    for (const auto& s : m_engine.GetServiceManager().GetServices()) s->Start();
  }
  bool PostDial(const CString& profile, bool dial) override {
    auto dialer = m_engine.GetDialer();
    if (!dialer || !dialer->FindProfile(profile)) return false;
    return dialer->PostCommand(profile, dial);
  }
  void ReopenServiceAndDialerLogs() override {
    for (const auto& s : m_engine.GetServiceManager().GetServices()) s->OpenLogFile();
    if (auto dialer = m_engine.GetDialer()) dialer->OpenLogFile();
  }
  void ReopenAuditFiles() override { m_engine.Users().OpenAuditFiles(); }
  bool ExportAccounts(const CString& path, bool append, const CString& timeStamp) override {
    if (path.empty()) return false;
    FILE* f = std::fopen(path.c_str(), append ? "ae" : "we");
    if (!f) return false;
    std::fseek(f, 0, SEEK_END);
    bool ok = true;
    if (!append || std::ftell(f) == 0)
      ok &= std::fputs("Timestamp\tUsername\tReal Name\tClient Send (b)\tClient Recv (b)\tServer Send (b)\tServer "
                       "Recv (b)\tTime (s)\tOpening\tClosing\n",
                       f) >= 0;
    CGroupMemberDatabase& users = m_engine.Users();
    CLockGuard g(users);
    for (const auto& u : Accounts(users)) {
      CLockGuard ug(*u);
      u->UpdateBalance();
      const CString line = FormatString(
          "%s\t%s\t%s\t%u\t%u\t%u\t%u\t%u\t%s\t%s\n", timeStamp.c_str(), u->Name.c_str(), u->RealName.c_str(),
          Saturate(u->ClientSendTraffic), Saturate(u->ClientRecvTraffic), Saturate(u->NonClientSendTraffic),
          Saturate(u->NonClientRecvTraffic), Saturate(u->TimeOnLine), u->OpeningBalance.Format().c_str(),
          u->ClosingBalance.Format().c_str());
      ok &= std::fputs(line.c_str(), f) >= 0;
    }
    ok &= std::fclose(f) == 0;
    return ok;
  }
  bool ResetAccount(const CString& name) override {
    CGroupMemberDatabase& users = m_engine.Users();
    CLockGuard g(users);
    auto u = users.FindUser(name);
    if (!u) return false;
    Reset(*u);
    return true;
  }
  void ResetAllAccounts() override {
    CGroupMemberDatabase& users = m_engine.Users();
    CLockGuard g(users);
    for (const auto& u : Accounts(users)) Reset(*u);
  }
  bool StartCachePurge() override {
    auto cache = m_engine.GetWWWCache();
    return cache && cache->StartPurgeThread();
  }
  void ClearMachines() override { m_engine.GetMachineMap().DeleteAll(); }

 private:
  CTrellisEngine& m_engine;
};

}  // namespace

std::unique_ptr<ISchedulerHost> MakeEngineSchedulerHost(CTrellisEngine& engine) {
  return std::make_unique<CEngineSchedulerHost>(engine);
}
