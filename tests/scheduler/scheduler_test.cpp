#include "engine/scheduler/scheduler.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "tests/support/registry_fixture.h"

namespace {

struct FakeHost : ISchedulerHost {
  std::vector<std::string> calls;
  bool exportFails = false;
  bool StopService(const CString& n) override { return Add("stop " + n, n != "none"); }
  bool StartService(const CString& n) override { return Add("start " + n, n != "none"); }
  void StopAllServices() override { Add("stop all"); }
  void StartAllServices() override { throw std::runtime_error("broken manager"); }
  bool PostDial(const CString& p, bool dial) override { return Add((dial ? "dial " : "hang up ") + p); }
  void ReopenServiceAndDialerLogs() override { Add("logs"); }
  void ReopenAuditFiles() override { Add("audits"); }
  bool ExportAccounts(const CString& p, bool append, const CString&) override {
    return Add("export " + p + (append ? " append" : ""), !exportFails);
  }
  bool ResetAccount(const CString& u) override { return Add("reset " + u); }
  void ResetAllAccounts() override { Add("reset all"); }
  bool StartCachePurge() override { return Add("purge"); }
  void ClearMachines() override { Add("machines"); }
  bool Add(const std::string& c, bool r = true) {
    calls.push_back(c);
    return r;
  }
};

class Scheduler : public trellis::test::PrivateRegistryTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateRegistryTest::SetUp());
    char tmpl[] = "/tmp/trellis-sched.XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = tmpl;
    ASSERT_TRUE(RegWriteString("Settings", "LogFileDirectory", dir_));
    s_.SetClock([this] { return now_; });
    s_.LogOptions = 63;  // error lines too
    s_.OpenLogFile();
    ASSERT_TRUE(s_.GetLogFile());
  }
  void TearDown() override {
    s_.WaitForPrograms(std::chrono::seconds(10));
    std::filesystem::remove_all(dir_);
    PrivateRegistryTest::TearDown();
  }
  std::string LogText() {
    std::ifstream f(s_.GetLogFile()->GetPath());
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::shared_ptr<CScheduleEvent> Daily(int hour, int minute, uint32_t action, const CString& data) {
    auto e = std::make_shared<CScheduleEvent>();
    e->Every = 1;
    e->EveryWhat = TL_EVERY_DAY;
    e->AtTime = CDateTime(1899, 12, 30, hour, minute, 0);
    e->Description = FormatString("at %02d:%02d", hour, minute);
    e->AddAction(std::make_shared<CScheduleEventAction>(action, data));
    s_.AddEvent(e);
    return e;
  }

  FakeHost host_;
  CScheduler s_{&host_};
  CDateTime now_{2024, 4, 30, 9, 0, 10};
  std::string dir_;
};

TEST_F(Scheduler, EveryMinuteRunsOnceWhateverTheWakeUps) {
  Daily(9, 1, TL_ACTION_SERVICE_STOP, "WWW");
  Daily(9, 2, TL_ACTION_SERVICE_START, "WWW");
  Daily(9, 3, TL_ACTION_DIALER_DIALPROFILE, "ISP");
  s_.RunDue(CDateTime(2024, 4, 30, 9, 0, 30));  // the first pass: this minute only
  EXPECT_TRUE(host_.calls.empty());
  s_.RunDue(CDateTime(2024, 4, 30, 9, 1, 2));
  s_.RunDue(CDateTime(2024, 4, 30, 9, 1, 40));  // a doubled wake-up in the same minute
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"stop WWW"}));
  s_.RunDue(CDateTime(2024, 4, 30, 9, 3, 5));  // 9:02 was missed: it runs before 9:03
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"stop WWW", "start WWW", "dial ISP"}));
  s_.RunDue(CDateTime(2024, 4, 30, 8, 59, 0));  // the clock went back an hour
  s_.RunDue(CDateTime(2024, 4, 30, 9, 2, 0));
  EXPECT_EQ(host_.calls.size(), 3u);
  // Far behind: only the last hour is caught up, and that is logged.
  s_.RunDue(CDateTime(2024, 5, 1, 9, 2, 30));
  EXPECT_EQ(host_.calls.size(), 5u);  // 9:01 and 9:02 of the next day
  const std::string log = LogText();
  EXPECT_NE(log.find("\tEvent processed: at 09:01\r\n"), std::string::npos);
  EXPECT_NE(log.find("Error:\tScheduler 1439 minutes behind"), std::string::npos);
}

