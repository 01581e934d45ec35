// One root's database: keys, values and listings in SQLite, with per-process
// caches that the cross-process change counter keeps honest.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/registry/registry_files.h"
#include "platform/registry/registry_service.h"

namespace ps::platform::registry_internal {

using KeyId = std::int64_t;
// The root key of every database.
inline constexpr KeyId kRootId = 1;

// A lookup's result. `code` is ERROR_SUCCESS, ERROR_FILE_NOT_FOUND or
// ERROR_KEY_DELETED for an answer the database gave, anything else for a
// failure to ask it.
struct PathResult {
  LONG code = ERROR_SUCCESS;
  KeyId id = 0;
};
struct ValueRecord {
  LONG code = ERROR_SUCCESS;
  DWORD type = REG_NONE;
  std::string data;
};
struct ValueListing {
  LONG code = ERROR_SUCCESS;
  std::vector<std::pair<std::string, DWORD>> entries;  // name, type; in creation order
};
struct KeyListing {
  LONG code = ERROR_SUCCESS;
  std::vector<std::string> names;  // in PlatformOrderLess order
};

// Remembers lookups of one kind while caching is allowed. Entries are dropped
// wholesale when there are too many of them or their data grows too large;
// results that failed, or whose data is large, are never kept.
template <typename Key, typename Result>
class LookupCache {
 public:
  // With `cacheable`, the result kept for make_key() if any, otherwise
  // query()'s result, kept when it may be. Without, query()'s result. The
  // reference stays valid until the next call or Clear().
  template <typename MakeKey, typename Query>
  const Result& Get(bool cacheable, MakeKey&& make_key, Query&& query) {
    Key key{};
    if (cacheable) {
      key = make_key();
      if (auto it = map_.find(key); it != map_.end()) return it->second;
    }
    Result result = query();
    const std::size_t bytes = DataBytes(result);
    const bool answered = result.code == ERROR_SUCCESS || result.code == ERROR_FILE_NOT_FOUND ||
                          result.code == ERROR_KEY_DELETED;
    if (!cacheable || !answered || bytes > kMaxEntryBytes) {
      uncached_ = std::move(result);
      return uncached_;
    }
    if (map_.size() >= kMaxEntries || bytes_ + bytes > kMaxBytes) Clear();
    bytes_ += bytes;
    return map_.emplace(std::move(key), std::move(result)).first->second;
  }

  void Clear() {
    // clear() walks every bucket, so skip it when there is nothing to drop.
    if (!map_.empty()) map_.clear();
    bytes_ = 0;
  }

 private:
  static constexpr std::size_t kMaxEntries = 1 << 16;
  // Registry values may be large: only small ones are kept, and only so much.
  static constexpr std::size_t kMaxEntryBytes = 64 << 10;
  static constexpr std::size_t kMaxBytes = 32 << 20;

  static std::size_t DataBytes(const ValueRecord& record) { return record.data.size(); }
  template <typename Other>
  static std::size_t DataBytes(const Other&) {
    return 0;
  }

  std::unordered_map<Key, Result> map_;
  std::size_t bytes_ = 0;  // value data held in map_
  Result uncached_;
};

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// One use of a reused prepared statement: binds, steps, and resets it when the
// use ends so that it never keeps a read transaction open.
class Query {
 public:
  explicit Query(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  // The bytes must stay alive until the query ends.
  Query& Bind(int index, std::string_view bytes) {
    sqlite3_bind_blob(stmt_, index, bytes.empty() ? "" : bytes.data(),
                      static_cast<int>(bytes.size()), SQLITE_STATIC);
    return *this;
  }
  int Step() { return sqlite3_step(stmt_); }
  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  // Valid until the next Step() or the end of the query.
  std::string_view View(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(size))
                : std::string_view();
  }
  std::string Bytes(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                : std::string();
  }

 private:
  sqlite3_stmt* stmt_;
};

// The registry error an SQLite result code stands for.
LONG FromSqlite(int rc);

// `path` as an SQLite URI that opens it read-only with no locking at all.
std::string ImmutableUri(const std::string& path);

// Beside a database others may read: the snapshot its readers read.
inline constexpr char kSnapshotSuffix[] = "-snapshot";

// Not thread-safe: the registry calls it under its own lock.
class Store {
 public:
  Store(std::string path, bool private_to_owner)
      : path_(std::move(path)), private_(private_to_owner) {}

