#include "engine/core/engine.h"

#include <cstdlib>

#include "engine/core/config/reghelpers.h"
#include "platform/clock.h"

std::shared_ptr<CTrellisEngine> TheEngine() {
  static std::shared_ptr<CTrellisEngine> engine = std::make_shared<CTrellisEngine>();
  return engine;
}

bool CTrellisEngine::InitInstance() {
  try {
    SetRegistryRoot("Nomra Software", "Trellis 2");
    if (SetTimer(kTimerId, kTimerIntervalMs)) timerId_ = kTimerId;
  } catch (...) {
    // A failed start-up step leaves a partly started engine that still answers its stop.
  }
  return true;
}

int CTrellisEngine::Run() {
  platform::Message msg;
  for (;;) {
    try {
      if (!GetMessage(&msg)) {
        if (quitAllowed_) return ExitInstance();
        // Only our own shutdown may end the engine thread; a stray quit is ignored.
        continue;
      }
      OnMessage(msg);
    } catch (...) {
      // A failing message counts as handled; the loop goes on.
    }
  }
}

int CTrellisEngine::ExitInstance() { return 0; }

void CTrellisEngine::OnMessage(platform::Message& msg) {
  if (msg.message == platform::WM_TIMER && msg.wParam == kTimerId) OnTimer();
}

void CTrellisEngine::OnTimer() {
  uint64_t now = platform::TickCount64();
  if (lastPassEnd_ != 0 && now - lastPassEnd_ < kMinTickSpacingMs) return;
  ++processedTicks_;
  lastPassEnd_ = platform::TickCount64();
}

void CTrellisEngine::Shutdown(int exitProcess) {
  {
    std::unique_lock<std::mutex> lk(shutdownMutex_);
    if (shuttingDown_) {
      shutdownDone_.wait(lk, [this] { return shutDown_; });
      return;
    }
    shuttingDown_ = true;
  }
  try {
    if (timerId_ != 0) {
      KillTimer(timerId_);
      timerId_ = 0;
    }
  } catch (...) {
  }
  quitAllowed_ = true;
  PostQuit(0);
  {
    std::lock_guard<std::mutex> lk(shutdownMutex_);
    shutDown_ = true;
  }
  shutdownDone_.notify_all();
  if (exitProcess) {
    WaitForExit(10000);
    std::exit(0);
  }
}
