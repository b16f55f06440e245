#include "engine/core/log_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/config/log_file.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "tests/support/test_env.h"

namespace {

using trellis::test::CRLFLines;
using trellis::test::MakeTempDir;
using trellis::test::OpenDescriptors;
using trellis::test::ReadFile;

std::string Today() { return CLogFile::FileNameFor("x", time(nullptr)).substr(2, 7); }

TEST(LogManager, ConcurrentOwnersLandInTheirOwnFilesCompleteAndInOrder) {
  const std::string dir = MakeTempDir("logs") + "/deep/Logs";  // missing levels are created
  ASSERT_TRUE(RegWriteString("Settings", kLogDirectoryValue, dir));
  auto manager = std::make_shared<CLogManager>();
  ASSERT_TRUE(manager->Start());

  auto alpha = CLogFile::Open(kLogDirectoryValue, kLogDirectoryDefault, "Alpha");
  auto beta = CLogFile::Open(kLogDirectoryValue, kLogDirectoryDefault, "Beta");
  ASSERT_TRUE(alpha && beta);
  EXPECT_EQ(alpha->GetPath(), dir + "/Alpha." + Today() + ".log");

  constexpr int kThreads = 4, kLines = 2000;
  // Text full of conversions and tabs: it must arrive as given, never taken as a format.
  const std::string tail = "\tGET http://h/%s%n%d%%20x\t100%";
  std::vector<std::thread> threads;
  for (int t = 0; t < 2 * kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto& file = t % 2 ? beta : alpha;
      const std::string owner = t % 2 ? "B" : "A";
      for (int i = 0; i < kLines; ++i) {
        std::string pad(static_cast<size_t>((i * 7919 + t) % 300), 'p');
        SubmitLogLine(file, owner + "\t" + std::to_string(t) + "\t" + std::to_string(i) + tail + pad + "\r\n");
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(manager->Shutdown(30000));
  EXPECT_EQ(manager->GetDroppedCount(), 0u);

  for (const auto& [file, owner] : {std::pair{alpha, std::string("A")}, std::pair{beta, std::string("B")}}) {
    std::map<int, int> nextOfThread;
    size_t count = 0;
    for (const std::string& line : CRLFLines(ReadFile(file->GetPath()))) {
      ++count;
      int t = -1, i = -1;
      char o = 0;
      ASSERT_EQ(sscanf(line.c_str(), "%c\t%d\t%d", &o, &t, &i), 3) << line;
      ASSERT_EQ(std::string(1, o), owner) << line;
      ASSERT_EQ(i, nextOfThread[t]) << "thread " << t << " out of order or lost a line";
      nextOfThread[t] = i + 1;
      std::string expected = std::string(1, o) + "\t" + std::to_string(t) + "\t" + std::to_string(i) + tail +
                             std::string(static_cast<size_t>((i * 7919 + t) % 300), 'p');
      ASSERT_EQ(line, expected);
    }
    EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
  }
  RegRemoveValue("Settings", kLogDirectoryValue);
}

TEST(LogManager, ReopenWhileLinesAreQueuedLosesAndMisplacesNothing) {
  const std::string dir = MakeTempDir("reopen");
  const size_t fdsBefore = OpenDescriptors();
  {
    auto manager = std::make_shared<CLogManager>();
    // Not started yet: every line below waits in the queue while its owner moves on.
    auto a = CLogFile::OpenPath(dir + "/a1.log");
    ASSERT_TRUE(a);
    for (int i = 0; i < 500; ++i) manager->Log(a, "old " + std::to_string(i) + "\r\n");
    a.reset();  // the owner closes its file and opens the next one
    auto b = CLogFile::OpenPath(dir + "/b.log");  // a reused descriptor would catch a's lines here
    for (int i = 0; i < 500; ++i) manager->Log(b, "b " + std::to_string(i) + "\r\n");
    a = CLogFile::OpenPath(dir + "/a2.log");
    for (int i = 0; i < 500; ++i) manager->Log(a, "new " + std::to_string(i) + "\r\n");
    EXPECT_EQ(ReadFile(dir + "/a1.log"), "");
    EXPECT_EQ(manager->GetPendingCount(), 1500u);

    ASSERT_TRUE(manager->Start());
    ASSERT_TRUE(manager->Shutdown(30000));
    for (const auto& [name, prefix] : {std::pair{"a1", "old "}, std::pair{"b", "b "}, std::pair{"a2", "new "}}) {
      std::string expected;
      for (int i = 0; i < 500; ++i) expected += prefix + std::to_string(i) + "\r\n";
      EXPECT_EQ(ReadFile(dir + "/" + name + ".log"), expected) << name;
    }

    // Once the writer has ended, lines are written by their callers instead of vanishing.
    SubmitLogLine(a, "after\r\n");
    EXPECT_EQ(CRLFLines(ReadFile(dir + "/a2.log")).back(), "after");
    EXPECT_FALSE(manager->Log(a, "refused\r\n"));
  }
  EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

TEST(LogManager, FullQueueDropsAndReportsTheCountInTheNextLine) {
  const std::string dir = MakeTempDir("drops");
  auto manager = std::make_shared<CLogManager>(10);
  auto file = CLogFile::OpenPath(dir + "/d.log");
  for (int i = 0; i < 15; ++i) EXPECT_TRUE(manager->Log(file, "line " + std::to_string(i) + "\r\n"));
  EXPECT_EQ(manager->GetDroppedCount(), 5u);
  ASSERT_TRUE(manager->Start());
  ASSERT_TRUE(manager->Shutdown(30000));
  std::vector<std::string> lines = CRLFLines(ReadFile(dir + "/d.log"));
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_NE(lines[0].find("\t5 log lines dropped"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1], "line 0");
  EXPECT_EQ(lines[10], "line 9");
}

TEST(LogManager, BatchedWriterWakesForALoneLineAndFlushesABurstAtStop) {
  const std::string dir = MakeTempDir("batch");
  auto manager = std::make_shared<CLogManager>();
  auto file = CLogFile::OpenPath(dir + "/w.log");
  ASSERT_TRUE(file);
  ASSERT_TRUE(manager->Start());
  // Each lone line after a quiet spell must reach the file on its own, with nothing behind it.
  for (int round = 0; round < 3; ++round) {
    const std::string line = "lone " + std::to_string(round);
    manager->Log(file, line + "\r\n");
    bool seen = false;
    for (int i = 0; i < 500 && !seen; ++i) {
      std::vector<std::string> lines = CRLFLines(ReadFile(dir + "/w.log"));
      seen = !lines.empty() && lines.back() == line;
      if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(seen) << line;
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * CLogManager::kBatchPauseMs));
  }
  // Bursts with pauses in between, so the writer is caught asleep, between looks and mid-batch;
  // the stop comes right behind the last burst and must still write all of it, in order.
  std::string expected;
  for (int round = 0; round < 3; ++round) expected += "lone " + std::to_string(round) + "\r\n";
  for (int burst = 0; burst < 20; ++burst) {
    for (int i = 0; i < 100; ++i) {
      const std::string line = "b" + std::to_string(burst) + " " + std::to_string(i) + "\r\n";
      manager->Log(file, line);
      expected += line;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(300 * (burst % 5)));
  }
  ASSERT_TRUE(manager->Shutdown(30000));
  EXPECT_EQ(ReadFile(dir + "/w.log"), expected);
}

}  // namespace
