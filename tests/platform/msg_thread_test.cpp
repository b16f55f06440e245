#include "platform/msg_thread.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/test_env.h"

namespace {

using platform::Boxed;
using platform::Message;
using platform::MsgPayload;
using platform::MsgThread;
using platform::ThreadId;
using platform::WM_QUIT;
using platform::WM_TIMER;
using platform::WM_USER;
using trellis::test::WaitFor;

constexpr int kLongWaitMs = 20000;  // only a bound on hangs, never a claim about speed

// A payload that counts its own destruction, so lost or doubly freed payloads show.
struct Counted : MsgPayload {
  Counted(int v, std::atomic<int>* c) : value(v), destroyed(c) {}
  ~Counted() override { destroyed->fetch_add(1); }
  int value;
  std::atomic<int>* destroyed;
};

struct Seen {
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
  int payload;  // value of a Counted or Boxed<int> payload, -1 when none
};

class TestThread : public MsgThread {
 public:
  std::function<bool(TestThread&)> init;
  std::function<void(TestThread&, Message&)> handle;
  std::function<int(TestThread&)> exit;

  std::mutex mu;
  std::vector<Seen> seen;
  std::atomic<ThreadId> exitRanOn{0};
  std::atomic<bool> runEntered{false};

  using MsgThread::CloseQueueAndTakeRest;
  using MsgThread::PeekMessage;
  using MsgThread::WaitMessage;

  std::vector<Seen> Snapshot() {
    std::lock_guard lk(mu);
    return seen;
  }
  void Record(const Message& m) {
    int v = -1;
    if (auto* c = dynamic_cast<Counted*>(m.payload.get())) v = c->value;
    if (auto* b = dynamic_cast<Boxed<int>*>(m.payload.get())) v = b->value;
    std::lock_guard lk(mu);
    seen.push_back({m.message, m.wParam, m.lParam, v});
  }

 protected:
  bool InitInstance() override { return init ? init(*this) : true; }
  int Run() override {
    runEntered = true;
    return MsgThread::Run();
  }
  void OnMessage(Message& m) override {
    Record(m);
    if (handle) handle(*this, m);
  }
  int ExitInstance() override {
    exitRanOn = platform::CurrentThreadId();
    int base = MsgThread::ExitInstance();
    return exit ? exit(*this) : base;
  }
};

class MsgThreadTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every test ends its threads; none may be left running behind it.
    EXPECT_TRUE(WaitFor([] { return MsgThread::LiveThreadCount() == 0; }, kLongWaitMs));
  }
};

TEST_F(MsgThreadTest, MessagesFromOnePosterArriveInOrder) {
  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->CreateThread());
  for (uintptr_t i = 0; i < 2000; ++i) ASSERT_TRUE(t->Post(WM_USER + 1, i, nullptr, static_cast<intptr_t>(i) * -3));
  t->PostQuit(0);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  auto seen = t->Snapshot();
  ASSERT_EQ(seen.size(), 2000u);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].message, WM_USER + 1);
    EXPECT_EQ(seen[i].wParam, i);
    EXPECT_EQ(seen[i].lParam, static_cast<intptr_t>(i) * -3);
  }
}

TEST_F(MsgThreadTest, PostsFromManyThreadsAllArriveWithTheirPayloads) {
  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->CreateThread());
  constexpr int kPosters = 8, kEach = 500;
  std::atomic<int> destroyed{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        EXPECT_TRUE(platform::PostThreadMessage(t->Id(), WM_USER + 7, static_cast<uintptr_t>(p),
                                                std::make_unique<Counted>(i, &destroyed)));
      }
    });
  }
  for (auto& th : posters) th.join();
  t->PostQuit(0);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  auto seen = t->Snapshot();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kPosters * kEach));
  // Each poster's messages keep its own order, and every payload was delivered.
  std::map<uintptr_t, int> next;
  for (const auto& s : seen) {
    ASSERT_LT(s.wParam, static_cast<uintptr_t>(kPosters));
    EXPECT_EQ(s.payload, next[s.wParam]++);
  }
  for (int p = 0; p < kPosters; ++p) EXPECT_EQ(next[p], kEach);
  // The receiver owned each payload and freed it once.
  EXPECT_EQ(destroyed.load(), kPosters * kEach);
}

