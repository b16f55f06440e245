#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/support/test_env.h"

using namespace platform::reg;

namespace {

using trellis::test::OpenFreshStore;

std::string IntegrityCheck(const std::string& file) {
  sqlite3* db = nullptr;
  std::string result = "open failed";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return result;
}

// The payload of value i: its size and bytes differ with i, with zeros inside.
std::string Payload(uint32_t i) {
  std::string d(1 + (i * 37) % 3000, '\0');
  for (size_t k = 0; k < d.size(); ++k) d[k] = static_cast<char>((i + k) % 7 == 0 ? 0 : (i * 31 + k));
  return d;
}

TEST(RegistryStore, OpensCaseInsensitivelyAndAdoptsStoredSpelling) {
  auto s = OpenFreshStore("case");
  ASSERT_EQ(s->CreateKey("HKLM\\Software\\UserDatabase\\Alice"), kOk);
  EXPECT_TRUE(s->KeyExists("hklm\\SOFTWARE\\userdatabase\\ALICE"));
  EXPECT_EQ(s->StoredPath("hklm\\SOFTWARE\\userdatabase\\ALICE"), "HKLM\\Software\\UserDatabase\\Alice");
  // Creating it again in another spelling finds the same key.
  ASSERT_EQ(s->CreateKey("HKLM\\SOFTWARE\\USERDATABASE\\alice\\Rights"), kOk);
  EXPECT_EQ(s->SubKeys("HKLM\\Software\\UserDatabase"), std::vector<std::string>{"Alice"});
  EXPECT_EQ(s->StoredPath("hklm\\software\\userdatabase\\alice\\rights"),
            "HKLM\\Software\\UserDatabase\\Alice\\Rights");

  ASSERT_EQ(s->SetValue("HKLM\\Software", "Port", kDword, std::string("\x50\0\0\0", 4)), kOk);
  ASSERT_EQ(s->SetValue("hklm\\software", "PORT", kDword, std::string("\x51\0\0\0", 4)), kOk);
  auto vals = s->Values("HKLM\\Software");
  ASSERT_EQ(vals.size(), 1u);
  EXPECT_EQ(vals[0].name, "Port");
  EXPECT_EQ(vals[0].data, std::string("\x51\0\0\0", 4));
  // Only ASCII letters fold: a non-ASCII byte is a distinct name.
  ASSERT_EQ(s->CreateKey("HKLM\\\xc3\xa9"), kOk);
  EXPECT_FALSE(s->KeyExists("HKLM\\\xc3\x89"));
}

TEST(RegistryStore, EnumeratesInFoldedByteOrder) {
  auto s = OpenFreshStore("order");
  for (const char* n : {"Recipient2", "Recipient10", "recipient1", "b", "A", "_x"})
    ASSERT_EQ(s->CreateKey(std::string("HKLM\\R\\") + n), kOk);
  // '_' (0x5F) sorts after the upper-cased letters, as the folded bytes say.
  std::vector<std::string> want{"A", "b", "recipient1", "Recipient10", "Recipient2", "_x"};
  EXPECT_EQ(s->SubKeys("HKLM\\R"), want);
  for (const char* n : {"Recipient2", "Recipient10", "recipient1", "b", "A", "_x"})
    ASSERT_EQ(s->SetValue("HKLM\\V", n, kSz, std::string("x\0", 2)), kOk);
  auto vals = s->Values("hklm\\v");
  ASSERT_EQ(vals.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(vals[i].name, want[i]);
    Value v;
    ASSERT_EQ(s->EnumValue("HKLM\\V", static_cast<uint32_t>(i), &v), kOk);
    EXPECT_EQ(v.name, want[i]);
  }
  EXPECT_EQ(s->EnumValue("HKLM\\V", static_cast<uint32_t>(want.size()), nullptr), kNoMoreItems);
  // The top of the store lists the hives.
  EXPECT_EQ(s->SubKeys(""), std::vector<std::string>{"HKLM"});
}

TEST(RegistryStore, IndexEnumerationShiftsWhenEntriesAreDeleted) {
  auto s = OpenFreshStore("enumdel");
  for (int i = 0; i < 5; ++i) ASSERT_EQ(s->CreateKey("HKLM\\L\\K" + std::to_string(i)), kOk);
  std::string name;
  ASSERT_EQ(s->EnumSubKey("HKLM\\L", 0, &name), kOk);
  EXPECT_EQ(name, "K0");
  ASSERT_EQ(s->DeleteKey("HKLM\\L\\K0"), kOk);
  // The deleted entry dropped out: index 0 is now the next one, and index 4 is past the end.
  ASSERT_EQ(s->EnumSubKey("HKLM\\L", 0, &name), kOk);
  EXPECT_EQ(name, "K1");
  EXPECT_EQ(s->EnumSubKey("HKLM\\L", 4, &name), kNoMoreItems);

  // The restart-at-zero loop of a tree delete ends with everything gone.
  int rounds = 0;
  while (s->EnumSubKey("HKLM\\L", 0, &name) == kOk && rounds++ < 10)
    ASSERT_EQ(s->DeleteKey("HKLM\\L\\" + name), kOk);
  EXPECT_EQ(rounds, 4);
  EXPECT_TRUE(s->SubKeys("HKLM\\L").empty());

  // Values: delete every second one while walking with the step-back idiom.
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(s->SetValue("HKLM\\L", "V" + std::to_string(i), kDword, std::string(4, char(i))), kOk);
  Value v;
  for (uint32_t i = 0; s->EnumValue("HKLM\\L", i, &v) == kOk; ++i) {
    if (v.data[0] % 2 == 0) {
      ASSERT_EQ(s->DeleteValue("HKLM\\L", v.name), kOk);
      --i;
    }
  }
  auto left = s->Values("HKLM\\L");
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].name, "V1");
  EXPECT_EQ(left[2].name, "V5");
  EXPECT_EQ(s->EnumSubKey("HKLM\\Missing", 0, &name), kNotFound);
  EXPECT_EQ(s->EnumValue("HKLM\\Missing", 0, &v), kNotFound);
}

