#pragma once
// The engine's one log writer: every log and audit line of the process is appended by this thread,
// so lines never interleave and a slow disk never holds up a session. Owners format their lines
// themselves and hand over the finished text with a counted reference to their file.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/config/log_file.h"
#include "platform/msg_thread.h"

// One queued line: the finished text (CR LF included) and the file it belongs to. The reference
// keeps the file open until the line is written, even when its owner has moved on to another file.
struct CLogEntry : platform::MsgPayload {
  CLogEntry(std::shared_ptr<CLogFile> f, std::string t) : file(std::move(f)), text(std::move(t)) {}
  std::shared_ptr<CLogFile> file;
  std::string text;
};

class CLogManager : public platform::MsgThread {
 public:
  // Lines waiting beyond this are dropped and counted rather than let memory grow without limit
  // behind a stalled disk.
  static constexpr size_t kDefaultMaxPending = 100000;
  // Once woken by a line the writer writes it and looks again at once; when lines came meanwhile
  // (a busy spell) it writes them and then waits this long before each further look, for as long
  // as each look finds more. Lines posted while it is awake wake nobody, so a busy engine wakes
  // its writer a few hundred times a second instead of once for every line, while on a quiet one
  // a line is written as soon as it comes. Order is kept: every line goes through the one queue.
  static constexpr int kBatchPauseMs = 2;
  // How long Shutdown waits for the queue to be written.
  static constexpr int kShutdownWaitMs = 3000;

  explicit CLogManager(size_t maxPending = kDefaultMaxPending) : m_maxPending(maxPending) {}
  ~CLogManager() override;

  // Starts the thread (the object must be held by a std::shared_ptr) and makes it the process's log
  // writer, so SubmitLogLine queues lines here. False when the thread could not be started.
  bool Start();
  // Queues WM_QUIT behind the lines already posted.
  void PostQuit();
  // PostQuit, then waits up to timeoutMs for the thread to write what was queued before and end.
  // False when it did not end in time.
  bool Shutdown(int timeoutMs = kShutdownWaitMs);

  // Queues one finished line (never used as a format). Lines posted before Start wait for it.
  // True when the line was queued or dropped for lack of room; false when the thread has ended
  // and the line was not taken.
  bool Log(const std::shared_ptr<CLogFile>& file, std::string line);
  // Formats once, then queues the result like Log.
  bool LogF(const std::shared_ptr<CLogFile>& file, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // Lines dropped because the queue was full, since the thread was created.
  uint64_t GetDroppedCount() const { return m_droppedTotal.load(); }
  // Lines queued and not yet written.
  size_t GetPendingCount() const { return m_pending.load(); }

 protected:
  bool InitInstance() override { return true; }
  // Writes lines in batches: see kBatchPauseMs.
  int Run() override;
  int ExitInstance() override;
  void OnMessage(platform::Message& msg) override;
  void OnLogEntry(CLogEntry* entry);
  // Writes the entries in order, and empties the list.
  void WriteBatch(std::vector<std::unique_ptr<CLogEntry>>& batch);

 private:
  void Install();
  void Uninstall();

  const size_t m_maxPending;
  std::atomic<size_t> m_pending{0};
  // Dropped since the last report line.
  std::atomic<uint64_t> m_droppedUnreported{0};
  std::atomic<uint64_t> m_droppedTotal{0};
};