TEST_F(MsgThreadTest, PostBeforeStartIsKept) {
  auto t = std::make_shared<TestThread>();
  ASSERT_NE(t->Id(), 0u);
  ASSERT_TRUE(platform::PostThreadMessage(t->Id(), WM_USER + 3, 11, std::make_unique<Boxed<int>>(42)));
  ASSERT_TRUE(t->Post(WM_USER + 4, 12));
  ASSERT_TRUE(t->PostQuit(0));
  // Not findable until it runs, but its queue already takes messages.
  EXPECT_EQ(MsgThread::Find(t->Id()), nullptr);
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  auto seen = t->Snapshot();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].message, WM_USER + 3);
  EXPECT_EQ(seen[0].wParam, 11u);
  EXPECT_EQ(seen[0].payload, 42);
  EXPECT_EQ(seen[1].message, WM_USER + 4);
}

TEST_F(MsgThreadTest, PostToEndedThreadFailsAndFreesThePayload) {
  std::atomic<int> destroyed{0};
  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->CreateThread());
  t->PostQuit(0);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  ASSERT_TRUE(t->HasEnded());

  EXPECT_FALSE(platform::PostThreadMessage(t->Id(), WM_USER, 0, std::make_unique<Counted>(1, &destroyed)));
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_FALSE(t->Post(WM_USER, 0, std::make_unique<Counted>(2, &destroyed)));
  EXPECT_EQ(destroyed.load(), 2);
  EXPECT_FALSE(t->PostQuit(0));
  EXPECT_EQ(MsgThread::Find(t->Id()), nullptr);

  // Ids that never named a thread behave the same.
  EXPECT_FALSE(platform::PostThreadMessage(0, WM_USER, 0, std::make_unique<Counted>(3, &destroyed)));
  EXPECT_FALSE(platform::PostThreadMessage(0xFFFFFFF0u, WM_USER, 0, std::make_unique<Counted>(4, &destroyed)));
  EXPECT_EQ(destroyed.load(), 4);
}

TEST_F(MsgThreadTest, MessagesLeftBehindQuitAreFreedUndelivered) {
  std::atomic<int> destroyed{0};
  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->PostQuit(3));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(t->Post(WM_USER, 0, std::make_unique<Counted>(i, &destroyed)));
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_TRUE(t->Snapshot().empty());
  EXPECT_EQ(destroyed.load(), 5);
  EXPECT_EQ(t->ExitCode(), 3);
}

// An ExitInstance that closes its queue itself gets what was left, in order, and from then on a
// poster is told its message was not taken (the log writer relies on both at a stop).
TEST_F(MsgThreadTest, AQueueClosedByItsThreadHandsOverTheRestAndRefusesLaterPosts) {
  std::atomic<int> destroyed{0};
  auto t = std::make_shared<TestThread>();
  std::vector<int> rest;
  std::atomic<bool> laterPostTaken{true};
  t->exit = [&](TestThread& self) {
    for (Message& m : self.CloseQueueAndTakeRest())
      if (auto* c = dynamic_cast<Counted*>(m.payload.get())) rest.push_back(c->value);
    laterPostTaken = self.Post(WM_USER, 0, std::make_unique<Counted>(99, &destroyed));
    return 0;
  };
  ASSERT_TRUE(t->PostQuit(0));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(t->Post(WM_USER, 0, std::make_unique<Counted>(i, &destroyed)));
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(rest, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(laterPostTaken.load());
  EXPECT_EQ(destroyed.load(), 6);
}

// A payload whose destructor posts again must not deadlock the closing queue.
struct PostsWhenFreed : MsgPayload {
  PostsWhenFreed(ThreadId t, std::atomic<int>* r) : target(t), result(r) {}
  ~PostsWhenFreed() override {
    *result = platform::PostThreadMessage(target, WM_USER, 0, std::make_unique<Boxed<int>>(1)) ? 1 : 0;
  }
  ThreadId target;
  std::atomic<int>* result;
};

TEST_F(MsgThreadTest, PayloadFreedAtCloseMayPostWithoutDeadlock) {
  std::atomic<int> result{-1};
  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->PostQuit(0));
  ASSERT_TRUE(t->Post(WM_USER, 0, std::make_unique<PostsWhenFreed>(t->Id(), &result)));
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(result.load(), 0);  // the queue was already closed to it
}