TEST(RegistryStore, KeepsRawBytesExactly) {
  auto s = OpenFreshStore("raw");
  std::string data("a\0b\0\0\xff\x80", 7);
  ASSERT_EQ(s->SetValue("HKLM\\B", "Blob", kBinary, data), kOk);
  ASSERT_EQ(s->SetValue("HKLM\\B", "Empty", kSz, ""), kOk);
  ASSERT_EQ(s->SetValue("HKLM\\B", "Odd", 0x12345678u, "xyz"), kOk);
  // A password whose scrambled form holds a zero byte keeps its full length.
  std::string scrambled("pa\0ss\0", 6);
  ASSERT_EQ(s->SetValue("HKLM\\B", "Password", kSz, scrambled), kOk);
  Value v;
  ASSERT_EQ(s->GetValue("HKLM\\B", "blob", &v), kOk);
  EXPECT_EQ(v.type, kBinary);
  EXPECT_EQ(v.data, data);
  ASSERT_EQ(s->GetValue("HKLM\\B", "Empty", &v), kOk);
  EXPECT_EQ(v.data.size(), 0u);
  EXPECT_EQ(v.type, kSz);
  ASSERT_EQ(s->GetValue("HKLM\\B", "Odd", &v), kOk);
  EXPECT_EQ(v.type, 0x12345678u);
  ASSERT_EQ(s->GetValue("HKLM\\B", "Password", &v), kOk);
  EXPECT_EQ(v.data, scrambled);
  // Reads hand back the bytes whatever the type: a DWORD read of text sees its first 4 bytes.
  ASSERT_EQ(s->SetValue("HKLM\\B", "Text", kSz, std::string("abcdef\0", 7)), kOk);
  ASSERT_EQ(s->GetValue("HKLM\\B", "Text", &v), kOk);
  uint32_t n = 0;
  ASSERT_GE(v.data.size(), 4u);
  std::memcpy(&n, v.data.data(), 4);
  EXPECT_EQ(n, 0x64636261u);
  // The default value has the empty name.
  ASSERT_EQ(s->SetValue("HKLM\\B", "", kSz, std::string("d\0", 2)), kOk);
  EXPECT_EQ(s->Values("HKLM\\B").front().name, "");
}

