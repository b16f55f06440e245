#pragma once
// The one engine object: a thread with a message loop that owns the engine's tables, runs the
// two-second housekeeping timer and stops everything in a fixed order.
//
// For now it carries the thread, its timer and the shutdown handshake; the tables it owns join it
// as their subsystems are built.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/msgthread.h"

class CTrellisEngine : public platform::MsgThread {
 public:
  static constexpr uintptr_t kTimerId = 1;
  static constexpr uint32_t kTimerIntervalMs = 2000;
  // A tick that comes sooner than this after the end of the last processed pass is skipped.
  static constexpr uint64_t kMinTickSpacingMs = 1000;

  CTrellisEngine() = default;

  // Stops the engine. A second call waits for the first to finish. With exitProcess set the
  // process ends with code 0 once the engine is down.
  void Shutdown(int exitProcess);

  uint64_t ProcessedTicks() const { return processedTicks_; }

 protected:
  bool InitInstance() override;
  int Run() override;
  int ExitInstance() override;
  void OnMessage(platform::Message& msg) override;
  void OnTimer();

 private:
  std::mutex shutdownMutex_;
  std::condition_variable shutdownDone_;
  bool shuttingDown_ = false;
  bool shutDown_ = false;
  std::atomic<bool> quitAllowed_{false};
  uintptr_t timerId_ = 0;
  uint64_t lastPassEnd_ = 0;
  std::atomic<uint64_t> processedTicks_{0};
};

// The process's engine object, created on first use.
std::shared_ptr<CTrellisEngine> TheEngine();