TEST_F(MsgThreadTest, QuitEndsLoopAndExitInstanceRunsOnTheThread) {
  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(WaitFor([&] { return MsgThread::Find(t->Id()) != nullptr; }, kLongWaitMs));
  EXPECT_EQ(MsgThread::Find(t->Id()).get(), t.get());
  EXPECT_FALSE(t->HasEnded());
  EXPECT_FALSE(t->WaitForExit(0));
  EXPECT_EQ(platform::CurrentThreadId(), 0u);  // the test's own thread is not one of ours

  ASSERT_TRUE(t->PostQuit(-7));
  ASSERT_TRUE(t->WaitForExit(-1));
  EXPECT_TRUE(t->HasEnded());
  EXPECT_EQ(t->exitRanOn.load(), t->Id());
  EXPECT_EQ(t->ExitCode(), -7);  // the default ExitInstance hands on WM_QUIT's code
  EXPECT_TRUE(t->Snapshot().empty());  // WM_QUIT itself is not a handled message
  EXPECT_EQ(MsgThread::Find(t->Id()), nullptr);
}

TEST_F(MsgThreadTest, ExitInstanceDecidesTheExitCode) {
  auto t = std::make_shared<TestThread>();
  t->exit = [](TestThread&) { return 55; };
  ASSERT_TRUE(t->CreateThread());
  t->PostQuit(1);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(t->ExitCode(), 55);
}

TEST_F(MsgThreadTest, RefusingInitInstanceSkipsRunButRunsExitInstance) {
  auto t = std::make_shared<TestThread>();
  t->init = [](TestThread&) { return false; };
  t->exit = [](TestThread&) { return 9; };
  ASSERT_TRUE(t->Post(WM_USER));
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_FALSE(t->runEntered.load());
  EXPECT_EQ(t->exitRanOn.load(), t->Id());
  EXPECT_EQ(t->ExitCode(), 9);
  EXPECT_TRUE(t->Snapshot().empty());
}

TEST_F(MsgThreadTest, StartingNeedsSharedOwnershipAndHappensOnce) {
  TestThread unowned;
  EXPECT_FALSE(unowned.CreateThread());

  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->CreateThread());
  EXPECT_FALSE(t->CreateThread());
  t->PostQuit(0);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_FALSE(t->CreateThread());
}

TEST_F(MsgThreadTest, WaitingForItsOwnEndReturnsInsteadOfHanging) {
  auto t = std::make_shared<TestThread>();
  std::atomic<int> selfWait{-1};
  t->handle = [&](TestThread& self, Message&) {
    selfWait = self.WaitForExit(-1) ? 1 : 0;
    self.PostQuit(0);
  };
  ASSERT_TRUE(t->Post(WM_USER));
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(selfWait.load(), 0);
}

TEST_F(MsgThreadTest, RunningThreadKeepsItsObjectAliveUntilItEnds) {
  static std::atomic<int> destroyedOn{-1};
  struct Owned : TestThread {
    ~Owned() override { destroyedOn = static_cast<int>(platform::CurrentThreadId()); }
  };
  destroyedOn = -1;
  ThreadId id;
  {
    auto t = std::make_shared<Owned>();
    id = t->Id();
    ASSERT_TRUE(t->CreateThread());
  }
  // The creator's reference is gone; the thread still runs and takes messages.
  ASSERT_TRUE(WaitFor([&] { return MsgThread::Find(id) != nullptr; }, kLongWaitMs));
  EXPECT_EQ(destroyedOn.load(), -1);
  ASSERT_TRUE(platform::PostThreadMessage(id, WM_QUIT));
  ASSERT_TRUE(WaitFor([] { return destroyedOn.load() != -1; }, kLongWaitMs));
  EXPECT_FALSE(platform::PostThreadMessage(id, WM_USER));
}

TEST_F(MsgThreadTest, TimerTicksRepeatedlyUntilKilled) {
  auto t = std::make_shared<TestThread>();
  std::atomic<int> ticks{0};
  t->handle = [&](TestThread& self, Message& m) {
    if (m.message == WM_TIMER) {
      EXPECT_EQ(m.wParam, 77u);
      if (++ticks == 3) {
        EXPECT_TRUE(self.KillTimer(77));
      }
    }
  };
  ASSERT_TRUE(t->SetTimer(77, 2));
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(WaitFor([&] { return ticks.load() >= 3; }, kLongWaitMs));
  // Give a wrongly surviving timer many periods to show itself.
  platform::SleepMs(40);
  t->PostQuit(0);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(ticks.load(), 3);
  EXPECT_FALSE(t->KillTimer(77));
}

