#include "engine/scheduler/scheduler.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "engine/config/util.h"

extern char** environ;

namespace {

int64_t MinuteOf(const CDateTime& t) { return ScheduleMinuteOf(t); }

// A line of the log is one line: breaks inside a text become spaces.
CString OneLine(CString text) {
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return text;
}

constexpr size_t kMaxOutputLine = 4096;     // longer output lines are cut
constexpr size_t kMaxOutputBytes = 1 << 20;  // output past this is read and dropped

}  // namespace

CScheduler::CScheduler(ISchedulerHost* host) : m_host(host), m_clock([] { return CDateTime::GetCurrentTime(); }) {}

CScheduler::~CScheduler() { Stop(); }

void CScheduler::SetClock(Clock clock) { m_clock = std::move(clock); }

void CScheduler::SetProgramTimeLimit(std::chrono::milliseconds limit) { m_programLimit = limit; }

// ---- Log ---------------------------------------------------------------------------------------

void CScheduler::OpenLogFile() {
  std::shared_ptr<CLogFile> old;
  {
    std::lock_guard<std::mutex> lk(m_logMutex);
    old = std::move(m_logFile);
  }
  if (!LoggingEnabled.load()) return;
  auto file = CLogFile::Open(kLogDirectoryValue, kLogDirectoryDefault, "Scheduler");
  if (!file) {
    LoggingEnabled = 0;
    return;
  }
  std::lock_guard<std::mutex> lk(m_logMutex);
  m_logFile = std::move(file);
}

std::shared_ptr<CLogFile> CScheduler::GetLogFile() const {
  std::lock_guard<std::mutex> lk(m_logMutex);
  return m_logFile;
}

void CScheduler::Log(uint32_t type, const char* format, ...) {
  try {
    auto file = GetLogFile();
    if (!file || (LogOptions.load() & type) == 0) return;
    va_list args;
    va_start(args, format);
    CString text;
    FormatStringV(text, format, args);
    va_end(args);
    text = OneLine(std::move(text));
    const CString stamp = LogTimeStamp();
    CString line;
    switch (type) {
      case SCHED_LOG_DEBUG: line = stamp + "\tDebug:\t" + text + "\r\n"; break;
      case SCHED_LOG_CONFIG: line = stamp + "\tConfig changed\r\n"; break;
      case SCHED_LOG_ERROR: line = stamp + "\tError:\t" + text + "\r\n"; break;
      default: line = stamp + "\t" + text + "\r\n"; break;
    }
    SubmitLogLine(file, std::move(line));
  } catch (...) {
    // A line that cannot be written is dropped; the scheduler goes on.
  }
}

// ---- Thread ------------------------------------------------------------------------------------

void CScheduler::Start() {
  std::lock_guard<std::mutex> lk(m_threadMutex);
  if (m_thread.joinable()) return;
  OpenLogFile();
  {
    std::lock_guard<std::mutex> pass(m_passMutex);
    m_lastMinute = MinuteOf(m_clock());
    m_haveLast = true;
  }
  m_stopping = false;
  m_thread = std::thread([this] { ThreadMain(); });
  Log(SCHED_LOG_THREAD, "Scheduler thread started");
}

void CScheduler::Stop() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(m_threadMutex);
    if (!m_thread.joinable()) return;
    m_stopping = true;
    t = std::move(m_thread);
  }
  m_wake.notify_all();
  t.join();
  Log(SCHED_LOG_THREAD, "Scheduler thread stopping");
  // Programs end with the scheduler; their workers use this object's log until they are done.
  {
    std::lock_guard<std::mutex> lk(m_workersMutex);
    for (pid_t pid : m_programs) kill(-pid, SIGKILL);
  }
  WaitForPrograms(std::chrono::hours(24));
  // The log closes with the thread (once the lines queued for it are written).
  std::lock_guard<std::mutex> lk(m_logMutex);
  m_logFile.reset();
}

void CScheduler::ThreadMain() {
  std::unique_lock<std::mutex> lk(m_threadMutex);
  while (!m_stopping) {
    // Sleep to the next full minute of the clock; a second past it so the minute has begun.
    const CDateTime now = m_clock();
    const int64_t second = now.GetTotalSeconds();
    const int64_t wait = 60 - (((second % 60) + 60) % 60) + 1;
    m_wake.wait_for(lk, std::chrono::seconds(wait), [this] { return m_stopping; });
    if (m_stopping) break;
    lk.unlock();
    try {
      RunDue(m_clock());
    } catch (...) {
      Log(SCHED_LOG_DEBUG, "Caught unknown exception in CScheduler::OnTimer() - ignoring");
      Log(SCHED_LOG_ERROR_TEXT, "Caught unknown exception in CScheduler::OnTimer() - ignoring");
    }
    lk.lock();
  }
}

