#include "engine/net/x1_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

namespace {

using platform::Boxed;
using platform::Message;
using platform::MsgThread;
using platform::WM_USER;
using trellis::test::FreePort;
using trellis::test::ListenOn;
using trellis::test::LoopbackListener;
using trellis::test::MakeTempDir;
using trellis::test::OpenDescriptors;
using trellis::test::ReadSome;
using trellis::test::SocketAddress;
using trellis::test::WaitFor;
using trellis::test::WriteFile;

constexpr int kLongWaitMs = 60000;  // a bound on hangs only, never a claim about speed
constexpr uint32_t WM_TEST_RUN = WM_USER + 200;


// A thread that owns sockets: runs closures posted to it and hands every other message to a
// handler the test sets before starting it.
class Owner : public MsgThread {
 public:
  std::function<void(Message&)> handle;

  // Runs fn on the thread and waits for it (exceptions come back to the caller).
  void Run(std::function<void()> fn) {
    auto task = std::make_shared<std::packaged_task<void()>>(std::move(fn));
    std::future<void> done = task->get_future();
    ASSERT_TRUE(Post(WM_TEST_RUN, 0, std::make_unique<Boxed<std::function<void()>>>([task] { (*task)(); })));
    ASSERT_EQ(done.wait_for(std::chrono::milliseconds(kLongWaitMs)), std::future_status::ready);
    done.get();
  }
  // Runs fn on the thread without waiting.
  void Start(std::function<void()> fn) {
    ASSERT_TRUE(Post(WM_TEST_RUN, 0, std::make_unique<Boxed<std::function<void()>>>(std::move(fn))));
  }
  void Stop() {
    PostQuit(0);
    EXPECT_TRUE(WaitForExit(kLongWaitMs));
  }

 protected:
  void OnMessage(Message& m) override {
    if (m.message == WM_TEST_RUN) {
      static_cast<Boxed<std::function<void()>>*>(m.payload.get())->value();
      return;
    }
    if (handle) handle(m);
  }
};

std::shared_ptr<Owner> StartOwner() {
  auto t = std::make_shared<Owner>();
  EXPECT_TRUE(t->CreateThread());
  return t;
}

// A connected loopback pair made with plain system calls: the socket under test gets one end,
// the test plays the peer on the other.
struct Pair {
  int server = -1;  // for Attach
  int peer = -1;
  ~Pair() {
    if (server >= 0) close(server);
    if (peer >= 0) close(peer);
  }
};

void MakePair(Pair* p) {
  LoopbackListener l("127.0.0.1", 1);
  p->peer = l.Connect("127.0.0.1", &p->server);
  ASSERT_GE(p->peer, 0);
  ASSERT_GE(p->server, 0);
}

int TakeServer(Pair& p) {
  int fd = p.server;
  p.server = -1;
  return fd;
}

// Attaches fd to s the way sessions do: read and close events selected before, armed after.
void AttachSelected(X1Socket& s, int fd) {
  s.AsyncSelect(FD_READ | FD_CLOSE);
  s.Attach(fd);
  s.ArmAsyncSelect();
}

// Makes s a listener on 127.0.0.1 with its accept events armed; its port.
uint16_t ListenSelected(X1Socket& s) {
  s.Create();
  s.AsyncSelect(FD_ACCEPT);
  s.ArmAsyncSelect();
  s.Bind(0, "127.0.0.1");
  s.Listen(5);
  return s.GetLocalPort();
}

void PeerWrite(int fd, const std::string& s) { ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size())); }


// The events a socket's owner took, in order, and what it read.
struct Journal {
  std::mutex mu;
  std::vector<uint32_t> events;
  std::string data;
  std::atomic<bool> closed{false};
  std::atomic<uint32_t> endError{~0u};  // GetEndError once the close was read
  void Add(uint32_t e) {
    std::lock_guard<std::mutex> g(mu);
    events.push_back(e);
  }
  void Append(const char* p, size_t n) {
    std::lock_guard<std::mutex> g(mu);
    data.append(p, n);
  }
  std::vector<uint32_t> Events() {
    std::lock_guard<std::mutex> g(mu);
    return events;
  }
  std::string Data() {
    std::lock_guard<std::mutex> g(mu);
    return data;
  }
};

// The reading loop the sessions use: everything waiting, in small pieces, until Receive gives 0.
void Drain(X1Socket& s, Journal& j) {
  char buf[3];
  size_t n;
  while ((n = s.Receive(buf, sizeof buf)) > 0) j.Append(buf, n);
}

// Owner handler for a stream socket: journal the events it takes, drain on read and close.
void JournalHandler(X1Socket& s, Journal& j, Message& m) {
  uint32_t ev = X1Socket::EventOfMessage(m.message);
  if (ev == 0 || !s.TakeEvent(m)) return;
  j.Add(ev);
  if (ev == FD_READ || ev == FD_CLOSE) Drain(s, j);
  if (ev == FD_CLOSE) {
    j.endError = s.GetEndError();
    s.Close();
    j.closed = true;
  }
}

void ExpectClosedLastAndOnce(const std::vector<uint32_t>& events) {
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), FD_CLOSE);
  EXPECT_EQ(std::count(events.begin(), events.end(), FD_CLOSE), 1);
}

class X1SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The notifier's descriptors and the registry store (read for error texts) stay open for the
    // life of the process; descriptor counts are taken after both exist.
    X1Socket::InitNotifier();
    X1SocketException warm(WSAECONNRESET);
  }
};

// ---- Event order with real peers --------------------------------------------------------------