TEST_F(MsgThreadTest, TimerArgumentsAndReplacement) {
  auto t = std::make_shared<TestThread>();
  EXPECT_FALSE(t->SetTimer(0, 10));  // 0 stands for "no timer"
  EXPECT_FALSE(t->KillTimer(5));
  // A timer set far in the future, then replaced by a short one, ticks at the new interval.
  ASSERT_TRUE(t->SetTimer(5, 3600 * 1000));
  ASSERT_TRUE(t->SetTimer(5, 1));
  std::atomic<int> ticks{0};
  t->handle = [&](TestThread& self, Message& m) {
    if (m.message == WM_TIMER && m.wParam == 5 && ++ticks == 1) self.PostQuit(0);
  };
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_GE(ticks.load(), 1);
  EXPECT_FALSE(t->SetTimer(5, 10));  // ended threads take no timers
}

TEST_F(MsgThreadTest, TimerSetFromAnotherThreadWakesAWaitingThread) {
  auto t = std::make_shared<TestThread>();
  std::atomic<int> ticks{0};
  t->handle = [&](TestThread& self, Message& m) {
    if (m.message == WM_TIMER && ++ticks == 1) self.PostQuit(0);
  };
  ASSERT_TRUE(t->CreateThread());
  // Let the thread block with nothing to wait for, then set a timer from here.
  ASSERT_TRUE(WaitFor([&] { return t->runEntered.load(); }, kLongWaitMs));
  platform::SleepMs(5);
  ASSERT_TRUE(t->SetTimer(1, 1));
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(ticks.load(), 1);
}

TEST_F(MsgThreadTest, SlowTimerHandlerGetsMergedTicksNotABacklog) {
  auto t = std::make_shared<TestThread>();
  std::atomic<int> timersWaiting{-1};
  t->handle = [&](TestThread& self, Message& m) {
    if (m.message != WM_TIMER) return;
    // Handle the tick slowly: dozens of periods go by.
    platform::SleepMs(50);
    int n = 0;
    Message next;
    while (self.PeekMessage(&next)) {
      if (next.message == WM_TIMER) ++n;
    }
    timersWaiting = n;
    self.KillTimer(1);
    self.PostQuit(0);
  };
  ASSERT_TRUE(t->SetTimer(1, 1));
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  // One merged tick is due after the slow handler (a second only if the drain itself was
  // preempted for a whole period); a backlog would hold about fifty.
  EXPECT_GE(timersWaiting.load(), 1);
  EXPECT_LE(timersWaiting.load(), 2);
}

TEST_F(MsgThreadTest, TicksAccumulatedBeforeStartAreOneTick) {
  auto t = std::make_shared<TestThread>();
  std::atomic<int> atStart{-1};
  t->init = [&](TestThread& self) {
    int n = 0;
    Message m;
    while (self.PeekMessage(&m)) {
      if (m.message == WM_TIMER) ++n;
    }
    atStart = n;
    self.KillTimer(2);
    return false;
  };
  ASSERT_TRUE(t->SetTimer(2, 1));
  platform::SleepMs(30);
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_GE(atStart.load(), 1);
  EXPECT_LE(atStart.load(), 2);
}

TEST_F(MsgThreadTest, TimerIsNotStarvedByAFloodAndDoesNotStarveIt) {
  // Every posted message takes longer than the timer's period and posts the next one, so the
  // queue is never empty and the timer is due whenever a message is taken. Ticks must still come,
  // interleaved one-for-one with the posted messages.
  auto t = std::make_shared<TestThread>();
  std::atomic<int> ticks{0};
  t->init = [](TestThread& self) {
    self.Post(WM_USER + 20);
    self.Post(WM_USER + 20);
    return true;
  };
  t->handle = [&](TestThread& self, Message& m) {
    if (m.message == WM_TIMER) {
      if (++ticks == 10) {
        self.KillTimer(3);
        self.PostQuit(0);
      }
      return;
    }
    if (m.message != WM_USER + 20) return;  // the outside flood is handled quickly
    platform::SleepMs(3);
    self.Post(WM_USER + 20);
  };
  ASSERT_TRUE(t->SetTimer(3, 2));
  ASSERT_TRUE(t->CreateThread());
  // An outside flood on top, until the last tick.
  std::thread flooder([&] {
    while (ticks.load() < 10 && t->Post(WM_USER + 21)) std::this_thread::yield();
  });
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  flooder.join();
  EXPECT_EQ(ticks.load(), 10);
  auto seen = t->Snapshot();
  std::vector<size_t> tickAt;
  for (size_t i = 0; i < seen.size(); ++i) {
    if (seen[i].message == WM_TIMER) tickAt.push_back(i);
  }
  ASSERT_EQ(tickAt.size(), 10u);
  const size_t firstTick = tickAt.front(), lastTick = tickAt.back();
  // While the timer runs, handling a slow posted message always leaves it due, so the next
  // message taken is a tick; and a tick never follows a tick while posts wait.
  for (size_t i = firstTick + 1; i <= lastTick; ++i) {
    bool tick = seen[i].message == WM_TIMER;
    bool prevTick = seen[i - 1].message == WM_TIMER;
    bool prevSlow = seen[i - 1].message == WM_USER + 20;
    if (prevTick) {
      EXPECT_FALSE(tick) << "at " << i;
    }
    if (prevSlow) {
      EXPECT_TRUE(tick) << "at " << i;
    }
  }
}