void CScheduler::RunDue(const CDateTime& now) {
  if (!now.IsValid()) return;
  std::lock_guard<std::mutex> pass(m_passMutex);
  const int64_t current = MinuteOf(now);
  if (!m_haveLast) {
    m_lastMinute = current - 1;
    m_haveLast = true;
  }
  if (m_lastMinute - current > kMaxWaitBackMinutes) {
    // A clock corrected by hours or days (a real-time clock set right by NTP): waiting until it
    // reaches the old minute again would silence every event for that long, so scheduling goes on
    // from the new time. The minute now has not been processed on this clock.
    Log(SCHED_LOG_ERROR_TEXT, "The clock went back %lld minutes - scheduling from %s",
        static_cast<long long>(m_lastMinute - current), ScheduleMinuteStart(current).Format("%c").c_str());
    m_lastMinute = current - 1;
  }
  if (current <= m_lastMinute) return;  // this minute is done, or the clock went back an hour
  int64_t first = m_lastMinute + 1;
  if (current - first + 1 > kMaxCatchUpMinutes) {
    Log(SCHED_LOG_ERROR, "Scheduler %lld minutes behind - skipping all but the last %lld",
        static_cast<long long>(current - first + 1), static_cast<long long>(kMaxCatchUpMinutes));
    first = current - kMaxCatchUpMinutes + 1;
  }
  for (int64_t m = first; m <= current; ++m) {
    m_lastMinute = m;
    RunMinute(ScheduleMinuteStart(m));
  }
}

void CScheduler::RunMinute(const CDateTime& minute) {
  try {
    for (const auto& event : GetEvents()) {
      if (!event->IsDue(minute)) continue;
      DoEvent(*event);
      CString description;
      {
        CLockGuard g(*event);
        description = event->Description;
      }
      Log(SCHED_LOG_EVENT, "Event processed: %s", description.c_str());
    }
  } catch (...) {
    Log(SCHED_LOG_DEBUG, "Caught unknown exception in CScheduler::OnTimer() - ignoring");
    Log(SCHED_LOG_ERROR_TEXT, "Caught unknown exception in CScheduler::OnTimer() - ignoring");
  }
}

bool CScheduler::ForceEvent(uint32_t id) {
  std::lock_guard<std::mutex> pass(m_passMutex);
  auto event = FindEvent(id);
  if (!event) return false;
  try {
    DoEvent(*event);
    CString description;
    {
      CLockGuard g(*event);
      description = event->Description;
    }
    Log(SCHED_LOG_EVENT, "Event forced: %s", description.c_str());
  } catch (...) {
    // A forced event that fails is logged by DoEvent; the console's request is still answered.
  }
  return true;
}

void CScheduler::DoEvent(const CScheduleEvent& event) {
  try {
    for (const auto& action : event.GetActions()) DoAction(*action);
  } catch (...) {
    Log(SCHED_LOG_ERROR, "Caught exception in CScheduleEvent::DoEvent");
  }
}

void CScheduler::DoAction(const CScheduleEventAction& action) {
  const uint32_t code = action.EventAction;
  const CString& data = action.EventData;
  try {
    if (!m_host && code != TL_ACTION_RUN_PROGRAM && code != TL_ACTION_NOTHING) return;
    switch (code) {
      case TL_ACTION_SERVICE_STOP:
        if (!m_host->StopService(data)) Log(SCHED_LOG_DEBUG, "No service %s to stop", data.c_str());
        break;
      case TL_ACTION_SERVICE_START:
        if (!m_host->StartService(data)) Log(SCHED_LOG_DEBUG, "No service %s to start", data.c_str());
        break;
      case TL_ACTION_SERVICE_STOPALL:
        try {
          m_host->StopAllServices();
        } catch (...) {
          Log(SCHED_LOG_ERROR, "Caught exception in DoAction TL_ACTION_SERVICE_STOPALL");
        }
        break;
      case TL_ACTION_SERVICE_STARTALL:
        try {
          m_host->StartAllServices();
        } catch (...) {
          Log(SCHED_LOG_ERROR, "Caught exception in DoAction TL_ACTION_SERVICE_STARTALL");
        }
        break;
      case TL_ACTION_DIALER_DIALPROFILE:
      case TL_ACTION_DIALER_HANGUPPROFILE: {
        const bool dial = code == TL_ACTION_DIALER_DIALPROFILE;
        try {
          if (!m_host->PostDial(data, dial)) Log(SCHED_LOG_DEBUG, "No dialer profile %s", data.c_str());
        } catch (...) {
          Log(SCHED_LOG_ERROR, dial ? "Caught exception in DoAction TL_ACTION_DIALER_DIALPROFILE"
                                    : "Caught exception in DoAction TL_ACTION_DIALER_HANGUPPROFILE");
        }
        break;
      }
      case TL_ACTION_LOGFILE_ROLLOVER:
        try {
          m_host->ReopenServiceAndDialerLogs();
          OpenLogFile();
        } catch (...) {
          Log(SCHED_LOG_ERROR, "Caught exception in DoAction TL_ACTION_LOGFILE_ROLLOVER");
        }
        break;
      case TL_ACTION_AUDITFILES_ROLLOVER:
        try {
          m_host->ReopenAuditFiles();
        } catch (...) {
          Log(SCHED_LOG_ERROR, "Caught exception in DoAction TL_ACTION_AUDITFILES_ROLLOVER");
        }
        break;
      case TL_ACTION_ACCOUNTS_EXPORT:
        if (!m_host->ExportAccounts(data, action.BOOLData == 1, LogTimeStamp()))
          Log(SCHED_LOG_ERROR_TEXT, "Cannot export the accounts to %s", data.c_str());
        break;
      case TL_ACTION_ACCOUNTS_RESET:
        try {
          if (!m_host->ResetAccount(data)) Log(SCHED_LOG_DEBUG, "No user %s to reset", data.c_str());
        } catch (...) {
          Log(SCHED_LOG_ERROR, "Caught exception in DoAction TL_ACTION_ACCOUNTS_RESET %s", data.c_str());
        }
        break;
      case TL_ACTION_ACCOUNTS_RESETALL:
        try {
          m_host->ResetAllAccounts();
        } catch (...) {
          Log(SCHED_LOG_ERROR, "Caught exception in DoAction TL_ACTION_ACCOUNTS_RESETALL");
        }
        break;
      case TL_ACTION_CACHE_PURGE: m_host->StartCachePurge(); break;
      case TL_ACTION_MACHINES_CLEAR:
        try {
          m_host->ClearMachines();
        } catch (...) {
          // Machines that could not be deleted stay; the next clear takes them.
        }
        break;
      case TL_ACTION_RUN_PROGRAM: RunProgram(data); break;
      default: break;
    }
  } catch (...) {
    Log(SCHED_LOG_ERROR, "Caught exception in CScheduleEventAction::DoAction %u", code);
  }
}

