#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace platform::reg {
namespace {

// Another process may hold the write lock for a while (a console saving a large tree); waiting this
// long is better than failing a write the caller cannot repeat.
constexpr int kBusyTimeoutMs = 10000;
// Bumped when the table layout changes; a file of a newer layout is refused rather than misread.
constexpr int kSchemaVersion = 1;

// The root level has no parent row; top-level keys (the hives) point at this id.
constexpr sqlite3_int64 kRootId = 0;

long MapError(int rc) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kAccessDenied;
    default:
      return kStoreFailed;
  }
}

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// One prepared statement, finalized on every path out of the caller.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
  ~Stmt() { sqlite3_finalize(m_stmt); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return m_rc == SQLITE_OK; }
  int rc() const { return m_rc; }

  void Int(int i, sqlite3_int64 v) { Keep(sqlite3_bind_int64(m_stmt, i, v)); }
  // A null pointer would bind SQL NULL; an empty value must stay a zero-length blob.
  void Blob(int i, std::string_view v) {
    Keep(sqlite3_bind_blob64(m_stmt, i, v.empty() ? "" : v.data(), v.size(), SQLITE_TRANSIENT));
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() {
    if (m_rc != SQLITE_OK) return m_rc;
    int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) m_rc = rc;
    return rc;
  }

  std::string ColBlob(int c) {
    const void* p = sqlite3_column_blob(m_stmt, c);
    int n = sqlite3_column_bytes(m_stmt, c);
    return p && n > 0 ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
  }
  sqlite3_int64 ColInt(int c) { return sqlite3_column_int64(m_stmt, c); }

 private:
  void Keep(int rc) {
    if (m_rc == SQLITE_OK && rc != SQLITE_OK) m_rc = rc;
  }
  sqlite3_stmt* m_stmt = nullptr;
  int m_rc;
};

// Makes one public write atomic: its own committed transaction outside a Store::Transaction, a
// savepoint inside one, so a failed step never leaves half of the write behind.
class WriteScope {
 public:
  explicit WriteScope(sqlite3* db) : m_db(db), m_outer(sqlite3_get_autocommit(db) != 0) {
    m_rc = Exec(m_db, m_outer ? "BEGIN IMMEDIATE" : "SAVEPOINT reg_write");
  }
  ~WriteScope() {
    if (m_rc == SQLITE_OK && !m_done) Finish(kStoreFailed);
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

  long status() const { return m_rc == SQLITE_OK ? kOk : MapError(m_rc); }

  // Commits when st is kOk (returning the commit's result), else undoes the write; returns st.
  long Finish(long st) {
    if (m_rc != SQLITE_OK) return status();
    m_done = true;
    if (st == kOk) {
      int rc = Exec(m_db, m_outer ? "COMMIT" : "RELEASE reg_write");
      if (rc == SQLITE_OK) return kOk;
      st = MapError(rc);
    }
    if (m_outer) {
      if (!sqlite3_get_autocommit(m_db)) Exec(m_db, "ROLLBACK");
    } else if (!sqlite3_get_autocommit(m_db)) {
      Exec(m_db, "ROLLBACK TO reg_write");
      Exec(m_db, "RELEASE reg_write");
    }
    return st;
  }

 private:
  sqlite3* m_db;
  bool m_outer;
  bool m_done = false;
  int m_rc;
};

// The levels of a path the store accepts, or false for a malformed one.
bool ParsePath(std::string_view path, std::vector<std::string>* levels) {
  *levels = SplitPath(path);
  if (levels->empty() || levels->size() > kMaxKeyDepth) return false;
  for (const auto& l : *levels)
    if (!IsValidKeyName(l)) return false;
  return true;
}

}  // namespace

bool IsValidKeyName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxKeyNameLength &&
         name.find_first_of(std::string_view("\\\0", 2)) == std::string_view::npos;
}