TEST_F(X1SocketTest, AcceptReadCloseArriveInOrderWithTheDataBeforeTheClose) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "peer resets" : "peer closes");
    auto t = StartOwner();
    X1Socket listener, conn;
    Journal j;
    t->handle = [&](Message& m) {
      if (m.message == platform::WM_SOCKET_ACCEPT) {
        if (!listener.TakeEvent(m)) return;
        j.Add(FD_ACCEPT);
        AttachSelected(conn, listener.Accept());
        return;
      }
      JournalHandler(conn, j, m);
    };
    uint16_t port = 0;
    t->Run([&] { port = ListenSelected(listener); });
    std::string cmd;
    if (!reset) {
      cmd = "printf 'hello, world' | socat -u - TCP:127.0.0.1:" + std::to_string(port);
    } else {
      cmd = "python3 -c \"import socket,struct,time;s=socket.create_connection(('127.0.0.1'," +
            std::to_string(port) +
            "));s.sendall(b'hello, world');time.sleep(0.2);"
            "s.setsockopt(socket.SOL_SOCKET,socket.SO_LINGER,struct.pack('ii',1,0));s.close()\"";
    }
    ASSERT_EQ(trellis::test::RunCommand(cmd), 0);
    ASSERT_TRUE(WaitFor([&] { return j.closed.load(); }, kLongWaitMs));
    t->Run([&] { listener.Close(); });
    t->Stop();

    std::vector<uint32_t> ev = j.Events();
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev.front(), FD_ACCEPT);
    EXPECT_EQ(ev[1], FD_READ);
    ExpectClosedLastAndOnce(ev);
    EXPECT_EQ(j.Data(), "hello, world");
    // Both ends read as 0 bytes and both bring FD_CLOSE; only the end error tells them apart.
    EXPECT_EQ(j.endError.load(), reset ? uint32_t{WSAECONNRESET} : 0u);
  }
}

TEST_F(X1SocketTest, EndErrorTellsAResetFromAnOrderlyEndAndResetOnCloseSendsOne) {
  auto waitEnded = [](int fd) {
    return WaitFor(
        [fd] {
          pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
          return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
        },
        kLongWaitMs);
  };
  auto resetPeer = [](int& fd) {
    linger l{1, 0};
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l), 0);
    close(fd);
    fd = -1;
  };
  char buf[64];
  {
    SCOPED_TRACE("reset, asked before any receive met it");
    Pair p;
    MakePair(&p);
    X1Socket s;
    s.Attach(TakeServer(p));
    EXPECT_EQ(s.GetEndError(), 0u);  // a live connection
    resetPeer(p.peer);
    ASSERT_TRUE(waitEnded(s.GetHandle()));
    EXPECT_EQ(s.GetEndError(), uint32_t{WSAECONNRESET});
    EXPECT_EQ(s.Receive(buf, sizeof buf), 0u);
    EXPECT_EQ(s.GetEndError(), uint32_t{WSAECONNRESET});  // kept after the system forgot it
  }
  {
    SCOPED_TRACE("orderly end, then a reset");
    Pair p;
    MakePair(&p);
    X1Socket s;
    s.Attach(TakeServer(p));
    PeerWrite(p.peer, "whole");
    ASSERT_EQ(shutdown(p.peer, SHUT_WR), 0);
    ASSERT_TRUE(waitEnded(s.GetHandle()));
    std::string got;
    for (size_t n; (n = s.Receive(buf, sizeof buf)) > 0;) got.append(buf, n);
    EXPECT_EQ(got, "whole");
    resetPeer(p.peer);
    EXPECT_EQ(s.GetEndError(), 0u);
  }
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "closed with ResetOnClose" : "closed");
    Pair p;
    MakePair(&p);
    X1Socket s;
    s.Attach(TakeServer(p));
    s.Send("part", 4);
    if (reset) s.ResetOnClose();
    s.Close();
    ASSERT_TRUE(waitEnded(p.peer));
    std::string got;
    ssize_t n;
    while ((n = recv(p.peer, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<size_t>(n));
    if (reset) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(errno, ECONNRESET);
    } else {
      EXPECT_EQ(n, 0);
      EXPECT_EQ(got, "part");
    }
  }
}

TEST_F(X1SocketTest, ConnectThenDataThatCameBeforeArmingIsPostedAtArming) {
  const std::string script =
      "import socket,sys\n"
      "l=socket.socket();l.bind(('127.0.0.1',0));l.listen(1)\n"
      "print(l.getsockname()[1],flush=True)\n"
      "c,_=l.accept();c.sendall(b'greeting\\n')\n"
      "line=b''\n"
      "while not line.endswith(b'\\n'):\n"
      "  d=c.recv(100)\n"
      "  if not d: break\n"
      "  line+=d\n"
      "c.sendall(b'got '+line);c.close()\n";
  const std::string path = MakeTempDir("peer") + "/server.py";
  ASSERT_TRUE(WriteFile(path, script));
  FILE* peer = popen(("python3 " + path).c_str(), "r");
  ASSERT_TRUE(peer);
  char portText[32] = {};
  ASSERT_TRUE(fgets(portText, sizeof portText, peer));
  uint16_t port = static_cast<uint16_t>(atoi(portText));

  auto t = StartOwner();
  X1Socket s;
  Journal j;
  bool answered = false;
  t->handle = [&](Message& m) {
    JournalHandler(s, j, m);
    if (!answered && j.Data() == "greeting\n") {
      answered = true;
      s.Printf("%s\n", "bye");
    }
  };
  t->Run([&] {
    s.Create();
    s.Connect("127.0.0.1", port, 10000);
    EXPECT_TRUE(s.IsConnected());
    EXPECT_EQ(s.GetPeerPort(), port);
    EXPECT_EQ(s.GetPeerAddress(), "127.0.0.1");
  });
  ASSERT_TRUE(WaitFor([&] { return s.BytesAvailable() == 9; }, kLongWaitMs));
  t->Run([&] {
    s.AsyncSelect(FD_READ | FD_WRITE | FD_CLOSE);
    s.ArmAsyncSelect();
  });
  ASSERT_TRUE(WaitFor([&] { return j.closed.load(); }, kLongWaitMs));
  t->Stop();
  pclose(peer);

  std::vector<uint32_t> ev = j.Events();
  ASSERT_GE(ev.size(), 3u);
  EXPECT_EQ(ev[0], FD_WRITE);  // a connected socket can send at once
  EXPECT_EQ(ev[1], FD_READ);   // the greeting that was waiting
  ExpectClosedLastAndOnce(ev);
  EXPECT_EQ(j.Data(), "greeting\ngot bye\n");
  EXPECT_EQ(s.GetBytesSent(), 4u);
  EXPECT_EQ(s.GetBytesReceived(), j.Data().size());
}

