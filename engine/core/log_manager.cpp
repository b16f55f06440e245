#include "engine/core/log_manager.h"

#include <cstdarg>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/config/util.h"

namespace {

// The manager SubmitLogLine hands lines to. A weak reference: the writer hook never keeps a
// finished manager alive, and a line that arrives while it goes away is written by its caller.
std::mutex g_activeMutex;
std::weak_ptr<CLogManager> g_active;

bool WriteThroughManager(std::shared_ptr<CLogFile> file, std::string line) {
  std::shared_ptr<CLogManager> manager;
  {
    std::lock_guard<std::mutex> lock(g_activeMutex);
    manager = g_active.lock();
  }
  return manager && manager->Log(file, std::move(line));
}

}  // namespace

CLogManager::~CLogManager() { Uninstall(); }

void CLogManager::Install() {
  std::lock_guard<std::mutex> lock(g_activeMutex);
  g_active = std::static_pointer_cast<CLogManager>(shared_from_this());
  SetLogWriter(&WriteThroughManager);
}

void CLogManager::Uninstall() {
  std::lock_guard<std::mutex> lock(g_activeMutex);
  // Only the manager that is installed takes itself out; an expired reference is this one being
  // destroyed (or one long gone) and is cleared as well.
  std::shared_ptr<CLogManager> current = g_active.lock();
  if (current && current.get() != this) return;
  g_active.reset();
  SetLogWriter(nullptr);
}

bool CLogManager::Start() {
  if (!CreateThread()) return false;
  Install();
  return true;
}

void CLogManager::PostQuit() { MsgThread::PostQuit(0); }

bool CLogManager::Shutdown(int timeoutMs) {
  PostQuit();
  return WaitForExit(timeoutMs);
}

bool CLogManager::Log(const std::shared_ptr<CLogFile>& file, std::string line) {
  if (!file) return true;  // an owner without a file logs nothing
  if (HasEnded()) return false;
  if (m_pending.fetch_add(1) >= m_maxPending) {
    m_pending.fetch_sub(1);
    m_droppedUnreported.fetch_add(1);
    m_droppedTotal.fetch_add(1);
    return true;
  }
  if (!Post(platform::WM_LOG_ENTRY, 0, std::make_unique<CLogEntry>(file, std::move(line)))) {
    m_pending.fetch_sub(1);
    return false;
  }
  return true;
}

bool CLogManager::LogF(const std::shared_ptr<CLogFile>& file, const char* format, ...) {
  if (!file) return true;
  CString line;
  va_list args;
  va_start(args, format);
  FormatStringV(line, format, args);
  va_end(args);
  return Log(file, std::move(line));
}

int CLogManager::Run() {
  platform::Message msg;
  std::vector<std::unique_ptr<CLogEntry>> batch;
  // Sleeps only while the queue is empty, so only the first line after a quiet spell wakes it.
  while (GetMessage(&msg)) {
    OnMessage(msg);
    for (;;) {
      bool quit = false;
      while (PeekMessage(&msg)) {
        if (msg.message == platform::WM_QUIT) {
          quit = true;
          break;
        }
        if (msg.message != platform::WM_LOG_ENTRY) continue;
        std::unique_ptr<platform::MsgPayload> payload = std::move(msg.payload);
        if (auto* entry = dynamic_cast<CLogEntry*>(payload.get())) {
          payload.release();
          batch.emplace_back(entry);
        }
      }
      const bool busy = !batch.empty();
      WriteBatch(batch);
      // Lines queued behind the quit are still written by ExitInstance.
      if (quit) return ExitInstance();
      // Nothing came while the last lines were written: back to sleep until the next line, which
      // is then written at once. Lines that did come mean a busy spell: pause, so the next look
      // finds many lines and their posters wake nobody meanwhile.
      if (!busy) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(kBatchPauseMs));
    }
    msg = platform::Message{};
  }
  return ExitInstance();
}

void CLogManager::WriteBatch(std::vector<std::unique_ptr<CLogEntry>>& batch) {
  // Neighbouring lines of one file go out in one write: in a busy spell most lines belong to a
  // few files, and a system call per line would cost the writer more than the lines themselves.
  static constexpr size_t kMaxWrite = 256 * 1024;
  std::shared_ptr<CLogFile> file;
  std::string text;
  auto flush = [&] {
    if (file && !text.empty()) {
      try {
        file->Write(text);
      } catch (...) {
        // Lines that cannot be written have nowhere else to go; the writer thread goes on.
      }
    }
    text.clear();
  };
  for (std::unique_ptr<CLogEntry>& entry : batch) {
    m_pending.fetch_sub(1);
    if (!entry->file) continue;
    if (entry->file != file) {
      flush();
      file = entry->file;
    }
    if (uint64_t dropped = m_droppedUnreported.exchange(0))
      text += LogTimeStamp() + "\t" + std::to_string(dropped) + " log lines dropped\r\n";
    text += entry->text;
    if (text.size() >= kMaxWrite) flush();
  }
  flush();
  batch.clear();  // the entries (and perhaps their files) go here, after their lines are out
}

void CLogManager::OnMessage(platform::Message& msg) {
  if (msg.message != platform::WM_LOG_ENTRY) return;
  // Taking the payload frees the entry (and perhaps its file) when the handler is done.
  std::unique_ptr<platform::MsgPayload> payload = std::move(msg.payload);
  OnLogEntry(dynamic_cast<CLogEntry*>(payload.get()));
}

void CLogManager::OnLogEntry(CLogEntry* entry) {
  if (!entry) return;
  m_pending.fetch_sub(1);
  if (!entry->file) return;
  try {
    if (uint64_t dropped = m_droppedUnreported.exchange(0)) {
      entry->file->Write(LogTimeStamp() + "\t" + std::to_string(dropped) + " log lines dropped\r\n");
    }
    // A failed write has nowhere to be reported: the log is where it would go.
    entry->file->Write(entry->text);
  } catch (...) {
    // A line that cannot be written has nowhere else to go; the writer thread goes on.
  }
}

int CLogManager::ExitInstance() {
  // From here on callers write their own lines; whatever was queued behind the quit is still
  // written, so nothing posted before the hand-back is lost.
  // The queue is closed before what it holds is taken: a caller that found this writer before
  // the hand-back and posts only now is refused and writes its line itself, where a post taken
  // after the last look would have been dropped with the queue at the thread's end.
  Uninstall();
  std::deque<platform::Message> rest = CloseQueueAndTakeRest();
  for (platform::Message& msg : rest) {
    if (msg.message == platform::WM_LOG_ENTRY) OnMessage(msg);
  }
  return 0;
}