TEST_F(MsgThreadTest, WaitMessageSeesPostsAndTimesOut) {
  auto t = std::make_shared<TestThread>();
  std::atomic<int> emptyWait{-1}, fullWait{-1};
  t->init = [&](TestThread& self) {
    emptyWait = self.WaitMessage(5) ? 1 : 0;
    self.Post(WM_USER);
    fullWait = self.WaitMessage(-1) ? 1 : 0;
    return false;
  };
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(emptyWait.load(), 0);
  EXPECT_EQ(fullWait.load(), 1);
}

TEST_F(MsgThreadTest, IdsAreNeverReused) {
  std::set<ThreadId> ids;
  std::vector<ThreadId> ended;
  ThreadId last = 0;
  for (int i = 0; i < 100; ++i) {
    auto t = std::make_shared<TestThread>();
    ASSERT_GT(t->Id(), last);
    last = t->Id();
    ASSERT_TRUE(ids.insert(t->Id()).second);
    if (i % 2 == 0) {
      ASSERT_TRUE(t->CreateThread());
      t->PostQuit(0);
      ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
    }
    ended.push_back(t->Id());
  }
  // No later thread answers to an earlier id.
  auto live = std::make_shared<TestThread>();
  ASSERT_TRUE(live->CreateThread());
  for (ThreadId id : ended) EXPECT_FALSE(platform::PostThreadMessage(id, WM_USER));
  live->PostQuit(0);
  ASSERT_TRUE(live->WaitForExit(kLongWaitMs));
  EXPECT_TRUE(live->Snapshot().empty());
}

// Objects of a thread class that never run a thread share one closed queue and take no id: made
// and dropped on several threads at once (as datagram sessions are), each refuses posts, timers and
// a start, frees what was posted to it, and leaves the ids of real threads as they were.
TEST_F(MsgThreadTest, ObjectsWithoutAThreadRefuseEverythingAndTakeNoId) {
  class Unthreaded : public MsgThread {
   public:
    Unthreaded() : MsgThread(NoThread{}) {}
  };
  const ThreadId before = std::make_shared<TestThread>()->Id();
  std::atomic<int> destroyed{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> makers;
  for (int m = 0; m < 4; ++m) {
    makers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        auto u = std::make_shared<Unthreaded>();
        if (u->Id() != 0 || u->Post(WM_USER, 0, std::make_unique<Counted>(i, &destroyed)) || u->SetTimer(1, 10) ||
            u->CreateThread() || u->PostQuit(0))
          ++wrong;
      }
    });
  }
  for (auto& t : makers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(destroyed.load(), 4 * 500);
  EXPECT_EQ(MsgThread::Find(0), nullptr);
  EXPECT_EQ(std::make_shared<TestThread>()->Id(), before + 1);
}

TEST_F(MsgThreadTest, ManyThreadsAllFinish) {
  std::vector<std::shared_ptr<TestThread>> threads;
  for (int i = 0; i < 32; ++i) {
    threads.push_back(std::make_shared<TestThread>());
    ASSERT_TRUE(threads.back()->CreateThread());
  }
  EXPECT_GE(MsgThread::LiveThreadCount(), 1u);
  // Each thread passes a message to the next, then quits.
  for (size_t i = 0; i < threads.size(); ++i) {
    ThreadId next = threads[(i + 1) % threads.size()]->Id();
    EXPECT_TRUE(platform::PostThreadMessage(next, WM_USER + 5, i));
  }
  for (auto& t : threads) t->PostQuit(0);
  for (auto& t : threads) ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  for (auto& t : threads) EXPECT_EQ(t->Snapshot().size(), 1u);
  ASSERT_TRUE(WaitFor([] { return MsgThread::LiveThreadCount() == 0; }, kLongWaitMs));
}