TEST(RegistryStore, ReadsCreateNothing) {
  auto s = OpenFreshStore("reads");
  Value v;
  EXPECT_EQ(s->GetValue("HKLM\\UserDatabase\\Mallory", "Password", &v), kNotFound);
  EXPECT_EQ(s->DeleteValue("HKLM\\UserDatabase\\Mallory", "Password"), kNotFound);
  EXPECT_TRUE(s->Values("HKLM\\UserDatabase\\Mallory").empty());
  EXPECT_TRUE(s->SubKeys("HKLM\\UserDatabase").empty());
  EXPECT_FALSE(s->KeyExists("HKLM\\UserDatabase\\Mallory"));
  EXPECT_FALSE(s->KeyExists("HKLM"));
  EXPECT_FALSE(s->StoredPath("HKLM").has_value());
  ASSERT_EQ(s->CreateKey("HKLM\\K"), kOk);
  EXPECT_EQ(s->GetValue("HKLM\\K", "Missing", &v), kNotFound);
  EXPECT_EQ(s->DeleteValue("HKLM\\K", "Missing"), kNotFound);
}

TEST(RegistryStore, RefusesMalformedPathsAndNames) {
  auto s = OpenFreshStore("names");
  EXPECT_EQ(s->CreateKey(""), kInvalidParameter);
  EXPECT_EQ(s->CreateKey("\\\\"), kInvalidParameter);
  EXPECT_EQ(s->CreateKey("HKLM\\" + std::string(256, 'k')), kInvalidParameter);
  EXPECT_EQ(s->CreateKey("HKLM\\" + std::string(255, 'k')), kOk);
  EXPECT_EQ(s->CreateKey(std::string("HKLM\\a\0b", 8)), kInvalidParameter);
  EXPECT_EQ(s->SetValue("HKLM", std::string("a\0b", 3), kSz, "x"), kInvalidParameter);
  EXPECT_EQ(s->SetValue("", "v", kSz, "x"), kInvalidParameter);
  std::string deep = "HKLM";
  for (size_t i = 0; i < kMaxKeyDepth; ++i) deep += "\\d";
  EXPECT_EQ(s->CreateKey(deep), kInvalidParameter);
  EXPECT_EQ(s->DeleteTree(""), kInvalidParameter);
  // Empty levels are dropped: these name the same key.
  ASSERT_EQ(s->CreateKey("\\HKLM\\\\X\\"), kOk);
  EXPECT_EQ(s->StoredPath("HKLM\\X"), "HKLM\\X");
  EXPECT_EQ(SplitPath("\\a\\\\b\\"), (std::vector<std::string>{"a", "b"}));
}