  // Opens the database when it is not open yet (a failed open is tried again
  // on the next call). ERROR_SUCCESS when it is open; ERROR_FILE_NOT_FOUND
  // when it can be neither found nor created, and the root then reads as empty
  // and refuses changes; any other code (a damaged file, ERROR_REGISTRY_CORRUPT
  // or ERROR_REGISTRY_IO_FAILED; a full disk) is the answer to every call.
  LONG Ready() { return db_ != nullptr ? ERROR_SUCCESS : Open(); }
  bool writable() const { return writable_; }
  // Why a store that is not writable refuses changes: ERROR_ACCESS_DENIED, or
  // ERROR_DISK_FULL when there was no room for its change counter.
  LONG refusal() const { return refusal_; }

  // Drops the caches when another change happened since they were filled.
  // Caches nothing while a change is under way, and caches again once the
  // writer of an unfinished change is known to be gone.
  void Sync() {
    const std::uint64_t now = counter_.Load();
    if (now == seen_ && cacheable_) return;
    if (snapshot_) {
      // A file nobody changes: good until a newer one is published.
      if (OpenSnapshot() == SQLITE_OK) seen_ = now;
      return;
    }
    if (now != seen_) {
      ClearCaches();
      seen_ = now;
    }
    // A batch's own uncommitted changes are never cached: they may yet be
    // thrown away, and the counter stays odd until the batch ends.
    cacheable_ = !batch_ && (!(now & 1) || counter_.Abandoned(now));
  }

  // Lookups. ERROR_KEY_DELETED when the key (or `parent`) no longer exists.
  PathResult Resolve(KeyId parent, const std::vector<std::string_view>& parts);
  // The references stay valid until the next lookup of the same kind.
  const ValueRecord& QueryValue(KeyId key, std::string_view name);
  const ValueListing& Values(KeyId key);
  // Every value of `key` in one query, in listing order, to `each` (name,
  // type, data); never cached.
  LONG AllValues(KeyId key,
                 const std::function<void(std::string_view, DWORD, std::string_view)>& each);
  const KeyListing& Subkeys(KeyId key);

  // Changes, each one transaction committed before it returns; inside a
  // batch, each one a savepoint that a failure rolls back alone.
  LONG Create(KeyId parent, const std::vector<std::string_view>& parts, std::string_view key_class,
              bool is_volatile, KeyId* id, DWORD* disposition);
  LONG DeleteKey(KeyId parent, const std::vector<std::string_view>& parts);
  LONG SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data);
  LONG DeleteValue(KeyId key, std::string_view name);

  // A batch: one IMMEDIATE transaction holding every change until
  // CommitBatch(). Other processes see none of it before the commit (the
  // change counter is odd from BeginBatch() to the end, once), and the
  // snapshot of a root others read is published once, at the commit.
  // BeginBatch() fails as a change would (the refusal, ERROR_BUSY, ...).
  LONG BeginBatch();
  // Commits; on failure everything is rolled back. Either way the batch ends.
  LONG CommitBatch();
  // Rolls back and ends the batch; nothing without one.
  void AbortBatch();