TEST_F(MsgThreadTest, ExceptionInAHandlerEndsOnlyThatThread) {
  std::atomic<int> destroyed{0};
  auto bad = std::make_shared<TestThread>();
  auto good = std::make_shared<TestThread>();
  bad->handle = [](TestThread&, Message& m) {
    if (m.message == WM_USER + 66) throw std::runtime_error("handler failed");
  };
  ASSERT_TRUE(bad->Post(WM_USER + 66));
  ASSERT_TRUE(bad->Post(WM_USER + 67, 0, std::make_unique<Counted>(1, &destroyed)));
  ASSERT_TRUE(bad->CreateThread());
  ASSERT_TRUE(good->CreateThread());
  ASSERT_TRUE(bad->WaitForExit(kLongWaitMs));
  EXPECT_EQ(bad->ExitCode(), -1);
  EXPECT_EQ(destroyed.load(), 1);  // the message behind the failure was freed, not handled
  EXPECT_FALSE(bad->Post(WM_USER));

  ASSERT_TRUE(good->Post(WM_USER + 1, 5));
  good->PostQuit(4);
  ASSERT_TRUE(good->WaitForExit(kLongWaitMs));
  EXPECT_EQ(good->ExitCode(), 4);
  ASSERT_EQ(good->Snapshot().size(), 1u);
  EXPECT_EQ(bad->Snapshot().size(), 1u);
}

TEST_F(MsgThreadTest, ExceptionInInitInstanceEndsTheThread) {
  auto t = std::make_shared<TestThread>();
  t->init = [](TestThread&) -> bool { throw 42; };
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  EXPECT_EQ(t->ExitCode(), -1);
  EXPECT_FALSE(t->runEntered.load());
}

// ---- Readiness sets and the parked pool -----------------------------------------------------------

namespace readiness {

// Records what the layer hands to the process's handler, and on which thread.
struct Recorder : platform::ReadyHandler {
  std::mutex mu;
  std::vector<std::pair<uint64_t, ThreadId>> ready;  // key, thread it ran on
  std::vector<uint64_t> orphaned;
  void OnReady(uint64_t key, uint32_t) override {
    std::lock_guard lk(mu);
    ready.emplace_back(key, platform::CurrentThreadId());
    // The handler turns readiness into a message on the same thread, as the socket layer does.
    platform::PostThreadMessage(platform::CurrentThreadId(), WM_USER + 30, static_cast<uintptr_t>(key));
  }
  void OnOrphaned(uint64_t key) override {
    std::lock_guard lk(mu);
    orphaned.push_back(key);
  }
};

// Installed for the rest of this process on first use; each test starts from empty lists.
Recorder& FreshRecorder() {
  static Recorder recorder;
  platform::SetReadyHandler(&recorder);
  std::lock_guard lk(recorder.mu);
  recorder.ready.clear();
  recorder.orphaned.clear();
  return recorder;
}

}  // namespace readiness