TEST(RegistryStore, DeleteKeyRefusesSubKeysAndDeleteTreeRemovesAllBelow) {
  auto s = OpenFreshStore("delete");
  ASSERT_EQ(s->SetValue("HKLM\\A\\B\\C", "v", kSz, "1"), kOk);
  ASSERT_EQ(s->SetValue("HKLM\\A\\B", "v", kSz, "2"), kOk);
  ASSERT_EQ(s->SetValue("HKLM\\AB", "v", kSz, "sibling"), kOk);
  EXPECT_EQ(s->DeleteKey("HKLM\\A\\B"), kAccessDenied);
  EXPECT_TRUE(s->KeyExists("HKLM\\A\\B\\C"));
  EXPECT_EQ(s->DeleteKey("HKLM\\A\\Nope"), kNotFound);
  EXPECT_EQ(s->DeleteTree("hklm\\a"), kOk);
  EXPECT_FALSE(s->KeyExists("HKLM\\A"));
  EXPECT_FALSE(s->KeyExists("HKLM\\A\\B\\C"));
  EXPECT_TRUE(s->KeyExists("HKLM\\AB"));
  EXPECT_EQ(s->DeleteTree("HKLM\\A"), kNotFound);
  // A key created again in the deleted place starts empty: no value came back with it.
  ASSERT_EQ(s->CreateKey("HKLM\\A\\B\\C"), kOk);
  EXPECT_TRUE(s->Values("HKLM\\A\\B\\C").empty());
  EXPECT_TRUE(s->Values("HKLM\\A\\B").empty());
  // A leaf key with values goes with DeleteKey.
  ASSERT_EQ(s->SetValue("HKLM\\A\\B\\C", "v", kSz, "1"), kOk);
  EXPECT_EQ(s->DeleteKey("HKLM\\A\\B\\C"), kOk);
  EXPECT_FALSE(s->KeyExists("HKLM\\A\\B\\C"));
  EXPECT_EQ(IntegrityCheck(s->Path()), "ok");
}

TEST(RegistryStore, TransactionsNestAndCommitWhenTheOutermostEnds) {
  auto a = OpenFreshStore("txn");
  std::string err;
  auto b = Store::Open(a->Path(), &err);
  ASSERT_TRUE(b) << err;
  {
    Store::Transaction outer(*a);
    ASSERT_EQ(a->SetValue("HKLM\\T", "one", kDword, "1111"), kOk);
    {
      Store::Transaction inner(*a);
      ASSERT_EQ(a->SetValue("HKLM\\T", "two", kDword, "2222"), kOk);
    }
    // Visible to its own connection, not yet committed for another one.
    EXPECT_TRUE(a->KeyExists("HKLM\\T"));
    EXPECT_FALSE(b->KeyExists("HKLM\\T"));
    // A failed write inside does not undo the ones before it.
    EXPECT_EQ(a->DeleteKey("HKLM"), kAccessDenied);
    EXPECT_EQ(a->SetValue("HKLM\\T", "three", kDword, "3333"), kOk);
  }
  EXPECT_EQ(b->Values("HKLM\\T").size(), 3u);
}

