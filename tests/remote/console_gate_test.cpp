// The consoles' door as strangers meet it: places per address and in all apart from logged-in
// consoles, failures that grow the wait and lapse, the one report, the line budget, and a table of
// addresses that does not grow with a flood from many of them.
#include "engine/remote/console_gate.h"

#include <gtest/gtest.h>

#include "engine/config/util.h"

namespace {

using Gate = CConsoleGate;

TEST(ConsoleGate, StrangersWaitInTheirOwnPlacesApartFromConsoles) {
  Gate gate;
  for (size_t i = 0; i < Gate::kMaxWaitingPerAddress; ++i)
    EXPECT_EQ(gate.Admit("10.0.0.9", 0), Gate::Admission::ADMITTED);
  EXPECT_EQ(gate.Admit("10.0.0.9", 0), Gate::Admission::ADDRESS_FULL);
  // Others fill the rest of the waiting places; then nobody waits more.
  size_t admitted = Gate::kMaxWaitingPerAddress;
  for (uint32_t a = 1; admitted < Gate::kMaxWaiting; ++a)
    admitted += gate.Admit(FormatString("10.0.1.%u", a), 0) == Gate::Admission::ADMITTED;
  EXPECT_EQ(gate.Admit("10.0.2.1", 0), Gate::Admission::ALL_FULL);
  // A log-in moves to a console's place and frees its waiting one.
  EXPECT_TRUE(gate.Promote("10.0.0.9"));
  EXPECT_EQ(gate.GetWaiting(), Gate::kMaxWaiting - 1);
  EXPECT_EQ(gate.Admit("10.0.2.1", 0), Gate::Admission::ADMITTED);
  // Consoles have their own bound, which waiting strangers do not touch.
  gate.Release("10.0.2.1", false);
  for (size_t i = 1; i < Gate::kMaxConsoles; ++i) {
    ASSERT_EQ(gate.Admit("127.0.0.1", 0), Gate::Admission::ADMITTED);
    EXPECT_TRUE(gate.Promote("127.0.0.1"));
  }
  ASSERT_EQ(gate.Admit("127.0.0.1", 0), Gate::Admission::ADMITTED);
  EXPECT_FALSE(gate.Promote("127.0.0.1"));
  gate.Release("127.0.0.1", false);
  gate.Release("127.0.0.1", true);
  EXPECT_EQ(gate.GetConsoles(), Gate::kMaxConsoles - 1);
  EXPECT_EQ(gate.GetWaiting(), Gate::kMaxWaiting - 1);
}

TEST(ConsoleGate, FailuresGrowTheWaitReportOnceAndLapse) {
  Gate gate;
  const uint32_t expected[] = {1000, 1000, 1000, 2000, 4000, 8000, 10000, 10000, 10000};
  uint64_t now = 1000;
  int reports = 0;
  for (uint32_t i = 0; i < std::size(expected); ++i) {
    const Gate::Failure f = gate.RecordFailure("10.0.0.9", now += 500);
    EXPECT_EQ(f.count, i + 1);
    EXPECT_EQ(f.delayMs, expected[i]) << i;
    EXPECT_EQ(f.report, i + 1 == Gate::kReportAfterFailures) << i;
    reports += f.report;
  }
  EXPECT_EQ(reports, 1);
  // Another address starts at the beginning.
  EXPECT_EQ(gate.RecordFailure("10.0.0.10", now).delayMs, 1000u);
  // An address that keeps failing waits alone.
  EXPECT_EQ(gate.Admit("10.0.0.9", now), Gate::Admission::ADMITTED);
  EXPECT_EQ(gate.Admit("10.0.0.9", now), Gate::Admission::ADDRESS_FULL);
  gate.Release("10.0.0.9", false);
  // Quiet for the whole window: its count starts again, and so can a report.
  now += Gate::kFailureWindowMs;
  EXPECT_EQ(gate.RecordFailure("10.0.0.9", now).count, 1u);
  for (uint32_t i = 1; i < Gate::kReportAfterFailures - 1; ++i) gate.RecordFailure("10.0.0.9", now);
  EXPECT_TRUE(gate.RecordFailure("10.0.0.9", now).report);
}

TEST(ConsoleGate, LinesPerAddressAreBudgeted) {
  Gate gate;
  for (uint32_t i = 1; i < Gate::kLinesPerWindow; ++i) EXPECT_EQ(gate.TakeLines("10.0.0.9", 0), Gate::Lines::WRITE);
  EXPECT_EQ(gate.TakeLines("10.0.0.9", 0), Gate::Lines::WRITE_LAST);
  EXPECT_EQ(gate.TakeLines("10.0.0.9", 1000), Gate::Lines::LEAVE_OUT);
  EXPECT_EQ(gate.TakeLines("10.0.0.10", 1000), Gate::Lines::WRITE);
  EXPECT_EQ(gate.TakeLines("10.0.0.9", Gate::kLineWindowMs), Gate::Lines::WRITE);
}

TEST(ConsoleGate, AFloodFromManyAddressesKeepsTheTableBounded) {
  Gate gate;
  EXPECT_EQ(gate.Admit("10.0.0.9", 0), Gate::Admission::ADMITTED);
  for (uint32_t i = 0; i < Gate::kMaxAddresses + 100; ++i) gate.RecordFailure(FormatString("addr%u", i), i + 1);
  EXPECT_EQ(gate.GetAddressCount(), Gate::kMaxAddresses);
  // The address holding a place was kept: it still holds it.
  for (size_t i = 1; i < Gate::kMaxWaitingPerAddress; ++i)
    EXPECT_EQ(gate.Admit("10.0.0.9", 0), Gate::Admission::ADMITTED);
  EXPECT_EQ(gate.Admit("10.0.0.9", 0), Gate::Admission::ADDRESS_FULL);
}

}  // namespace
