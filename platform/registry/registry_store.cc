#include "platform/registry/registry_store.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace ps::platform::registry_internal {

constexpr int kBusyTimeoutMs = 30000;
// Free space in the database worth giving back to the file system.
constexpr std::int64_t kReclaimBytes = 1 << 20;

LONG FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return ERROR_REGISTRY_CORRUPT;
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG:
      return ERROR_OUTOFMEMORY;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// ---------------------------------------------------------------------------
// Opening.

LONG Store::Open() {
  bool may_write = false;
  std::string problem;
  if (const LONG rc = PrepareDatabaseFile(path_, private_, &real_path_, &may_write, &problem);
      rc != ERROR_SUCCESS) {
    if (!problem.empty() && !reported_) {
      reported_ = true;
      std::fprintf(stderr, "pingsweep: registry %s; it is not used\n", problem.c_str());
    }
    return rc;
  }
  snapshot_ = false;
  if (!may_write && !private_ && TrustedFile(real_path_ + kSnapshotSuffix) &&
      counter_.Open(real_path_ + "-gen", false, private_) == ERROR_SUCCESS) {
    seen_ = counter_.Load();
    if (OpenSnapshot() == SQLITE_OK) {
      snapshot_ = true;
      cacheable_ = true;
      return ERROR_SUCCESS;
    }
  }
  int rc = Configure(may_write ? Mode::kWrite : Mode::kRead);
  // A folder that cannot hold the journal files (read-only) still lets the
  // database be read; and when there is no journal to apply, nobody can be
  // changing it, so it is read as it is, without the shared lock file. A
  // read-only mount fails the open; a folder without write permission lets
  // it through and refuses the journal's creation at the first read.
  const int primary = rc & 0xFF;
  if (may_write && (primary == SQLITE_CANTOPEN || primary == SQLITE_READONLY)) {
    rc = Configure(Mode::kRead);
  }
  const bool no_journal_files = (rc & 0xFF) == SQLITE_CANTOPEN || rc == SQLITE_READONLY_DIRECTORY ||
                                rc == SQLITE_READONLY_CANTINIT;
  if (no_journal_files && !HasContent(real_path_ + "-wal")) rc = Configure(Mode::kImmutable);
  if (rc == SQLITE_OK) return ERROR_SUCCESS;
  const LONG code = Fail(rc);
  // Half set up is not open: the next call tries again from the start.
  stmts_ = Statements();
  db_.reset();
  writable_ = false;
  return code;
}

// `path` as an SQLite URI that opens it read-only with no locking at all.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (const unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    } else {
      uri += static_cast<char>(c);
    }
  }
  return uri + "?immutable=1";
}