TEST(RegistryStore, OtherThreadsWaitWhileATransactionIsOpen) {
  auto s = OpenFreshStore("txnthreads");
  std::atomic<bool> written{false};
  std::thread t;
  {
    Store::Transaction txn(*s);
    ASSERT_EQ(s->SetValue("HKLM\\T", "first", kSz, "a"), kOk);
    t = std::thread([&] {
      EXPECT_EQ(s->SetValue("HKLM\\T", "second", kSz, "b"), kOk);
      written = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(written.load());
  }
  t.join();
  EXPECT_TRUE(written.load());
  EXPECT_EQ(s->Values("HKLM\\T").size(), 2u);
}

TEST(RegistryStore, ManyThreadsShareOneStore) {
  auto s = OpenFreshStore("threads");
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t) {
    ts.emplace_back([&, t] {
      std::string key = "HKLM\\Threads\\T" + std::to_string(t);
      for (uint32_t i = 0; i < 100; ++i) {
        if (i % 10 == 0) {
          Store::Transaction txn(*s);
          EXPECT_EQ(s->SetValue(key, "G" + std::to_string(i), kBinary, Payload(i)), kOk);
          EXPECT_EQ(s->SetValue(key, "H" + std::to_string(i), kBinary, Payload(i)), kOk);
        } else {
          EXPECT_EQ(s->SetValue(key, "V" + std::to_string(i), kBinary, Payload(i)), kOk);
        }
        s->SubKeys("HKLM\\Threads");
      }
    });
  }
  for (auto& t : ts) t.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(s->Values("HKLM\\Threads\\T" + std::to_string(t)).size(), 110u);
}

TEST(RegistryStore, TwoConnectionsSeeEachOthersWrites) {
  auto a = OpenFreshStore("twoconn");
  std::string err;
  auto b = Store::Open(a->Path(), &err);
  ASSERT_TRUE(b) << err;
  ASSERT_EQ(a->SetValue("HKLM\\S", "x", kSz, std::string("a\0", 2)), kOk);
  Value v;
  ASSERT_EQ(b->GetValue("hklm\\s", "X", &v), kOk);
  EXPECT_EQ(v.data, std::string("a\0", 2));
  ASSERT_EQ(b->SetValue("HKLM\\S", "X", kSz, std::string("b\0", 2)), kOk);
  ASSERT_EQ(a->GetValue("HKLM\\S", "x", &v), kOk);
  EXPECT_EQ(v.data, std::string("b\0", 2));
  ASSERT_EQ(b->DeleteTree("HKLM\\S"), kOk);
  EXPECT_FALSE(a->KeyExists("HKLM\\S"));
  EXPECT_EQ(a->GetValue("HKLM\\S", "x", &v), kNotFound);
}

TEST(RegistryStore, SeveralProcessesWriteAtOnce) {
  auto s = OpenFreshStore("procs");
  const std::string path = s->Path();
  std::vector<pid_t> kids;
  for (int k = 0; k < 3; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto mine = Store::Open(path);
      int bad = mine ? 0 : 1;
      for (uint32_t i = 0; mine && i < 150; ++i) {
        if (mine->SetValue("HKLM\\P\\Shared", std::to_string(k) + "-" + std::to_string(i), kBinary,
                           Payload(i)) != kOk)
          ++bad;
        if (i % 50 == 49 && mine->DeleteTree("HKLM\\P\\Scratch" + std::to_string(k)) != kNotFound) ++bad;
      }
      _exit(bad ? 1 : 0);
    }
    kids.push_back(pid);
  }
  for (pid_t p : kids) {
    int st = 0;
    ASSERT_EQ(waitpid(p, &st, 0), p);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  EXPECT_EQ(s->Values("HKLM\\P\\Shared").size(), 450u);
  EXPECT_EQ(IntegrityCheck(path), "ok");
}

// Processes that find no store yet all open it: the first switches the new file to WAL while the
// others are already knocking.
TEST(RegistryStore, ProcessesOpeningANewStoreTogetherAllSucceed) {
  for (int round = 0; round < 5; ++round) {
    const std::string path = trellis::test::MakeTempDir("fresh") + "/registry.db";
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> kids;
    for (int k = 0; k < 6; ++k) {
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(gate[1]);
        char c;
        (void)!read(gate[0], &c, 1);  // returns when the parent closes the gate: all start together
        auto s = Store::Open(path);
        _exit(s && s->SetValue("HKLM\\Fresh", "V" + std::to_string(k), kDword, "abcd") == kOk ? 0 : 1);
      }
      kids.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t p : kids) {
      int st = 0;
      ASSERT_EQ(waitpid(p, &st, 0), p);
      EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "round " << round;
    }
    auto s = Store::Open(path);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->Values("HKLM\\Fresh").size(), 6u);
  }
}