// ---- Threads --------------------------------------------------------------------------------

TEST_F(X1SocketTest, CloseFromAnotherThreadDropsQueuedEventsAndWakesABlockedSend) {
  const size_t before = OpenDescriptors();
  {
    // A read event waits in the owner's queue while another thread closes the socket.
    auto t = StartOwner();
    X1Socket s;
    std::atomic<int> taken{0}, offered{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    t->handle = [&](Message& m) {
      if (X1Socket::EventOfMessage(m.message) == 0) return;
      ++offered;
      if (s.TakeEvent(m)) ++taken;
    };
    Pair p;
    MakePair(&p);
    t->Run([&] { AttachSelected(s, TakeServer(p)); });
    t->Start([released] { released.wait(); });  // the owner is busy
    PeerWrite(p.peer, "late");
    ASSERT_TRUE(WaitFor([&] { return s.IsEventPending(FD_READ); }, kLongWaitMs));
    s.Close();
    EXPECT_EQ(s.GetHandle(), -1);
    EXPECT_EQ(ReadSome(p.peer, 1, kLongWaitMs), "");  // the peer sees the end
    release.set_value();
    t->Run([] {});
    EXPECT_EQ(offered.load(), 1);
    EXPECT_EQ(taken.load(), 0);
    char buf[8];
    EXPECT_EQ(s.Receive(buf, sizeof buf), 0u);
    EXPECT_THROW(s.Send("x", 1), X1SocketException);
    t->Stop();
  }
  {
    // The owner is blocked sending to a peer that never reads.
    auto t = StartOwner();
    X1Socket s;
    Pair p;
    MakePair(&p);
    std::atomic<bool> sending{false};
    std::promise<uint32_t> code;
    t->Run([&] { s.Attach(TakeServer(p)); });
    t->Start([&] {
      std::vector<char> big(64 << 20, 'x');
      sending = true;
      try {
        s.Send(big.data(), big.size());
        code.set_value(0);
      } catch (const X1SocketException& e) {
        code.set_value(e.GetCode());
      }
    });
    ASSERT_TRUE(WaitFor([&] { return sending.load() && s.GetBytesSent() > 0; }, kLongWaitMs));
    s.Close();
    std::future<uint32_t> result = code.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kLongWaitMs)), std::future_status::ready);
    uint32_t c = result.get();
    EXPECT_TRUE(c == WSAESHUTDOWN || c == WSAECONNRESET || c == WSAENOTSOCK) << c;
    t->Stop();
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(X1SocketTest, ASocketHandedToAnotherThreadKeepsItsDataAndEvents) {
  auto t1 = StartOwner();
  auto t2 = StartOwner();
  X1Socket s;
  Journal j;
  std::atomic<int> takenByFirst{0};
  t1->handle = [&](Message& m) {
    if (X1Socket::EventOfMessage(m.message) != 0 && s.TakeEvent(m)) ++takenByFirst;
  };
  t2->handle = [&](Message& m) { JournalHandler(s, j, m); };
  Pair p;
  MakePair(&p);
  t1->Run([&] { AttachSelected(s, TakeServer(p)); });
  EXPECT_EQ(s.GetOwnerThread(), t1->Id());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  t1->Start([released] { released.wait(); });
  PeerWrite(p.peer, "hello ");
  ASSERT_TRUE(WaitFor([&] { return s.IsEventPending(FD_READ); }, kLongWaitMs));
  s.SetOwnerThread(t2->Id());
  EXPECT_EQ(s.GetOwnerThread(), t2->Id());
  ASSERT_TRUE(WaitFor([&] { return j.Data() == "hello "; }, kLongWaitMs));
  release.set_value();
  t1->Run([] {});
  EXPECT_EQ(takenByFirst.load(), 0);  // its copy of the event went stale

  // Taken but not read, then moved: the waiting bytes are announced to the new owner.
  std::atomic<bool> moved{false};
  t1->handle = [&](Message& m) {
    if (m.message == platform::WM_SOCKET_READ && s.TakeEvent(m)) {
      s.SetOwnerThread(t2->Id());
      moved = true;
    }
  };
  t2->Run([&] { s.SetOwnerThread(t1->Id()); });
  PeerWrite(p.peer, "world");
  ASSERT_TRUE(WaitFor([&] { return moved.load(); }, kLongWaitMs));
  shutdown(p.peer, SHUT_WR);
  ASSERT_TRUE(WaitFor([&] { return j.closed.load(); }, kLongWaitMs));
  EXPECT_EQ(j.Data(), "hello world");
  ExpectClosedLastAndOnce(j.Events());
  t1->Stop();
  t2->Stop();
}