int Store::Configure(Mode mode) {
  ClearCaches();
  stmts_ = Statements();
  db_.reset();
  writable_ = false;

  sqlite3* raw = nullptr;
  const bool write = mode == Mode::kWrite;
  if (write && !private_) {
    ProtectJournal(real_path_);
    if (!publish_lock_.Open(real_path_ + kSnapshotSuffix + ".lock")) return SQLITE_CANTOPEN;
  }
  const int flags = (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX |
                    SQLITE_OPEN_PRIVATECACHE | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW;
  const std::string name = mode == Mode::kImmutable ? ImmutableUri(real_path_) : real_path_;
  int rc = sqlite3_open_v2(name.c_str(), &raw, flags, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) return rc;
  sqlite3_extended_result_codes(db_.get(), 1);
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  if (write && (rc = ConfigureWriter()) != SQLITE_OK) return rc;
  // Opening reads nothing: read the schema now, so that a damaged or
  // unreadable file shows here rather than as a missing key.
  if ((rc = sqlite3_exec(db_.get(), "PRAGMA synchronous=NORMAL; SELECT count(*) FROM sqlite_master",
                         nullptr, nullptr, nullptr)) != SQLITE_OK) {
    return rc;
  }
  if (write && !private_) ProtectJournal(real_path_);
  // A reader without the counter file still works, it just caches nothing; so
  // does a writer that has no room for it, refusing changes as a full disk.
  refusal_ = ERROR_ACCESS_DENIED;
  if (const LONG counted = counter_.Open(real_path_ + "-gen", writable_, private_);
      counted != ERROR_SUCCESS && writable_) {
    if (counted != ERROR_DISK_FULL) return SQLITE_IOERR;
    writable_ = false;
    refusal_ = ERROR_DISK_FULL;
  }

  if (!PrepareTransactions()) return sqlite3_errcode(db_.get());
  if (writable_ && InitSchema() != ERROR_SUCCESS) {
    const int rc = sqlite3_errcode(db_.get());
    return rc != SQLITE_OK ? rc : SQLITE_IOERR;
  }
  seen_ = 1;
  cacheable_ = false;
  return PrepareStatements() ? SQLITE_OK : SQLITE_CORRUPT;
}

int Store::ConfigureWriter() {
  if (sqlite3_db_readonly(db_.get(), "main") != 0) return SQLITE_READONLY;
  // Keep -wal and -shm after the last connection closes, so that processes
  // that may only read can still open the database.
  int persist = 1;
  sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  // Space freed by deletions goes back to the file system (ReclaimSpace): a
  // new database is made so, an old one switches on its first reclaim. (Set
  // only on a new one: on an old one the pragma writes, and so fails on a
  // full disk.) The journal shrinks back after each checkpoint.
  int rc;
  if ((rc = MakeNewDatabaseReclaimable()) != SQLITE_OK || (rc = SwitchToWal()) != SQLITE_OK ||
      (rc = sqlite3_exec(db_.get(), "PRAGMA journal_size_limit=4194304", nullptr, nullptr,
                         nullptr)) != SQLITE_OK) {
    return rc;
  }
  writable_ = true;
  return SQLITE_OK;
}

bool Store::PrepareTransactions() {
  stmts_.begin.reset(Prepare("BEGIN IMMEDIATE"));
  stmts_.commit.reset(Prepare("COMMIT"));
  stmts_.rollback.reset(Prepare("ROLLBACK"));
  stmts_.free_pages.reset(Prepare("PRAGMA freelist_count"));
  stmts_.savepoint.reset(Prepare("SAVEPOINT change"));
  stmts_.release.reset(Prepare("RELEASE change"));
  stmts_.rollback_to.reset(Prepare("ROLLBACK TO change"));
  return stmts_.begin && stmts_.commit && stmts_.rollback && stmts_.free_pages &&
         stmts_.savepoint && stmts_.release && stmts_.rollback_to;
}

bool Store::PrepareStatements() {
  stmts_.key_state.reset(Prepare("SELECT volatile FROM keys WHERE id = ?1"));
  stmts_.find_child.reset(Prepare("SELECT id, volatile FROM keys WHERE parent = ?1 AND fold = ?2"));
  stmts_.insert_key.reset(
      Prepare("INSERT INTO keys(parent, name, fold, class, volatile) VALUES(?1, ?2, ?3, ?4, ?5)"));
  stmts_.has_child.reset(Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1"));
  stmts_.delete_key.reset(Prepare("DELETE FROM keys WHERE id = ?1"));
  stmts_.delete_key_values.reset(Prepare("DELETE FROM vals WHERE key = ?1"));
  stmts_.get_value.reset(Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2"));
  stmts_.set_value.reset(
      Prepare("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
              "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data"));
  stmts_.delete_value.reset(Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2"));
  stmts_.list_values.reset(Prepare("SELECT name, type FROM vals WHERE key = ?1 ORDER BY id"));
  stmts_.list_keys.reset(Prepare("SELECT name FROM keys WHERE parent = ?1"));
  stmts_.all_values.reset(
      Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id"));
  return stmts_.key_state && stmts_.find_child && stmts_.insert_key && stmts_.has_child &&
         stmts_.delete_key && stmts_.delete_key_values && stmts_.get_value && stmts_.set_value &&
         stmts_.delete_value && stmts_.list_values && stmts_.list_keys &&
         stmts_.all_values;
}

// Switching a new database to WAL needs it to itself, and SQLite answers
// "busy" at once rather than wait for another process that is setting it up at
// the same moment; so wait here, for that and nothing else.
int Store::SwitchToWal() {
  StmtPtr wal(Prepare("PRAGMA journal_mode=WAL"));
  if (!wal) return sqlite3_errcode(db_.get());
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    {
      Query q(wal.get());
      const int rc = q.Step();
      if (rc == SQLITE_ROW) return q.Bytes(0) == "wal" ? SQLITE_OK : SQLITE_CANTOPEN;
      if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return rc;
    }
    if (std::chrono::steady_clock::now() > give_up) return SQLITE_BUSY;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

LONG Store::InitSchema() {
  return Change([&]() -> LONG {
    static constexpr const char* kSchema[] = {
        "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT NOT NULL)",
        // AUTOINCREMENT: an id is never given again, so a handle to a deleted
        // key cannot end up on a new one.
        "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " parent INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
        " class BLOB NOT NULL DEFAULT x'', volatile INTEGER NOT NULL DEFAULT 0)",
        "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, fold)",
        "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
        " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL)",
        "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key, fold)",
        "CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key, id)",
        "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, x'', x'')",
        "INSERT OR IGNORE INTO meta VALUES('schema', '1')",
    };
    for (const char* sql : kSchema) {
      if (LONG rc = Exec(sql); rc != ERROR_SUCCESS) return rc;
    }
    return RemoveVolatileKeysAfterRestart();
  });
}

// Volatile keys live until the machine restarts: the boot id stored with them
// tells whether it has.
LONG Store::RemoveVolatileKeysAfterRestart() {
  const std::string boot = BootId();
  StmtPtr get_boot(Prepare("SELECT value FROM meta WHERE name = 'boot'"));
  if (!get_boot) return ERROR_REGISTRY_IO_FAILED;
  std::string stored;
  {
    Query q(get_boot.get());
    if (q.Step() == SQLITE_ROW) stored = q.Bytes(0);
  }
  if (stored == boot) return ERROR_SUCCESS;
  for (const char* sql : {"DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE volatile)",
                          "DELETE FROM keys WHERE volatile"}) {
    if (LONG rc = Exec(sql); rc != ERROR_SUCCESS) return rc;
  }
  StmtPtr set_boot(Prepare("INSERT OR REPLACE INTO meta VALUES('boot', ?1)"));
  if (!set_boot) return ERROR_REGISTRY_IO_FAILED;
  Query q(set_boot.get());
  q.Bind(1, std::string_view(boot));
  return Fail(q.Step());
}

int Store::MakeNewDatabaseReclaimable() {
  StmtPtr pages(Prepare("PRAGMA page_count"));
  if (!pages) return sqlite3_errcode(db_.get());
  {
    Query q(pages.get());
    const int rc = q.Step();
    if (rc != SQLITE_ROW) return rc;
    if (q.Int(0) != 0) return SQLITE_OK;
  }
  return sqlite3_exec(db_.get(), "PRAGMA auto_vacuum=INCREMENTAL", nullptr, nullptr, nullptr);
}

void Store::ReclaimSpace() {
  std::int64_t free_pages = 0;
  {
    Query q(stmts_.free_pages.get());
    if (q.Step() != SQLITE_ROW) return;
    free_pages = q.Int(0);
  }
  const std::int64_t page_size = 4096;  // at least; the threshold need not be exact
  if (free_pages * page_size < kReclaimBytes) return;
  StmtPtr mode(Prepare("PRAGMA auto_vacuum"));
  bool incremental = false;
  if (mode) {
    Query q(mode.get());
    incremental = q.Step() == SQLITE_ROW && q.Int(0) == 2;
  }
  // A database made before pages were given back needs one full rebuild to
  // switch; later ones give back their free pages at little cost.
  Exec(incremental ? "PRAGMA incremental_vacuum" : "PRAGMA auto_vacuum=INCREMENTAL; VACUUM");
  // The journal holds the freed pages too: empty it, unless a reader is in
  // the middle of it (then the next reclaim will).
  sqlite3_busy_timeout(db_.get(), 0);
  // (Where others read, an emptied journal would get the database's mode the
  // next time it is opened: restart it instead; it is cut back to its limit.)
  sqlite3_wal_checkpoint_v2(db_.get(), "main",
                            private_ ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_RESTART,
                            nullptr, nullptr);
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
}

LONG Store::Exec(const char* sql) {
  return Fail(sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr));
}

LONG Store::Fail(int rc) {
  const LONG code = FromSqlite(rc);
  if ((code == ERROR_REGISTRY_CORRUPT || code == ERROR_REGISTRY_IO_FAILED) && !reported_) {
    reported_ = true;
    std::fprintf(stderr, "pingsweep: registry file %s %s: %s\n", path_.c_str(),
                 code == ERROR_REGISTRY_CORRUPT ? "is damaged" : "cannot be used",
                 sqlite3_errstr(rc));
  }
  return code;
}

sqlite3_stmt* Store::Prepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return stmt;
}

void Store::ClearCaches() {
  paths_.Clear();
  values_.Clear();
  value_lists_.Clear();
  key_lists_.Clear();
}

}  // namespace ps::platform::registry_internal