TEST_F(MsgThreadTest, ADescriptorInAThreadsSetWakesThatThreadBesideItsPostsAndTimers) {
  readiness::Recorder& recorder = readiness::FreshRecorder();
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);

  auto t = std::make_shared<TestThread>();
  std::atomic<int> ticks{0}, fromFd{0};
  t->handle = [&](TestThread& self, Message& m) {
    if (m.message == WM_TIMER && ++ticks == 3) self.KillTimer(9);
    if (m.message == WM_USER + 30) {
      ++fromFd;
      char buf[16];
      while (read(fds[0], buf, sizeof buf) > 0) {
      }
    }
  };
  ASSERT_TRUE(t->CreateThread());
  ASSERT_TRUE(WaitFor([&] { return t->runEntered.load(); }, kLongWaitMs));
  platform::SleepMs(5);  // asleep on its condition variable before the set is made
  std::shared_ptr<platform::ReadySet> set = platform::GetReadySet(t->Id());
  ASSERT_TRUE(set);
  EXPECT_EQ(set->Owner(), t->Id());
  EXPECT_EQ(platform::GetReadySet(t->Id()), set);  // one set per thread
  EXPECT_EQ(set->Add(fds[0], 0, EPOLLIN), EINVAL);  // key 0 is the set's own
  ASSERT_EQ(set->Add(fds[0], 77, EPOLLIN | EPOLLET), 0);

  ASSERT_EQ(write(fds[1], "x", 1), 1);
  ASSERT_TRUE(WaitFor([&] { return fromFd.load() == 1; }, kLongWaitMs));
  // Timers set from another thread reach a thread asleep on its set, and so do posts.
  ASSERT_TRUE(t->SetTimer(9, 2));
  ASSERT_TRUE(WaitFor([&] { return ticks.load() == 3; }, kLongWaitMs));
  ASSERT_TRUE(t->Post(WM_USER + 31));
  ASSERT_TRUE(WaitFor([&] {
    for (const Seen& s : t->Snapshot())
      if (s.message == WM_USER + 31) return true;
    return false;
  }, kLongWaitMs));
  ASSERT_EQ(write(fds[1], "y", 1), 1);
  ASSERT_TRUE(WaitFor([&] { return fromFd.load() == 2; }, kLongWaitMs));
  {
    std::lock_guard lk(recorder.mu);
    ASSERT_EQ(recorder.ready.size(), 2u);
    for (const auto& [key, on] : recorder.ready) {
      EXPECT_EQ(key, 77u);
      EXPECT_EQ(on, t->Id());  // readiness is handled on the owning thread itself
    }
  }

  // A removed descriptor is watched no more.
  set->Remove(fds[0], 77);
  ASSERT_EQ(write(fds[1], "z", 1), 1);
  platform::SleepMs(20);
  EXPECT_EQ(fromFd.load(), 2);
  // What is still in the set when the thread ends goes back to the handler; the set then refuses.
  ASSERT_EQ(set->Add(fds[0], 78, EPOLLIN), 0);
  t->PostQuit(0);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  {
    std::lock_guard lk(recorder.mu);
    EXPECT_EQ(recorder.orphaned, std::vector<uint64_t>{78});
  }
  EXPECT_EQ(set->Add(fds[0], 79, EPOLLIN), ESRCH);
  EXPECT_EQ(platform::GetReadySet(t->Id()), nullptr);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(MsgThreadTest, ALaterThreadsSetHearsNothingOfAnEndedOnesWatchesAndSetsLeakNoDescriptors) {
  readiness::Recorder& recorder = readiness::FreshRecorder();
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  auto runWithSet = [&](uint64_t key, bool writeWhileWatched) {
    auto t = std::make_shared<TestThread>();
    std::atomic<int> fromFd{0};
    t->handle = [&](TestThread&, Message& m) {
      if (m.message != WM_USER + 30) return;
      ++fromFd;
      char buf[16];
      while (read(fds[0], buf, sizeof buf) > 0) {
      }
    };
    EXPECT_TRUE(t->CreateThread());
    std::shared_ptr<platform::ReadySet> set = platform::GetReadySet(t->Id());
    EXPECT_TRUE(set);
    if (!set) return;
    EXPECT_EQ(set->Add(fds[0], key, EPOLLIN | EPOLLET), 0);
    if (writeWhileWatched) {
      EXPECT_EQ(write(fds[1], "x", 1), 1);
      EXPECT_TRUE(WaitFor([&] { return fromFd.load() == 1; }, kLongWaitMs));
    }
    // Left in the set: the end hands it back to the handler.
    t->PostQuit(0);
    EXPECT_TRUE(t->WaitForExit(kLongWaitMs));
  };
  runWithSet(90, false);
  const size_t fdsBefore = trellis::test::OpenDescriptors();
  for (uint64_t key = 91; key < 131; ++key) runWithSet(key, true);
  // One after another, the objects' sets need no more than the one pair of descriptors between them.
  EXPECT_LE(trellis::test::OpenDescriptors(), fdsBefore + 2);
  {
    std::lock_guard lk(recorder.mu);
    ASSERT_EQ(recorder.ready.size(), 40u);
    for (size_t i = 0; i < recorder.ready.size(); ++i) EXPECT_EQ(recorder.ready[i].first, 91 + i);
    EXPECT_EQ(recorder.orphaned.size(), 41u);
  }

  // A thread whose set may reuse those descriptors is never told of a watch it did not make.
  auto t = std::make_shared<TestThread>();
  ASSERT_TRUE(t->CreateThread());
  std::shared_ptr<platform::ReadySet> set = platform::GetReadySet(t->Id());
  ASSERT_TRUE(set);
  ASSERT_TRUE(t->Post(WM_USER + 31));
  ASSERT_EQ(write(fds[1], "y", 1), 1);
  platform::SleepMs(30);
  {
    std::lock_guard lk(recorder.mu);
    EXPECT_EQ(recorder.ready.size(), 40u);
  }
  t->PostQuit(0);
  ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
  close(fds[0]);
  close(fds[1]);
}