 private:
  // How Configure opens the database: to change it, to read it (with the
  // shared lock file), or as a file nobody changes (no lock files at all).
  enum class Mode { kWrite, kRead, kImmutable };
  LONG Open();
  // An SQLite result code: SQLITE_OK once everything is set up.
  int Configure(Mode mode);
  // Configure's part for a connection that changes the database: WAL, space
  // reclaimed, journal bounded; sets writable_.
  int ConfigureWriter();
  // The registry error for an SQLite result code; damage and I/O failures are
  // reported on standard error, naming the file, once per store.
  LONG Fail(int rc);
  bool PrepareTransactions();
  bool PrepareStatements();
  // Readers of a root others may read, who may not change it, read the
  // snapshot its writers publish rather than the database: they take no lock
  // at all, so no writer ever waits for them (registry_snapshot.cc).
  // OpenSnapshot() puts the current snapshot in place of the open one (kept
  // when that fails); Publish() writes the database as this connection sees it
  // to a new snapshot and puts it in place.
  int OpenSnapshot();
  LONG Publish();
  int SwitchToWal();
  int MakeNewDatabaseReclaimable();
  LONG InitSchema();
  LONG RemoveVolatileKeysAfterRestart();
  LONG Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);
  void ClearCaches();
  // After a change that may have freed space: when a good deal of the
  // database is free, gives it back to the file system (the database and its
  // journal shrink). Best effort: a failure leaves the space for next time.
  void ReclaimSpace();
  // `result`, after ReclaimSpace() when it is ERROR_SUCCESS.
  LONG Reclaiming(LONG result);
  // Runs `body` as one IMMEDIATE transaction; commits when it returns 0.
  template <typename Body>
  LONG Change(Body&& body);
  // Runs `body` inside the open batch as one savepoint.
  template <typename Body>
  LONG BatchedChange(Body&& body);
  // Ends the batch: publishes a committed one, rolls back any other.
  void EndBatch(bool committed);
  // 0 when the key exists, ERROR_KEY_DELETED otherwise; *is_volatile set.
  LONG KeyState(KeyId key, bool* is_volatile);
  PathResult ResolveSql(KeyId parent, const std::vector<std::string_view>& parts);
  ValueRecord QueryValueSql(KeyId key, std::string_view fold);
  // Runs a listing statement for `key`, handing each row to `add_row`.
  template <typename Listing, typename AddRow>
  Listing ListSql(sqlite3_stmt* stmt, KeyId key, AddRow&& add_row);

  const std::string path_;  // as given, for messages
  const bool private_;
  std::string real_path_;  // without symbolic links, for opening
  DbPtr db_;
  bool writable_ = false;
  bool snapshot_ = false;   // reading a published snapshot
  OwnerLock publish_lock_;  // open only where snapshots are published
  bool reported_ = false;
  LONG refusal_ = ERROR_ACCESS_DENIED;
  ChangeCounter counter_;
  std::uint64_t seen_ = 1;
  bool cacheable_ = false;
  bool batch_ = false;
  // What broke the batch when SQLite rolled its transaction back by itself
  // (a full disk, an I/O error): every later change and the commit fail so.
  LONG batch_lost_ = ERROR_SUCCESS;
  bool reclaim_after_batch_ = false;

  // Prepared once per connection and reused by every call.
  struct Statements {
    StmtPtr begin, commit, rollback, free_pages, savepoint, release, rollback_to;
    StmtPtr key_state, find_child, insert_key, has_child, delete_key, delete_key_values;
    StmtPtr get_value, set_value, delete_value, list_values, list_keys, all_values;
  } stmts_;

  LookupCache<std::string, PathResult> paths_;    // by parent id and folded path
  LookupCache<std::string, ValueRecord> values_;  // by key id and folded name
  LookupCache<KeyId, ValueListing> value_lists_;
  LookupCache<KeyId, KeyListing> key_lists_;
};

template <typename Body>
LONG Store::Change(Body&& body) {
  if (!writable_) return refusal_;
  if (batch_) return BatchedChange(body);
  // Writers of a snapshot-published root publish one after the other, each
  // right after its commit, so the last snapshot is the last change's.
  struct Publishing {
    OwnerLock* lock;
    explicit Publishing(OwnerLock* l) : lock(l) { lock->Lock(); }
    ~Publishing() { lock->Unlock(); }
  } publishing(&publish_lock_);
  {
    Query begin(stmts_.begin.get());
    if (LONG rc = Fail(begin.Step()); rc != ERROR_SUCCESS) return rc;
  }
  counter_.BeginChange();
  // Ends the transaction however `body` leaves (a bad_alloc included).
  struct Finish {
    Store* store;
    bool committed = false;
    ~Finish() {
      if (!committed) {
        Query rollback(store->stmts_.rollback.get());
        rollback.Step();
      }
      store->counter_.EndChange();
    }
  } finish{this};
  LONG result = body();
  if (result == ERROR_SUCCESS) {
    Query commit(stmts_.commit.get());
    result = Fail(commit.Step());
    finish.committed = result == ERROR_SUCCESS;
  }
  // Published before the counter moves, so a reader that sees it move opens
  // the snapshot with this change. A failure here loses nothing: the change
  // stands, and the next one publishes again.
  if (finish.committed && !private_) Publish();
  return result;
}

template <typename Body>
LONG Store::BatchedChange(Body&& body) {
  if (batch_lost_ != ERROR_SUCCESS) return batch_lost_;
  {
    Query savepoint(stmts_.savepoint.get());
    if (LONG rc = Fail(savepoint.Step()); rc != ERROR_SUCCESS) return rc;
  }
  struct Finish {
    Store* store;
    bool released = false;
    ~Finish() {
      if (released) return;
      for (sqlite3_stmt* stmt : {store->stmts_.rollback_to.get(), store->stmts_.release.get()}) {
        Query q(stmt);
        q.Step();
      }
    }
  } finish{this};
  LONG result = body();
  if (result == ERROR_SUCCESS) {
    Query release(stmts_.release.get());
    result = Fail(release.Step());
    finish.released = result == ERROR_SUCCESS;
  }
  if (sqlite3_get_autocommit(db_.get())) {
    batch_lost_ = result != ERROR_SUCCESS ? result : ERROR_REGISTRY_IO_FAILED;
  }
  return result;
}

}  // namespace ps::platform::registry_internal
