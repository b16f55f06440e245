#pragma once
// Who may wait at the consoles' door. A connection to the remote-control service is a thread that
// holds a place from its accept until its log-in ends, one way or the other; strangers must not
// be able to fill those places, try passwords at network speed, or fill the service log, and the
// operator must be served meanwhile. So:
//   - connections not yet logged in have their own places, at most kMaxWaitingPerAddress from one
//     source address (one, once that address has failed kReportAfterFailures times) and
//     kMaxWaiting in all; logged-in consoles have theirs (kMaxConsoles), which no stranger takes;
//   - every failed log-in of an address, on any of its connections, counts against that address
//     until kFailureWindowMs pass without one, and makes the refusal wait longer (FailureDelayMs);
//   - when an address reaches kReportAfterFailures, that is reported once (until its count lapses);
//   - lines in the service log about one address's connections that did not log in are limited
//     to kLinesPerWindow per kLineWindowMs, and their absence is said once per window.
// Addresses are kept for at most kMaxAddresses; the one whose news is oldest goes first.
//
// Threads: the engine thread admits, session threads promote, release and record; one mutex (a
// leaf) guards everything.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "engine/config/archive.h"

class CConsoleGate {
 public:
  static constexpr size_t kMaxConsoles = 32;
  static constexpr size_t kMaxWaiting = 32;
  static constexpr size_t kMaxWaitingPerAddress = 4;
  static constexpr uint32_t kReportAfterFailures = 8;
  static constexpr uint64_t kFailureWindowMs = 15 * 60 * 1000;
  static constexpr uint32_t kMaxDelayMs = 10000;
  static constexpr uint32_t kLinesPerWindow = 20;
  static constexpr uint64_t kLineWindowMs = 60 * 1000;
  static constexpr size_t kMaxAddresses = 4096;

  enum class Admission { ADMITTED, ADDRESS_FULL, ALL_FULL };
  // A place for a new connection from address that has not logged in.
  Admission Admit(const CString& address, uint64_t now);
  // The connection logged in: it leaves its waiting place for a console's. False when every
  // console place is taken (the connection then keeps its waiting place until Release).
  bool Promote(const CString& address);
  // The connection has ended: its place is free (console: whether Promote succeeded).
  void Release(const CString& address, bool console);

  struct Failure {
    uint32_t count = 0;    // failures of the address in its window, this one included
    uint32_t delayMs = 0;  // how long this refusal waits before the client hears it
    bool report = false;   // the address has just reached kReportAfterFailures
  };
  Failure RecordFailure(const CString& address, uint64_t now);

  enum class Lines { WRITE, WRITE_LAST, LEAVE_OUT };
  // Whether the lines of one connection of address that did not log in are written; WRITE_LAST:
  // written, and they are the last ones of this window (the caller says so).
  Lines TakeLines(const CString& address, uint64_t now);

  // The delay of the n-th failure in a row: a typing slip or two costs the usual second, then it
  // doubles up to kMaxDelayMs, which the console's wait for its answer still outlasts.
  static uint32_t FailureDelayMs(uint32_t failures);

  size_t GetWaiting() const;
  size_t GetConsoles() const;
  size_t GetAddressCount() const;

 private:
  struct Address {
    size_t waiting = 0;
    uint32_t failures = 0;
    uint64_t lastFailure = 0;
    bool reported = false;
    uint32_t lines = 0;
    uint64_t lineWindowStart = 0;
    uint64_t lastSeen = 0;
  };
  // The record of an address (made when missing); a lapsed failure count starts again.
  Address& Find(const CString& address, uint64_t now);
  void DropIdle(const CString& keep);
  void LeaveWaiting(const CString& address);

  mutable std::mutex m_mutex;
  std::unordered_map<CString, Address> m_addresses;
  size_t m_waiting = 0;
  size_t m_consoles = 0;
};