TEST_F(X1SocketTest, ASocketWhoseOwnerHasEndedIsClosedOnItsNextEvent) {
  long open = X1Socket::GetOpenSocketCount();
  auto t = StartOwner();
  X1Socket s;
  Pair p;
  MakePair(&p);
  t->Run([&] { AttachSelected(s, TakeServer(p)); });
  t->Stop();
  PeerWrite(p.peer, "anyone?");
  EXPECT_EQ(ReadSome(p.peer, 1, kLongWaitMs), "");
  EXPECT_EQ(s.GetHandle(), -1);
  EXPECT_EQ(X1Socket::GetOpenSocketCount(), open);
  s.Close();  // closes nothing a second time
}

TEST_F(X1SocketTest, ThreadsThatCloseTheirSocketsHandTheirReadinessSetsOn) {
  // A thread object per connection, each closing its socket before it ends (as sessions do):
  // every set ends empty, so the next one takes its descriptors instead of making a pair anew
  // (while another thread object runs, as the engine's own thread always does).
  auto keeper = StartOwner();
  const uint64_t madeBefore = platform::ReadySet::PairsMade();
  for (int i = 0; i < 20; ++i) {
    auto t = StartOwner();
    X1Socket s;
    Pair p;
    MakePair(&p);
    Journal j;
    t->handle = [&](Message& m) { JournalHandler(s, j, m); };
    t->Run([&] { AttachSelected(s, TakeServer(p)); });
    PeerWrite(p.peer, "x");
    ASSERT_TRUE(WaitFor([&] { return j.Data() == "x"; }, kLongWaitMs));
    t->Run([&] { s.Close(); });
    t->Stop();
  }
  EXPECT_LE(platform::ReadySet::PairsMade(), madeBefore + 1);
  keeper->Stop();
}

// ---- Connecting -----------------------------------------------------------------------------

TEST_F(X1SocketTest, ConnectFailuresGiveTheirCodes) {
  X1Socket s;
  s.Create();
  try {
    s.Connect("127.0.0.1", FreePort(), 10000);
    ADD_FAILURE() << "connected to a closed port";
  } catch (const X1SocketException& e) {
    EXPECT_EQ(e.GetCode(), static_cast<uint32_t>(WSAECONNREFUSED));
  }

  // A listener whose queue is full drops further connection requests unanswered.
  uint16_t port = 0;
  int l = ListenOn("127.0.0.1", &port, 0);
  ASSERT_GE(l, 0);
  sockaddr_in a = SocketAddress("127.0.0.1", port);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  ASSERT_TRUE(WaitFor([&] {
    pollfd p{l, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }, kLongWaitMs));
  s.Create();
  try {
    s.Connect("127.0.0.1", port, 300);
    ADD_FAILURE() << "connected through a full queue";
  } catch (const X1SocketException& e) {
    EXPECT_EQ(e.GetCode(), static_cast<uint32_t>(WSAETIMEDOUT));
  }

  // A close from another thread ends a connect that would otherwise wait a minute.
  s.Create();
  std::atomic<bool> started{false};
  std::promise<uint32_t> code;
  std::thread connector([&] {
    started = true;
    try {
      s.Connect("127.0.0.1", port, kLongWaitMs);
      code.set_value(0);
    } catch (const X1SocketException& e) {
      code.set_value(e.GetCode());
    }
  });
  ASSERT_TRUE(WaitFor([&] { return started.load(); }, kLongWaitMs));
  s.Close();
  std::future<uint32_t> result = code.get_future();
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(kLongWaitMs / 2)), std::future_status::ready);
  connector.join();
  EXPECT_NE(result.get(), 0u);
  for (int f : fillers) close(f);
  close(l);

  // Names go to the installed resolver; its failure carries the operator's text.
  X1Socket::SetResolver([](const CString& host, uint32_t* address) {
    if (host != "loopback.test") return false;
    *address = 0x7F000001;
    return true;
  });
  s.Create();
  try {
    s.Connect("unknown.test", 80, 1000);
    ADD_FAILURE() << "resolved an unknown name";
  } catch (const X1SocketException& e) {
    EXPECT_EQ(e.GetCode(), static_cast<uint32_t>(WSAEINVAL));
    EXPECT_STREQ(e.what(), "Host name lookup for 'unknown.test' failed");
  }
  s.Create();
  EXPECT_THROW(s.Connect("loopback.test", FreePort(), 1000), X1SocketException);  // refused, so resolved
  X1Socket::SetResolver(nullptr);
}

// ---- Datagrams ------------------------------------------------------------------------------