TEST_F(Scheduler, AClockSetBackByDaysIsLoggedAndSchedulingGoesOnFromTheNewTime) {
  Daily(9, 1, TL_ACTION_SERVICE_STOP, "WWW");
  Daily(9, 3, TL_ACTION_SERVICE_START, "WWW");
  s_.LogOptions = 47;  // the default: what an operator sees
  s_.RunDue(CDateTime(2024, 4, 30, 9, 0, 30));
  // The clock was days ahead (a bad RTC) and ran 9:01; NTP then sets it back three days.
  s_.RunDue(CDateTime(2024, 4, 30, 9, 1, 1));
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"stop WWW"}));
  s_.RunDue(CDateTime(2024, 4, 27, 9, 0, 1));
  EXPECT_EQ(host_.calls.size(), 1u);
  // Events go on from the corrected time, each minute once however often the scheduler wakes.
  s_.RunDue(CDateTime(2024, 4, 27, 9, 1, 1));
  s_.RunDue(CDateTime(2024, 4, 27, 9, 1, 50));
  s_.RunDue(CDateTime(2024, 4, 27, 9, 3, 1));
  EXPECT_EQ(host_.calls, (std::vector<std::string>{"stop WWW", "stop WWW", "start WWW"}));
  EXPECT_NE(LogText().find("\tThe clock went back 4321 minutes - scheduling from 04/27/24 09:00:00\r\n"),
            std::string::npos)
      << LogText();
  // Two hours back is still waited out (nothing runs twice), as is the autumn's hour.
  s_.RunDue(CDateTime(2024, 4, 27, 7, 4, 1));
  s_.RunDue(CDateTime(2024, 4, 27, 9, 1, 1));
  EXPECT_EQ(host_.calls.size(), 3u);
  s_.RunDue(CDateTime(2024, 4, 27, 9, 4, 1));
  EXPECT_EQ(host_.calls.size(), 3u);
}

TEST_F(Scheduler, AFailedAccountsExportIsWrittenUnderTheDefaultLogOptions) {
  s_.LogOptions = 47;
  host_.exportFails = true;
  auto e = std::make_shared<CScheduleEvent>();
  e->Description = "Export";
  e->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_ACCOUNTS_EXPORT, "/nonexistent/accounts.tsv"));
  ASSERT_TRUE(s_.ForceEvent(s_.AddEvent(e)));
  EXPECT_NE(LogText().find("\tCannot export the accounts to /nonexistent/accounts.tsv\r\n"), std::string::npos)
      << LogText();
}

TEST_F(Scheduler, ActionsForcedEventsAndFailures) {
  auto e = std::make_shared<CScheduleEvent>();
  e->Description = "Everything";
  for (uint32_t a : {1u, 2u, 3u, 5u, 6u, 7u, 8u, 10u, 11u, 12u, 13u, 99u}) {
    e->AddAction(std::make_shared<CScheduleEventAction>(a, a == 1 ? "none" : "x"));
  }
  e->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_ACCOUNTS_EXPORT, "/tmp/a.tsv", 1));
  e->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_SERVICE_STARTALL, ""));
  e->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_SERVICE_START, "after"));
  const uint32_t id = s_.AddEvent(e);
  EXPECT_FALSE(s_.ForceEvent(id + 1));
  EXPECT_TRUE(s_.ForceEvent(id));
  EXPECT_EQ(host_.calls,
            (std::vector<std::string>{"stop none", "start x", "stop all", "dial x", "hang up x", "logs", "audits",
                                      "reset x", "reset all", "purge", "machines", "export /tmp/a.tsv append",
                                      "start after"}));
  const std::string log = LogText();
  EXPECT_NE(log.find("Caught exception in DoAction TL_ACTION_SERVICE_STARTALL"), std::string::npos);
  EXPECT_NE(log.find("\tEvent forced: Everything\r\n"), std::string::npos);
}