// A thread object that notes which OS thread ran it and the id it saw there.
struct Probe : TestThread {
  std::atomic<pid_t> osThread{0};
  std::atomic<ThreadId> seenId{0};
  bool InitInstance() override {
    osThread = static_cast<pid_t>(syscall(SYS_gettid));
    seenId = platform::CurrentThreadId();
    return TestThread::InitInstance();
  }
};

TEST_F(MsgThreadTest, AnEndedThreadsOSThreadRunsTheNextObjectWithItsOwnIdAndQueue) {
  std::set<pid_t> used;
  std::vector<ThreadId> ended;
  bool reused = false;
  // The OS thread parks just after its object ends; a start that comes before that gets a new one,
  // so a few rounds may pass before a parked thread is there to take.
  for (int round = 0; round < 50 && !reused; ++round) {
    auto t = std::make_shared<Probe>();
    ASSERT_TRUE(t->Post(WM_USER + 1, static_cast<uintptr_t>(round)));
    ASSERT_TRUE(t->CreateThread());
    t->PostQuit(0);
    ASSERT_TRUE(t->WaitForExit(kLongWaitMs));
    EXPECT_EQ(t->seenId.load(), t->Id());
    // Only its own message arrived, whatever ran on that OS thread before.
    auto seen = t->Snapshot();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].wParam, static_cast<uintptr_t>(round));
    for (ThreadId old : ended) EXPECT_NE(old, t->Id());
    reused = !used.insert(t->osThread.load()).second;
    ended.push_back(t->Id());
    ASSERT_TRUE(WaitFor([] { return MsgThread::LiveThreadCount() == 0; }, kLongWaitMs));
    platform::SleepMs(1);
  }
  EXPECT_TRUE(reused) << "no OS thread ran a second object";
  // Earlier ids stay dead although their OS threads live on.
  for (ThreadId id : ended) EXPECT_FALSE(platform::PostThreadMessage(id, WM_USER));
}

TEST_F(MsgThreadTest, ASuccessorStartedAsAThreadEndsRunsOnItsOSThreadWithItsOwnIdAndQueue) {
  auto next = std::make_shared<Probe>();
  auto other = std::make_shared<Probe>();
  auto first = std::make_shared<Probe>();
  std::atomic<int> handed{-1}, second{-1};
  first->exit = [&](TestThread&) {
    handed = next->CreateThreadAfterCurrent() ? 1 : 0;
    second = other->CreateThreadAfterCurrent() ? 1 : 0;  // one successor per end
    return 0;
  };
  // Outside an ending thread object there is no OS thread to hand it to.
  EXPECT_FALSE(other->CreateThreadAfterCurrent());
  ASSERT_TRUE(next->Post(WM_USER + 5, 55));  // kept until it runs
  ASSERT_TRUE(first->CreateThread());
  first->PostQuit(0);
  ASSERT_TRUE(first->WaitForExit(kLongWaitMs));
  EXPECT_EQ(handed.load(), 1);
  EXPECT_EQ(second.load(), 0);
  EXPECT_FALSE(next->CreateThread());  // started already
  ASSERT_TRUE(next->Post(WM_USER + 6, 66));
  next->PostQuit(0);
  ASSERT_TRUE(next->WaitForExit(kLongWaitMs));
  EXPECT_EQ(next->osThread.load(), first->osThread.load());
  EXPECT_EQ(next->seenId.load(), next->Id());
  EXPECT_NE(next->Id(), first->Id());
  auto seen = next->Snapshot();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].wParam, 55u);
  EXPECT_EQ(seen[1].wParam, 66u);
  // The refused one can still start the usual way.
  ASSERT_TRUE(other->CreateThread());
  other->PostQuit(0);
  ASSERT_TRUE(other->WaitForExit(kLongWaitMs));
}

}  // namespace