bool IsValidValueName(std::string_view name) {
  return name.size() <= kMaxValueNameLength && name.find('\0') == std::string_view::npos;
}

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) out.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string FoldName(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// Statements shared by the public operations; every one runs with the store's mutex held.
struct StoreImpl {
  // Finds the child key of parent named name (any case): kOk with its id and stored spelling,
  // kNotFound, or a store error.
  static long FindChild(sqlite3* db, sqlite3_int64 parent, std::string_view name, sqlite3_int64* id,
                        std::string* stored) {
    Stmt q(db, "SELECT id, name FROM keys WHERE parent = ?1 AND fold = ?2");
    q.Int(1, parent);
    q.Blob(2, FoldName(name));
    int rc = q.Step();
    if (rc == SQLITE_DONE) return kNotFound;
    if (rc != SQLITE_ROW) return MapError(rc);
    *id = q.ColInt(0);
    if (stored) *stored = q.ColBlob(1);
    return kOk;
  }

  // Resolves a path without creating anything.
  // With allow_top, a path without levels names the top of the store, whose sub-keys are the hives.
  static long Find(Store& s, std::string_view path, sqlite3_int64* id,
                   std::string* stored_path = nullptr, bool allow_top = false) {
    std::vector<std::string> levels;
    if (!ParsePath(path, &levels) && !(allow_top && levels.empty())) return kInvalidParameter;
    sqlite3_int64 cur = kRootId;
    std::string stored;
    for (const auto& l : levels) {
      long st = FindChild(s.m_db, cur, l, &cur, stored_path ? &stored : nullptr);
      if (st != kOk) return st;
      if (stored_path) {
        if (!stored_path->empty()) stored_path->push_back('\\');
        stored_path->append(stored);
      }
    }
    *id = cur;
    return kOk;
  }

  // Resolves a path, creating missing levels; must run inside a WriteScope.
  static long Create(Store& s, std::string_view path, sqlite3_int64* id) {
    std::vector<std::string> levels;
    if (!ParsePath(path, &levels)) return kInvalidParameter;
    sqlite3_int64 cur = kRootId;
    for (const auto& l : levels) {
      long st = FindChild(s.m_db, cur, l, &cur, nullptr);
      if (st == kNotFound) {
        Stmt ins(s.m_db, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
        ins.Int(1, cur);
        ins.Blob(2, l);
        ins.Blob(3, FoldName(l));
        int rc = ins.Step();
        if (rc != SQLITE_DONE) return MapError(rc);
        cur = sqlite3_last_insert_rowid(s.m_db);
      } else if (st != kOk) {
        return st;
      }
    }
    *id = cur;
    return kOk;
  }

  static long HasSubKeys(sqlite3* db, sqlite3_int64 id, bool* has) {
    Stmt q(db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    q.Int(1, id);
    int rc = q.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return MapError(rc);
    *has = rc == SQLITE_ROW;
    return kOk;
  }

  static long Run(Stmt& st) {
    if (!st.ok()) return MapError(st.rc());
    int rc = st.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? kOk : MapError(rc);
  }

  static long ReadValue(Stmt& q, Value* out) {
    int rc = q.Step();
    if (rc == SQLITE_DONE) return kNotFound;
    if (rc != SQLITE_ROW) return MapError(rc);
    if (out) {
      out->name = q.ColBlob(0);
      // The file is not trusted to hold a valid tag; out-of-range numbers keep their low 32 bits.
      out->type = static_cast<uint32_t>(q.ColInt(1));
      out->data = q.ColBlob(2);
    }
    return kOk;
  }

  static long InitSchema(sqlite3* db, std::string* why, int* failed_rc) {
    int rc = Exec(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
      *why = sqlite3_errmsg(db);
      *failed_rc = rc;
      return MapError(rc);
    }
    long st = kOk;
    {
      Stmt v(db, "PRAGMA user_version");
      rc = v.Step();
      int version = rc == SQLITE_ROW ? static_cast<int>(v.ColInt(0)) : -1;
      if (rc != SQLITE_ROW) {
        st = MapError(rc);
        *why = sqlite3_errmsg(db);
        *failed_rc = rc;
      } else if (version == 0) {
        // AUTOINCREMENT keeps ids of deleted keys from coming back, so a path resolved just before
        // another process deleted it can never land in a newly created key.
        rc = Exec(db,
                  "CREATE TABLE IF NOT EXISTS keys("
                  " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                  " parent INTEGER NOT NULL,"
                  " name BLOB NOT NULL,"
                  " fold BLOB NOT NULL,"
                  " UNIQUE(parent, fold));"
                  "CREATE TABLE IF NOT EXISTS vals("
                  " key INTEGER NOT NULL,"
                  " name BLOB NOT NULL,"
                  " fold BLOB NOT NULL,"
                  " type INTEGER NOT NULL,"
                  " data BLOB NOT NULL,"
                  " PRIMARY KEY(key, fold)) WITHOUT ROWID;"
                  "PRAGMA user_version = 1;");
        if (rc != SQLITE_OK) {
          st = MapError(rc);
          *why = sqlite3_errmsg(db);
          *failed_rc = rc;
        }
      } else if (version != kSchemaVersion) {
        st = kStoreFailed;
        *why = "unsupported store layout " + std::to_string(version);
        *failed_rc = SQLITE_ERROR;
      }
    }
    if (st == kOk) {
      rc = Exec(db, "COMMIT");
      if (rc != SQLITE_OK) {
        st = MapError(rc);
        *why = sqlite3_errmsg(db);
        *failed_rc = rc;
      }
    }
    if (st != kOk && !sqlite3_get_autocommit(db)) Exec(db, "ROLLBACK");
    return st;
  }
};

// ---- opening ----

std::string Store::DefaultPath() {
  const char* env = std::getenv("TRELLIS_REGISTRY");
  return env && *env ? env : "/var/lib/trellis/registry.db";
}

std::shared_ptr<Store> Store::Default() {
  static std::mutex m;
  // Never destroyed: threads may still use the store while the process exits.
  static auto* cached = new std::shared_ptr<Store>();
  static auto* inherited = new std::vector<std::shared_ptr<Store>>();
  static pid_t owner = 0;
  std::lock_guard<std::mutex> lock(m);
  std::string path = DefaultPath();
  pid_t pid = getpid();
  if (*cached && owner != pid) {
    // A forked child must not use (or close) the connection its parent opened: SQLite's locks
    // belong to the parent. Keep it untouched and open our own.
    inherited->push_back(std::move(*cached));
    cached->reset();
  }
  if (*cached && (*cached)->Path() == path) return *cached;
  *cached = Open(path);
  owner = pid;
  return *cached;
}

std::shared_ptr<Store> Store::Open(const std::string& file, std::string* error) {
  auto fail = [&](const std::string& why) -> std::shared_ptr<Store> {
    if (error) *error = file + ": " + why;
    return nullptr;
  };
  if (file.empty()) return fail("empty path");
  std::error_code ec;
  auto parent = std::filesystem::path(file).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  // Created here rather than by SQLite so that it starts out private; SQLite gives the -wal and -shm
  // files the mode of the database file.
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return fail(std::strerror(errno));
  ::close(fd);

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return fail(why);
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // The file may have been edited by hand or damaged: no schema tricks, no writable schema.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);

  // Switching a new file to WAL takes an exclusive lock that SQLite does not always wait for, so
  // processes opening a fresh store together retry here within the same time budget.
  std::string why;
  for (int waited_ms = 0;; waited_ms += 20) {
    long st = kOk;
    {
      // WAL lets readers (the console, trellis-reg) run beside the engine's writes. A committed
      // transaction is in the WAL before COMMIT returns, so killing the process loses none of it;
      // synchronous=NORMAL only gives up durability against power loss.
      Stmt wal(db, "PRAGMA journal_mode = WAL");
      rc = wal.Step();
      if (rc != SQLITE_ROW) {
        st = MapError(rc);
        why = sqlite3_errmsg(db);
      }
    }
    if (st == kOk && (rc = Exec(db, "PRAGMA synchronous = NORMAL")) != SQLITE_OK) {
      st = MapError(rc);
      why = sqlite3_errmsg(db);
    }
    if (st == kOk) st = StoreImpl::InitSchema(db, &why, &rc);
    if (st == kOk) break;
    int code = rc & 0xff;
    if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || waited_ms >= kBusyTimeoutMs) {
      sqlite3_close_v2(db);
      return fail(why);
    }
    usleep(20000);
  }
  return std::shared_ptr<Store>(new Store(file, db));
}

Store::Store(std::string path, sqlite3* db) : m_path(std::move(path)), m_db(db) {}

Store::~Store() { sqlite3_close_v2(m_db); }

// ---- keys ----

long Store::CreateKey(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> levels;
  if (!ParsePath(path, &levels)) return kInvalidParameter;
  WriteScope w(m_db);
  if (w.status() != kOk) return w.status();
  sqlite3_int64 id = 0;
  return w.Finish(StoreImpl::Create(*this, path, &id));
}

bool Store::KeyExists(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  sqlite3_int64 id = 0;
  return StoreImpl::Find(*this, path, &id) == kOk;
}

std::optional<std::string> Store::StoredPath(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  sqlite3_int64 id = 0;
  std::string stored;
  if (StoreImpl::Find(*this, path, &id, &stored) != kOk) return std::nullopt;
  return stored;
}

long Store::DeleteKey(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> levels;
  if (!ParsePath(path, &levels)) return kInvalidParameter;
  WriteScope w(m_db);
  if (w.status() != kOk) return w.status();
  sqlite3_int64 id = 0;
  long st = StoreImpl::Find(*this, path, &id);
  if (st != kOk) return w.Finish(st);
  bool has = false;
  if ((st = StoreImpl::HasSubKeys(m_db, id, &has)) != kOk) return w.Finish(st);
  if (has) return w.Finish(kAccessDenied);
  Stmt dv(m_db, "DELETE FROM vals WHERE key = ?1");
  dv.Int(1, id);
  if ((st = StoreImpl::Run(dv)) != kOk) return w.Finish(st);
  Stmt dk(m_db, "DELETE FROM keys WHERE id = ?1");
  dk.Int(1, id);
  return w.Finish(StoreImpl::Run(dk));
}

long Store::DeleteTree(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> levels;
  if (!ParsePath(path, &levels)) return kInvalidParameter;
  WriteScope w(m_db);
  if (w.status() != kOk) return w.status();
  sqlite3_int64 id = 0;
  long st = StoreImpl::Find(*this, path, &id);
  if (st != kOk) return w.Finish(st);
  // UNION (not UNION ALL) ends the walk even if a damaged file links keys in a cycle.
  static constexpr const char* kTree =
      "WITH RECURSIVE t(id) AS (SELECT ?1 UNION SELECT k.id FROM keys k JOIN t ON k.parent = t.id) ";
  Stmt dv(m_db, (std::string(kTree) + "DELETE FROM vals WHERE key IN t").c_str());
  dv.Int(1, id);
  if ((st = StoreImpl::Run(dv)) != kOk) return w.Finish(st);
  Stmt dk(m_db, (std::string(kTree) + "DELETE FROM keys WHERE id IN t").c_str());
  dk.Int(1, id);
  return w.Finish(StoreImpl::Run(dk));
}

// ---- values ----

long Store::SetValue(std::string_view key, std::string_view name, uint32_t type,
                     std::string_view data) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> levels;
  if (!ParsePath(key, &levels) || !IsValidValueName(name)) return kInvalidParameter;
  WriteScope w(m_db);
  if (w.status() != kOk) return w.status();
  sqlite3_int64 id = 0;
  long st = StoreImpl::Create(*this, key, &id);
  if (st != kOk) return w.Finish(st);
  // A rewritten value keeps the spelling it was created with, as a key does.
  Stmt up(m_db,
          "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
          "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
  up.Int(1, id);
  up.Blob(2, name);
  up.Blob(3, FoldName(name));
  up.Int(4, type);
  up.Blob(5, data);
  return w.Finish(StoreImpl::Run(up));
}

long Store::GetValue(std::string_view key, std::string_view name, Value* out) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (!IsValidValueName(name)) return kInvalidParameter;
  sqlite3_int64 id = 0;
  long st = StoreImpl::Find(*this, key, &id);
  if (st != kOk) return st;
  Stmt q(m_db, "SELECT name, type, data FROM vals WHERE key = ?1 AND fold = ?2");
  q.Int(1, id);
  q.Blob(2, FoldName(name));
  return StoreImpl::ReadValue(q, out);
}

long Store::DeleteValue(std::string_view key, std::string_view name) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> levels;
  if (!ParsePath(key, &levels) || !IsValidValueName(name)) return kInvalidParameter;
  WriteScope w(m_db);
  if (w.status() != kOk) return w.status();
  sqlite3_int64 id = 0;
  long st = StoreImpl::Find(*this, key, &id);
  if (st != kOk) return w.Finish(st);
  Stmt d(m_db, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
  d.Int(1, id);
  d.Blob(2, FoldName(name));
  if ((st = StoreImpl::Run(d)) != kOk) return w.Finish(st);
  return w.Finish(sqlite3_changes(m_db) > 0 ? kOk : kNotFound);
}

// ---- enumeration ----

std::vector<std::string> Store::SubKeys(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> out;
  sqlite3_int64 id = 0;
  if (StoreImpl::Find(*this, path, &id, nullptr, true) != kOk) return out;
  Stmt q(m_db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold");
  q.Int(1, id);
  while (q.Step() == SQLITE_ROW) out.push_back(q.ColBlob(0));
  return out;
}

std::vector<Value> Store::Values(std::string_view path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<Value> out;
  sqlite3_int64 id = 0;
  if (StoreImpl::Find(*this, path, &id) != kOk) return out;
  Stmt q(m_db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY fold");
  q.Int(1, id);
  Value v;
  while (StoreImpl::ReadValue(q, &v) == kOk) out.push_back(std::move(v));
  return out;
}

long Store::EnumSubKey(std::string_view path, uint32_t index, std::string* name) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  sqlite3_int64 id = 0;
  long st = StoreImpl::Find(*this, path, &id, nullptr, true);
  if (st != kOk) return st;
  Stmt q(m_db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
  q.Int(1, id);
  q.Int(2, index);
  int rc = q.Step();
  if (rc == SQLITE_DONE) return kNoMoreItems;
  if (rc != SQLITE_ROW) return MapError(rc);
  if (name) *name = q.ColBlob(0);
  return kOk;
}

long Store::EnumValue(std::string_view path, uint32_t index, Value* out) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  sqlite3_int64 id = 0;
  long st = StoreImpl::Find(*this, path, &id);
  if (st != kOk) return st;
  Stmt q(m_db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY fold LIMIT 1 OFFSET ?2");
  q.Int(1, id);
  q.Int(2, index);
  st = StoreImpl::ReadValue(q, out);
  return st == kNotFound ? kNoMoreItems : st;
}

// ---- transactions ----

Store::Transaction::Transaction(Store& s) : m_store(s) {
  m_store.m_mutex.lock();
  // If the write lock cannot be had, the writes inside still happen, each as its own commit.
  if (m_store.txn_depth_++ == 0 && sqlite3_get_autocommit(m_store.m_db))
    Exec(m_store.m_db, "BEGIN IMMEDIATE");
}

Store::Transaction::~Transaction() {
  // A failed statement inside may already have ended the transaction (autocommit again).
  if (--m_store.txn_depth_ == 0 && !sqlite3_get_autocommit(m_store.m_db)) {
    if (Exec(m_store.m_db, "COMMIT") != SQLITE_OK) Exec(m_store.m_db, "ROLLBACK");
  }
  m_store.m_mutex.unlock();
}

}  // namespace platform::reg