TEST_F(X1SocketTest, ZeroLengthDatagramDoesNotMakeTheSocketDeaf) {
  auto t = StartOwner();
  X1Socket a, b;
  struct Got {
    size_t n;
    std::string text, from;
    uint16_t port;
  };
  std::mutex mu;
  std::vector<Got> got;
  std::atomic<int> tooLong{0};
  t->handle = [&](Message& m) {
    if (!a.TakeEvent(m)) return;
    for (;;) {
      char buf[64 + 8];
      memset(buf, 0x5A, sizeof buf);
      CString from;
      uint16_t port = 0;
      size_t n;
      try {
        n = a.ReceiveFrom(buf, 64, from, port);
      } catch (const X1SocketException& e) {
        EXPECT_EQ(e.GetCode(), static_cast<uint32_t>(WSAEMSGSIZE));
        ++tooLong;
        continue;
      }
      for (size_t i = 64; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0x5A);
      if (from.empty()) break;
      if (n > 0) a.SendTo(buf, n, port, from);  // echo
      std::lock_guard<std::mutex> g(mu);
      got.push_back({n, std::string(buf, n), from, port});
    }
  };
  uint16_t aport = 0;
  t->Run([&] {
    a.Create(SOCK_DGRAM);
    a.Bind(0, "127.0.0.1");
    a.AsyncSelect(FD_READ);
    a.ArmAsyncSelect();
    aport = a.GetLocalPort();
  });
  std::string cmd = "python3 -c \"import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);"
                    "a=('127.0.0.1'," + std::to_string(aport) + ");s.sendto(b'',a);s.sendto(b'ping',a)\"";
  ASSERT_EQ(trellis::test::RunCommand(cmd), 0);
  auto count = [&] {
    std::lock_guard<std::mutex> g(mu);
    return got.size();
  };
  ASSERT_TRUE(WaitFor([&] { return count() == 2; }, kLongWaitMs));
  {
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(got[0].n, 0u);
    EXPECT_EQ(got[0].from, "127.0.0.1");
    EXPECT_EQ(got[1].text, "ping");
    EXPECT_EQ(got[1].port, got[0].port);
  }

  // Then the library's own datagrams, one too long for the reader's buffer, and the echo back.
  b.Create(SOCK_DGRAM);
  b.Bind(0, "127.0.0.1");
  std::string longOne(100, 'L');
  EXPECT_EQ(b.SendTo("", 0, aport, "127.0.0.1"), 0u);
  EXPECT_EQ(b.SendTo(longOne.data(), longOne.size(), aport, "127.0.0.1"), 100u);
  EXPECT_EQ(b.SendTo("pong", 4, aport, "127.0.0.1"), 4u);
  ASSERT_TRUE(WaitFor([&] { return count() == 4; }, kLongWaitMs));
  EXPECT_EQ(tooLong.load(), 1);
  {
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(got[2].n, 0u);
    EXPECT_EQ(got[3].text, "pong");
    EXPECT_EQ(got[3].port, b.GetLocalPort());
  }
  char reply[16];
  CString from;
  uint16_t port = 0;
  size_t n = 0;
  ASSERT_TRUE(WaitFor([&] { return (n = b.ReceiveFrom(reply, sizeof reply, from, port)) > 0; }, kLongWaitMs));
  EXPECT_EQ(std::string(reply, n), "pong");
  EXPECT_EQ(port, aport);
  t->Run([&] { a.Close(); });
  t->Stop();
}

// ---- Buffers, ciphering hook, blocking reads ------------------------------------------------

// A test cipher: each byte XOR the next byte of a counter, which is what a stream cipher looks like
// to the socket. Records the chunk sizes it was given.
class CounterLink : public X1SocketLink {
 public:
  std::vector<size_t> sent;
  uint8_t out = 0, in = 0;
  void ClientHandshake(X1Socket&) override {}
  void EncipherOutgoing(uint8_t* d, size_t n) override {
    sent.push_back(n);
    for (size_t i = 0; i < n; ++i) d[i] ^= out++;
  }
  void DecipherIncoming(uint8_t* d, size_t n) override {
    for (size_t i = 0; i < n; ++i) d[i] ^= in++;
  }
};

std::string Cipher(const std::string& s, uint8_t start) {
  std::string r = s;
  for (char& c : r) c = static_cast<char>(static_cast<uint8_t>(c) ^ start++);
  return r;
}

TEST_F(X1SocketTest, ReceiveNeverWritesPastTheCallersBufferCipheredOrNot) {
  Pair p;
  MakePair(&p);
  X1Socket s;
  s.Attach(TakeServer(p));
  std::string plain;
  for (int i = 0; i < 100; ++i) plain.push_back(static_cast<char>('A' + i % 26));

  auto readAll = [&](size_t want) {
    std::string got;
    uint8_t buf[7 + 16];
    return WaitFor([&] {
      memset(buf, 0xEE, sizeof buf);
      size_t n = s.Receive(buf, 7);
      EXPECT_LE(n, 7u);
      for (size_t i = 7; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0xEE) << "overrun at " << i;
      got.append(reinterpret_cast<char*>(buf), n);
      return got.size() >= want;
    }, kLongWaitMs) ? got : std::string("timed out");
  };
  PeerWrite(p.peer, plain);
  EXPECT_EQ(readAll(100), plain);
  EXPECT_EQ(s.Send("", 0), 0u);

  auto link = std::make_unique<CounterLink>();
  CounterLink* l = link.get();
  s.SetLink(std::move(link));
  s.SetCiphering(true);
  PeerWrite(p.peer, Cipher(plain, 0));
  EXPECT_EQ(readAll(100), plain);
  char one;
  EXPECT_THROW(s.Peek(&one, 1), X1SocketException);

  // 20000 bytes go out as 8192, 8192 and 3616, enciphered in order.
  std::string big;
  for (int i = 0; i < 20000; ++i) big.push_back(static_cast<char>(i * 7));
  std::string wire;
  std::thread reader([&] { wire = ReadSome(p.peer, big.size(), kLongWaitMs); });
  EXPECT_EQ(s.Send(big.data(), big.size()), big.size());
  reader.join();
  EXPECT_EQ((std::vector<size_t>{8192, 8192, 3616}), l->sent);
  EXPECT_EQ(Cipher(wire, 0), big);
  EXPECT_EQ(s.GetBytesSent(), 20000u);
  EXPECT_EQ(s.GetBytesReceived(), 200u);
}