// ---- Programs ----------------------------------------------------------------------------------

std::vector<std::string> CScheduler::SplitCommandLine(const CString& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word += line[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '"') {
      quoted = true;
      inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) return {};
  if (inWord) words.push_back(std::move(word));
  return words;
}

bool CScheduler::RunProgram(const CString& commandLine) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.empty()) {
    Log(SCHED_LOG_ERROR_TEXT, "Cannot run \"%s\": not a command line", commandLine.c_str());
    return false;
  }
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    Log(SCHED_LOG_ERROR_TEXT, "Cannot run %s: %s", args[0].c_str(), std::strerror(errno));
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, out[1], 2);
  // Nothing of the engine's but the three standard descriptors: a listening socket inherited by a
  // program would keep the engine's ports bound after the engine has gone.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  // Its own process group, so the time limit ends everything it started; default signal handling
  // (the engine ignores SIGPIPE) and no blocked signals.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    Log(SCHED_LOG_ERROR_TEXT, "Cannot run %s: %s", args[0].c_str(), std::strerror(rc));
    return false;
  }
  Log(SCHED_LOG_EVENT, "Program started: %s (process %d)", commandLine.c_str(), static_cast<int>(pid));
  {
    std::lock_guard<std::mutex> lk(m_workersMutex);
    ++m_workers;
    m_programs.insert(pid);
  }
  const auto limit = m_programLimit;
  const std::string name = args[0];
  std::thread([this, pid, fd = out[0], limit, name] {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string pending;
    size_t total = 0;
    bool timedOut = false;
    auto flush = [&](bool all) {
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        Log(SCHED_LOG_EVENT, "%s: %s", name.c_str(), pending.substr(0, std::min(nl, kMaxOutputLine)).c_str());
        pending.erase(0, nl + 1);
      }
      if (pending.size() > kMaxOutputLine || (all && !pending.empty())) {
        Log(SCHED_LOG_EVENT, "%s: %s", name.c_str(), pending.substr(0, kMaxOutputLine).c_str());
        pending.clear();
      }
    };
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        timedOut = true;
        break;
      }
      pollfd p{fd, POLLIN, 0};
      const int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) continue;
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // every writer has gone
      if (total < kMaxOutputBytes) {
        pending.append(buf, static_cast<size_t>(std::min<size_t>(n, kMaxOutputBytes - total)));
        flush(false);
      }
      total += static_cast<size_t>(n);
    }
    close(fd);
    flush(true);
    if (timedOut) {
      kill(-pid, SIGKILL);
      Log(SCHED_LOG_ERROR_TEXT, "%s ran past its time limit and was ended", name.c_str());
    }
    // Waited for without reaping first: until it is reaped its number (and group) stays its own.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    {
      std::lock_guard<std::mutex> lk(m_workersMutex);
      m_programs.erase(pid);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
      Log(SCHED_LOG_EVENT, "%s ended with exit code %d", name.c_str(), WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
      Log(SCHED_LOG_EVENT, "%s ended by signal %d", name.c_str(), WTERMSIG(status));
    std::lock_guard<std::mutex> lk(m_workersMutex);
    --m_workers;
    m_workersDone.notify_all();
  }).detach();
  return true;
}

bool CScheduler::WaitForPrograms(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(m_workersMutex);
  return m_workersDone.wait_for(lk, timeout, [this] { return m_workers == 0; });
}