TEST_F(Scheduler, ProgramsRunWithoutAShellInTheirOwnGroupIntoTheLog) {
  EXPECT_EQ(CScheduler::SplitCommandLine("/bin/echo \"two words\" plain \"q\\\"uote\""),
            (std::vector<std::string>{"/bin/echo", "two words", "plain", "q\"uote"}));
  EXPECT_TRUE(CScheduler::SplitCommandLine("\"unclosed").empty());

  // A descriptor of the engine that must not reach the program.
  int leak[2];
  ASSERT_EQ(pipe(leak), 0);  // without CLOEXEC on purpose
  const int high = fcntl(leak[0], F_DUPFD, 50);  // a number the listing's own descriptor never takes
  ASSERT_GE(high, 50);
  ASSERT_TRUE(s_.RunProgram("/bin/sh -c \"ls /proc/self/fd; echo pgid $(ps -o pgid= -p $$) pid $$; echo oops >&2\""));
  ASSERT_TRUE(s_.WaitForPrograms(std::chrono::seconds(10)));
  close(leak[0]);
  close(leak[1]);
  close(high);
  std::string log = LogText();
  EXPECT_NE(log.find("sh: oops"), std::string::npos) << log;
  EXPECT_NE(log.find("sh ended with exit code 0"), std::string::npos) << log;
  // The listing shows 0, 1, 2 and its own directory descriptor, nothing of the test's.
  EXPECT_NE(log.find("sh: 2\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("sh: " + std::to_string(high) + "\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("sh: " + std::to_string(leak[1]) + "\r\n"), std::string::npos) << log;
  const auto at = log.find("sh: pgid ");
  ASSERT_NE(at, std::string::npos);
  std::istringstream words(log.substr(at + 9));
  std::string pgid, pidWord, pid;
  words >> pgid >> pidWord >> pid;
  EXPECT_EQ(pgid, pid);  // a group of its own

  // Shell words are not interpreted: the ";" reaches echo as an argument.
  ASSERT_TRUE(s_.RunProgram("/bin/echo a; touch " + dir_ + "/made"));
  ASSERT_TRUE(s_.WaitForPrograms(std::chrono::seconds(10)));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/made"));
  EXPECT_NE(LogText().find("echo: a; touch"), std::string::npos);

  // A missing program is logged; one past its limit is ended with its group and reaped.
  EXPECT_FALSE(s_.RunProgram("/nonexistent/program --flag"));
  EXPECT_NE(LogText().find("\tCannot run /nonexistent/program: No such file or directory\r\n"), std::string::npos);
  s_.SetProgramTimeLimit(std::chrono::milliseconds(300));
  ASSERT_TRUE(s_.RunProgram("/bin/sh -c \"sleep 30 & sleep 30\""));
  ASSERT_TRUE(s_.WaitForPrograms(std::chrono::seconds(10)));
  log = LogText();
  EXPECT_NE(log.find("sh ran past its time limit and was ended"), std::string::npos);
  EXPECT_NE(log.find("sh ended by signal 9"), std::string::npos);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left unreaped

  // Stopping the scheduler ends what is still running, at once.
  s_.SetProgramTimeLimit(std::chrono::seconds(60));
  s_.Start();
  ASSERT_TRUE(s_.RunProgram("/bin/sleep 60"));
  const auto before = std::chrono::steady_clock::now();
  s_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