// A writer killed with SIGKILL at an arbitrary moment: every write that had returned is there, every
// transaction is all there or not at all, and the file is sound.
TEST(RegistryStore, KillNineLosesNoCommittedWrite) {
  const std::string path = trellis::test::MakeTempDir("kill") + "/registry.db";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    auto s = Store::Open(path);
    if (!s) _exit(1);
    for (uint32_t i = 0;; ++i) {
      if (i % 5 == 0) {
        // A group of three that must appear whole.
        Store::Transaction txn(*s);
        for (int g = 0; g < 3; ++g)
          s->SetValue("HKLM\\Kill\\Groups", std::to_string(i) + "." + std::to_string(g), kBinary, Payload(i));
      } else if (s->SetValue("HKLM\\Kill\\Single", std::to_string(i), kBinary, Payload(i)) != kOk) {
        _exit(2);
      }
      if (write(fds[1], &i, sizeof i) != sizeof i) _exit(3);
    }
  }
  close(fds[1]);
  uint32_t last = 0, got = 0, n = 0;
  while (got < 400 && read(fds[0], &n, sizeof n) == sizeof n) {
    last = n;
    ++got;
  }
  kill(pid, SIGKILL);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(st)) << "writer ended by itself, status " << st;
  // Writes reported before the kill landed in the pipe after those already read.
  while (read(fds[0], &n, sizeof n) == sizeof n) last = n;
  close(fds[0]);
  ASSERT_GE(got, 400u);

  EXPECT_EQ(IntegrityCheck(path), "ok");
  std::string err;
  auto s = Store::Open(path, &err);
  ASSERT_TRUE(s) << err;
  for (uint32_t i = 0; i <= last; ++i) {
    if (i % 5 == 0) {
      for (int g = 0; g < 3; ++g) {
        Value v;
        ASSERT_EQ(s->GetValue("HKLM\\Kill\\Groups", std::to_string(i) + "." + std::to_string(g), &v), kOk)
            << i << "." << g;
        ASSERT_EQ(v.data, Payload(i));
      }
    } else {
      Value v;
      ASSERT_EQ(s->GetValue("HKLM\\Kill\\Single", std::to_string(i), &v), kOk) << i;
      ASSERT_EQ(v.data, Payload(i));
    }
  }
  // The write in flight when the kill came is either whole or absent, and nothing beyond it exists.
  auto singles = s->Values("HKLM\\Kill\\Single");
  for (const auto& v : singles) {
    uint32_t i = static_cast<uint32_t>(std::stoul(v.name));
    EXPECT_LE(i, last + 1);
    EXPECT_EQ(v.data, Payload(i)) << "torn value " << i;
  }
  auto groups = s->Values("HKLM\\Kill\\Groups");
  EXPECT_EQ(groups.size() % 3, 0u) << "a transaction was cut";
  for (const auto& v : groups) {
    uint32_t i = static_cast<uint32_t>(std::stoul(v.name));
    EXPECT_LE(i, last + 1);
    EXPECT_EQ(v.data, Payload(i)) << "torn value " << v.name;
  }
}

TEST(RegistryStore, OpenCreatesAPrivateFileAndRefusesForeignOnes) {
  const std::string dir = trellis::test::MakeTempDir("open");
  std::string err;
  auto s = Store::Open(dir + "/deeper/still/registry.db", &err);
  ASSERT_TRUE(s) << err;
  struct stat st {};
  ASSERT_EQ(stat((dir + "/deeper/still/registry.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::ofstream(dir + "/junk.db") << "this is not a database, but it is long enough to look like one....";
  EXPECT_FALSE(Store::Open(dir + "/junk.db", &err));
  EXPECT_NE(err.find("junk.db"), std::string::npos);

  // A file of a later layout is refused rather than misread.
  {
    auto later = Store::Open(dir + "/later.db", &err);
    ASSERT_TRUE(later) << err;
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir + "/later.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_FALSE(Store::Open(dir + "/later.db", &err));
  EXPECT_FALSE(Store::Open("", &err));
}

TEST(RegistryStore, DefaultFollowsTheEnvironmentAndForkedChildrenOpenTheirOwn) {
  auto d = Store::Default();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Path(), std::string(getenv("TRELLIS_REGISTRY")));
  EXPECT_EQ(Store::Default(), d);
  ASSERT_EQ(d->SetValue("HKLM\\Default", "parent", kSz, "p"), kOk);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto mine = Store::Default();
    bool ok = mine && mine.get() != d.get() && mine->SetValue("HKLM\\Default", "child", kSz, "c") == kOk;
    _exit(ok ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_EQ(d->Values("HKLM\\Default").size(), 2u);
}

}  // namespace
