#pragma once
// Millisecond sleeps and a monotonic millisecond counter, the two time services every thread of
// the engine uses for its pauses, deadlines and housekeeping intervals.
#include <chrono>
#include <cstdint>
#include <thread>

namespace platform {

inline void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Milliseconds of a steady clock: never goes backwards when the wall clock is set, never wraps.
inline uint64_t TickCount64() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace platform
