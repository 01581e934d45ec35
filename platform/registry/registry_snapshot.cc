// Snapshots of a root that others may read: its writers publish a copy after
// each change, its readers read the copy with no lock at all.
#include "platform/registry/registry_store.h"

namespace ps::platform::registry_internal {

int Store::OpenSnapshot() {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(ImmutableUri(real_path_ + kSnapshotSuffix).c_str(), &raw,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE |
                               SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  DbPtr fresh(raw);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_exec(fresh.get(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  // The open snapshot stays until the new one is ready to use.
  DbPtr old_db = std::move(db_);
  Statements old_stmts = std::move(stmts_);
  db_ = std::move(fresh);
  stmts_ = Statements();
  if (!PrepareTransactions() || !PrepareStatements()) {
    stmts_ = std::move(old_stmts);
    db_ = std::move(old_db);
    return SQLITE_CORRUPT;
  }
  old_stmts = Statements();
  writable_ = false;
  ClearCaches();
  return SQLITE_OK;
}

LONG Store::Publish() {
  const std::string snapshot = real_path_ + kSnapshotSuffix;
  const std::string fresh = snapshot + ".new";
  if (LONG made = CreateFresh(fresh, 0644); made != ERROR_SUCCESS) return made;
  int rc;
  {
    sqlite3* raw = nullptr;
    rc = sqlite3_open_v2(fresh.c_str(), &raw,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                         nullptr);
    DbPtr copy(raw);
    if (rc == SQLITE_OK) {
      rc = sqlite3_exec(copy.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr,
                        nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
      sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", db_.get(), "main");
      if (backup == nullptr) {
        rc = sqlite3_errcode(copy.get());
      } else {
        sqlite3_backup_step(backup, -1);
        rc = sqlite3_backup_finish(backup);
      }
    }
  }
  // The copy's header still names the write-ahead journal (bytes 18 and 19):
  // make it an ordinary file, read without any journal.
  if (rc == SQLITE_OK && !WriteAt(fresh, 18, std::string("\1\1", 2))) rc = SQLITE_IOERR;
  if (rc == SQLITE_OK && !ReplaceFile(fresh, snapshot)) rc = SQLITE_IOERR;
  return rc == SQLITE_OK ? ERROR_SUCCESS : Fail(rc);
}

}  // namespace ps::platform::registry_internal