TEST_F(X1SocketTest, SendFileSendsTheWholeFileCipheredOrNotAndKeepsTheSendTimeOut) {
  const std::string dir = MakeTempDir("sendfile");
  std::string content;
  for (int i = 0; i < (3 << 20) + 777; ++i) content.push_back(static_cast<char>((i * 131) ^ (i >> 9)));
  ASSERT_TRUE(WriteFile(dir + "/body", content));
  const int file = open((dir + "/body").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(file, 0);
  for (bool ciphered : {false, true}) {
    SCOPED_TRACE(ciphered ? "ciphered" : "plain");
    Pair p;
    MakePair(&p);
    X1Socket s;
    s.Attach(TakeServer(p));
    if (ciphered) {
      s.SetLink(std::make_unique<CounterLink>());
      s.SetCiphering(true);
    }
    std::string wire;
    std::thread reader([&] { wire = ReadSome(p.peer, content.size(), kLongWaitMs); });
    EXPECT_EQ(s.SendFile(file), content.size());
    reader.join();
    EXPECT_EQ(s.GetBytesSent(), content.size());
    ASSERT_EQ(wire.size(), content.size());
    EXPECT_TRUE((ciphered ? Cipher(wire, 0) : wire) == content);
  }
  {
    SCOPED_TRACE("a peer that never reads");
    Pair p;
    MakePair(&p);
    X1Socket s;
    s.Attach(TakeServer(p));
    s.SetSendTimeout(300);
    std::string big(64 << 20, 'b');
    ASSERT_TRUE(WriteFile(dir + "/big", big));
    const int bigFile = open((dir + "/big").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(bigFile, 0);
    try {
      s.SendFile(bigFile);
      ADD_FAILURE() << "64 MB went to a peer that reads nothing";
    } catch (const X1SocketException& e) {
      EXPECT_EQ(e.GetCode(), static_cast<uint32_t>(WSAETIMEDOUT));
    }
    EXPECT_GT(s.GetBytesSent(), 0u);
    close(bigFile);
  }
  close(file);
}

TEST_F(X1SocketTest, RelayToMovesWhatWaitsPlainOrCipheredThenReadsTheEndAsZero) {
  std::string content;
  for (int i = 0; i < (2 << 20) + 333; ++i) content.push_back(static_cast<char>((i * 7) ^ (i >> 11)));
  for (bool ciphered : {false, true}) {
    SCOPED_TRACE(ciphered ? "ciphered destination" : "plain");
    Pair in, out;
    MakePair(&in);
    MakePair(&out);
    X1Socket from, to;
    from.Attach(TakeServer(in));
    to.Attach(TakeServer(out));
    if (ciphered) {
      to.SetLink(std::make_unique<CounterLink>());
      to.SetCiphering(true);
    }
    std::string wire;
    std::thread reader([&] { wire = ReadSome(out.peer, content.size(), kLongWaitMs); });
    std::thread writer([&] {
      PeerWrite(in.peer, content);
      shutdown(in.peer, SHUT_WR);
    });
    size_t moved = 0;
    for (int idle = 0; moved < content.size() && idle < 2000;) {
      const size_t n = from.RelayTo(to, 256 * 1024);
      moved += n;
      if (n == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++idle;
      }
    }
    writer.join();
    reader.join();
    EXPECT_EQ(moved, content.size());
    EXPECT_EQ(from.RelayTo(to, 4096), 0u);  // the orderly end, as Receive reads it
    EXPECT_EQ(from.GetBytesReceived(), content.size());
    EXPECT_EQ(to.GetBytesSent(), content.size());
    ASSERT_EQ(wire.size(), content.size());
    EXPECT_TRUE((ciphered ? Cipher(wire, 0) : wire) == content);
  }
}

TEST_F(X1SocketTest, LineAndBlockingReadsStopAtTheirEnd) {
  Pair p;
  MakePair(&p);
  X1Socket s;
  s.Attach(TakeServer(p));
  PeerWrite(p.peer, "first line\nsecond");
  CString line;
  EXPECT_EQ(s.ReceiveLine(line, kLongWaitMs), 11u);
  EXPECT_EQ(line, "first line\n");
  char buf[32] = {};
  EXPECT_EQ(s.ReceiveBlocking(buf, 6), 6u);
  EXPECT_EQ(std::string(buf, 6), "second");
  EXPECT_TRUE(s.IsSelected());  // re-armed at the end

  // The connection ends before the length is read: the bytes there are, no waiting it out.
  std::thread writer([&] {
    PeerWrite(p.peer, "abc");
    shutdown(p.peer, SHUT_WR);
  });
  EXPECT_EQ(s.ReceiveBlocking(buf, 10), 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
  writer.join();
  EXPECT_EQ(s.ReceiveLine(line, kLongWaitMs), 0u);
}

// ---- Load -----------------------------------------------------------------------------------

// One thread per accepted connection, as sessions run: echo what comes until the client ends.
class EchoSession : public MsgThread {
 public:
  explicit EchoSession(int fd) : fd_(fd) {}
  ~EchoSession() override {
    if (fd_ >= 0) close(fd_);
  }

 protected:
  bool InitInstance() override {
    int fd = fd_;
    fd_ = -1;
    AttachSelected(sock_, fd);
    return true;
  }
  void OnMessage(Message& m) override {
    uint32_t ev = X1Socket::EventOfMessage(m.message);
    if (ev == 0 || !sock_.TakeEvent(m)) return;
    Echo();
    if (ev == FD_CLOSE) {
      sock_.Close();
      PostQuit(0);
    }
  }
  void Echo() {
    char buf[4096];
    size_t n;
    while ((n = sock_.Receive(buf, sizeof buf)) > 0) sock_.Send(buf, n);
  }

 private:
  int fd_;
  X1Socket sock_;
};

// The engine thread stand-in: runs the listeners' callbacks.
class NotificationThread : public MsgThread {
 protected:
  void OnMessage(Message& m) override { X1Socket::DispatchNotification(m); }
};

struct Server {
  std::mutex mu;
  std::vector<std::shared_ptr<EchoSession>> sessions;
  std::atomic<int> acceptFailures{0};
};

void AcceptCallback(void* context, X1Socket* listener, uint32_t event) {
  auto* server = static_cast<Server*>(context);
  if (event != FD_ACCEPT) return;
  int fd;
  try {
    fd = listener->Accept();
  } catch (const X1SocketException&) {
    ++server->acceptFailures;
    return;
  }
  auto session = std::make_shared<EchoSession>(fd);
  if (!session->CreateThread()) return;
  std::lock_guard<std::mutex> g(server->mu);
  server->sessions.push_back(std::move(session));
}

TEST_F(X1SocketTest, FiveHundredConnectionsEchoedAtOnceWithoutLossOrLeftoverDescriptors) {
  const std::string script =
      "import os,selectors,socket,sys\n"
      "port=int(sys.argv[1]);n=500;size=20000\n"
      "sel=selectors.DefaultSelector();st={}\n"
      "for i in range(n):\n"
      "  s=socket.create_connection(('127.0.0.1',port));s.setblocking(False)\n"
      "  st[s]=[os.urandom(size),0,bytearray()]\n"
      "  sel.register(s,selectors.EVENT_READ|selectors.EVENT_WRITE)\n"
      "ok=0;live=n\n"
      "while live:\n"
      "  ready=sel.select(60)\n"
      "  if not ready: break\n"
      "  for k,ev in ready:\n"
      "    s=k.fileobj;d=st[s]\n"
      "    if ev&selectors.EVENT_WRITE:\n"
      "      d[1]+=s.send(d[0][d[1]:d[1]+65536])\n"
      "      if d[1]==size:\n"
      "        s.shutdown(socket.SHUT_WR);sel.modify(s,selectors.EVENT_READ)\n"
      "    if ev&selectors.EVENT_READ:\n"
      "      b=s.recv(65536)\n"
      "      if b: d[2]+=b\n"
      "      else:\n"
      "        ok+=bytes(d[2])==d[0];sel.unregister(s);s.close();live-=1\n"
      "print(ok)\n";
  const std::string path = MakeTempDir("load") + "/client.py";
  ASSERT_TRUE(WriteFile(path, script));

  const size_t before = OpenDescriptors();
  long openBefore = X1Socket::GetOpenSocketCount();
  auto notifier = std::make_shared<NotificationThread>();
  ASSERT_TRUE(notifier->CreateThread());
  X1Socket::SetNotificationThread(notifier->Id());
  Server server;
  uint16_t port;
  {
    X1Socket listener;
    listener.SetCallback(AcceptCallback, &server);
    port = ListenSelected(listener);

    std::string out;
    ASSERT_EQ(trellis::test::RunCommand("python3 " + path + " " + std::to_string(port), &out), 0);
    EXPECT_EQ(out, "500\n");
    listener.Close();
  }
  X1Socket::SetNotificationThread(0);
  notifier->PostQuit(0);
  ASSERT_TRUE(notifier->WaitForExit(kLongWaitMs));
  {
    std::lock_guard<std::mutex> g(server.mu);
    EXPECT_EQ(server.sessions.size(), 500u);
    for (auto& s : server.sessions) EXPECT_TRUE(s->WaitForExit(kLongWaitMs));
    server.sessions.clear();
  }
  EXPECT_EQ(X1Socket::GetOpenSocketCount(), openBefore);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(X1SocketAccept, TryAcceptAnswersNothingPendingAndClosedWithoutThrowing) {
  X1Socket listener;
  listener.Create();
  listener.Bind(0, "127.0.0.1");
  listener.Listen(5);
  uint32_t error = 0;
  EXPECT_EQ(listener.TryAccept(&error), -1);
  EXPECT_EQ(error, static_cast<uint32_t>(WSAEWOULDBLOCK));
  const int client = trellis::test::Connect(listener.GetLocalPort());
  ASSERT_GE(client, 0);
  error = 0;
  const int fd = listener.TryAccept(&error);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(error, 0u);
  ASSERT_EQ(write(client, "k", 1), 1);
  pollfd pfd{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, kLongWaitMs), 1);
  char c = 0;
  EXPECT_EQ(read(fd, &c, 1), 1);  // the accepted descriptor is the client's connection
  EXPECT_EQ(c, 'k');
  close(fd);
  close(client);
  listener.Close();
  EXPECT_EQ(listener.TryAccept(&error), -1);
  EXPECT_EQ(error, static_cast<uint32_t>(WSAENOTSOCK));
}

TEST(X1SocketAccept, AThreadWaitingOnAListenerTakesTheConnectionAndACloseOrItsTimeEndsTheWait) {
  X1Socket::InitNotifier();
  auto t = StartOwner();
  X1Socket listener;
  std::atomic<int> announced{0};
  t->handle = [&](Message& m) {
    if (X1Socket::EventOfMessage(m.message) == FD_ACCEPT && listener.TakeEvent(m)) ++announced;
  };
  uint16_t port = 0;
  t->Run([&] { port = ListenSelected(listener); });

  // Waiting first or connecting first, the waiter takes the client's connection.
  for (bool connectFirst : {false, true}) {
    int client = -1;
    if (connectFirst) client = trellis::test::Connect(port);
    std::promise<std::pair<int, uint32_t>> got;
    std::thread waiter([&] {
      uint32_t error = 0;
      const int fd = listener.AcceptWaiting(kLongWaitMs, &error);
      got.set_value({fd, error});
    });
    if (!connectFirst) {
      platform::SleepMs(50);  // usually asleep by now; either way the connection is taken
      client = trellis::test::Connect(port);
    }
    ASSERT_GE(client, 0);
    auto [fd, error] = got.get_future().get();
    waiter.join();
    ASSERT_GE(fd, 0) << error;
    ASSERT_EQ(write(client, "w", 1), 1);
    EXPECT_EQ(ReadSome(fd, 1, kLongWaitMs), "w");
    close(fd);
    close(client);
  }
  // Nothing in time: the wait ends, and a later connection is announced to the owner as before.
  uint32_t error = 0;
  EXPECT_EQ(listener.AcceptWaiting(20, &error), -1);
  EXPECT_EQ(error, static_cast<uint32_t>(WSAEWOULDBLOCK));
  const int late = trellis::test::Connect(port);
  ASSERT_GE(late, 0);
  ASSERT_TRUE(WaitFor([&] { return announced.load() > 0; }, kLongWaitMs));
  t->Run([&] {
    uint32_t e = 0;
    const int fd = listener.TryAccept(&e);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
  });
  close(late);

  // Several waiters: a close from another thread ends every wait at once, not at its time-out.
  std::vector<std::future<uint32_t>> waits;
  for (int i = 0; i < 3; ++i) {
    waits.push_back(std::async(std::launch::async, [&] {
      uint32_t e = 0;
      return listener.AcceptWaiting(kLongWaitMs, &e) < 0 ? e : 0u;
    }));
  }
  platform::SleepMs(50);
  const auto start = std::chrono::steady_clock::now();
  listener.Close();
  for (auto& w : waits) EXPECT_EQ(w.get(), static_cast<uint32_t>(WSAENOTSOCK));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongWaitMs / 2));
  t->Stop();
}

// A burst of connections larger than the small queues of old is held whole by the system until
// accepted: none of them has its handshake dropped and retried a second later. The queue's limit is
// read from the listener itself (a listener's TCP_INFO carries its queue length and limit), so no
// clock decides.
TEST(X1SocketAccept, ABurstOfConnectionsWaitsWholeInTheQueue) {
  constexpr int kBurst = 300;
  // The system caps every queue at its own limit; one set below the burst cannot show this.
  if (FILE* f = std::fopen("/proc/sys/net/core/somaxconn", "r")) {
    int limit = 0;
    const bool read = std::fscanf(f, "%d", &limit) == 1;
    std::fclose(f);
    if (read && limit < kBurst) GTEST_SKIP() << "the system limits listen queues to " << limit;
  }
  X1Socket listener;
  listener.Create();
  listener.Bind(0, "127.0.0.1");
  listener.Listen(5);
  auto queue = [&] {
    tcp_info info{};
    socklen_t len = sizeof info;
    EXPECT_EQ(getsockopt(listener.GetHandle(), IPPROTO_TCP, TCP_INFO, &info, &len), 0);
    return info;
  };
  ASSERT_GE(queue().tcpi_sacked, static_cast<uint32_t>(kBurst));  // the queue's limit
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(listener.GetLocalPort());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<int> clients;
  for (int i = 0; i < kBurst; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
    const int r = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ASSERT_TRUE(r == 0 || errno == EINPROGRESS) << i;
  }
  // All of them wait in the queue at once, and all are taken.
  EXPECT_TRUE(WaitFor([&] { return queue().tcpi_unacked == static_cast<uint32_t>(kBurst); }, kLongWaitMs))
      << queue().tcpi_unacked;
  int accepted = 0;
  uint32_t error = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (int fd; (fd = listener.TryAccept(&error)) >= 0; ++accepted) close(fd);
        return accepted == kBurst;
      },
      kLongWaitMs))
      << accepted;
  for (int c : clients) close(c);
}

// A process that may open no descriptor cannot start the notification layer: the first socket
// use fails with code 0 and the layer's text.
TEST(X1SocketNotifier, LayerThatCannotStartThrowsCodeZeroWithItsText) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' runtime checks memory through pipes of its own; without descriptors it
  // reports the throw itself as a fault. The plain build runs this test.
  GTEST_SKIP() << "needs descriptors the sanitizer runtime would take";
#endif
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No new descriptor from here on: the limit is the lowest free number, so every open one stays
    // usable (a sanitizer's runtime keeps working) while the layer cannot open its own.
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe < 0) _exit(77);
    ::close(probe);
    const rlimit none{static_cast<rlim_t>(probe), static_cast<rlim_t>(probe)};
    if (setrlimit(RLIMIT_NOFILE, &none) != 0) _exit(77);
    try {
      X1Socket::InitNotifier();
    } catch (const X1SocketException& e) {
      _exit(e.GetCode() == 0 && e.GetText() == "X1Socket callback window creation failed" ? 0 : 1);
    }
    _exit(77);  // started before the limit: this process cannot show the failure
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "the layer was started before the test";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
