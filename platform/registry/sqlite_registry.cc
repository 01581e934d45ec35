#include "platform/registry/sqlite_registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ps::platform {
namespace {

using KeyId = std::int64_t;
constexpr KeyId kRootId = 1;
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;
constexpr int kBusyTimeoutMs = 30000;
// Caches are dropped wholesale when they grow past this many entries.
constexpr std::size_t kMaxCacheEntries = 1 << 16;
// Value data is cached up to this much in all, and only values this small:
// registry values may be large, and a cache must not grow without bound.
constexpr std::size_t kMaxCachedValueBytes = 64 << 10;
constexpr std::size_t kMaxCachedBytes = 32 << 20;

constexpr REGSAM kChangeRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// ---------------------------------------------------------------------------
// Small RAII wrappers. None of their destructors can throw.

struct DbCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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
  std::string Bytes(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                : std::string();
  }

 private:
  sqlite3_stmt* stmt_;
};

LONG FromSqlite(int rc) {
  switch (rc & 0xFF) {
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
      return ERROR_OUTOFMEMORY;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// ---------------------------------------------------------------------------
// Names.

// Windows-1252 lower case: ASCII, the Latin-1 capitals (not the multiplication
// sign), and the capitals the code page adds at 8A, 8C, 8E and 9F.
unsigned char FoldByte(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 0x20);
  switch (c) {
    case 0x8A:
    case 0x8C:
    case 0x8E:
      return static_cast<unsigned char>(c + 0x10);
    case 0x9F:
      return 0xFF;
    default:
      return c;
  }
}

std::string Fold(std::string_view name) {
  std::string out(name.size(), '\0');
  for (std::size_t i = 0; i < name.size(); ++i) {
    out[i] = static_cast<char>(FoldByte(static_cast<unsigned char>(name[i])));
  }
  return out;
}

// Splits a backslash path into its key names. A leading backslash is refused;
// repeated and trailing ones are skipped.
LONG SplitPath(const char* path, std::vector<std::string_view>* parts) {
  parts->clear();
  if (path == nullptr) return ERROR_SUCCESS;
  std::string_view rest(path);
  if (!rest.empty() && rest.front() == '\\') return ERROR_BAD_PATHNAME;
  while (!rest.empty()) {
    const std::size_t cut = rest.find('\\');
    const std::string_view part = rest.substr(0, cut);
    if (!part.empty()) {
      if (part.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
      parts->push_back(part);
    }
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  return ERROR_SUCCESS;
}

std::string_view ValueName(const char* name) { return name ? std::string_view(name) : ""; }

REGSAM MapGenericRights(REGSAM sam, bool writable) {
  REGSAM out = sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (sam & GENERIC_READ) out |= KEY_READ;
  if (sam & GENERIC_WRITE) out |= KEY_WRITE;
  if (sam & GENERIC_ALL) out |= KEY_ALL_ACCESS;
  if (sam & MAXIMUM_ALLOWED) out |= writable ? KEY_ALL_ACCESS : KEY_READ;
  return out;
}

// ---------------------------------------------------------------------------
// Files.

bool MakeDirectories(const std::string& dir, mode_t mode) {
  if (dir.empty()) return true;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash), mode)) {
    return false;
  }
  if (::mkdir(dir.c_str(), mode) == 0) return ::chmod(dir.c_str(), mode) == 0;  // not the umask's
  return errno == EEXIST;
}

std::string ParentDirectory(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string BootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

// The change counter shared by every process that uses one database (see the
// header). Writers call BeginChange() once they hold the database's write lock
// and EndChange() after the commit. Readers may trust what they cached while
// Load() returns the same even value it returned when they filled the cache;
// an odd value (a change under way, or a writer that died mid-change) allows
// no caching at all. The counter only grows, so it never comes back to a
// value a reader has already seen.
class ChangeCounter {
 public:
  ChangeCounter() = default;
  ~ChangeCounter() {
    if (map_ != nullptr) ::munmap(map_, kSize);
  }
  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;

  // Maps `path`, creating it when `writable`. False leaves it unmapped.
  bool Open(const std::string& path, bool writable, mode_t mode) {
    if (map_ != nullptr) ::munmap(map_, kSize);
    map_ = nullptr;
    writable_ = false;
    FileDescriptor fd(
        ::open(path.c_str(), writable ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, mode));
    if (fd.get() < 0) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return false;
    if (st.st_size < static_cast<off_t>(kSize)) {
      // New: sized, and given the database's mode whatever the umask.
      if (!writable || ::ftruncate(fd.get(), kSize) != 0) return false;
      if (st.st_uid == ::geteuid()) ::fchmod(fd.get(), mode);
    }
    void* map = ::mmap(nullptr, kSize, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                       fd.get(), 0);
    if (map == MAP_FAILED) return false;
    map_ = map;
    writable_ = writable;
    return true;
  }

  std::uint64_t Load() const { return map_ ? Word().load(std::memory_order_acquire) : 1; }
  void BeginChange() {
    if (writable_) Word().fetch_or(1, std::memory_order_acq_rel);
  }
  void EndChange() {
    if (writable_) Word().fetch_add(1, std::memory_order_acq_rel);
  }

 private:
  static constexpr std::size_t kSize = 4096;
  std::atomic_ref<std::uint64_t> Word() const {
    return std::atomic_ref<std::uint64_t>(*static_cast<std::uint64_t*>(map_));
  }

  void* map_ = nullptr;
  bool writable_ = false;
};
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);

// ---------------------------------------------------------------------------
// One root's database.

struct ValueRecord {
  LONG code = ERROR_SUCCESS;  // 0, ERROR_FILE_NOT_FOUND or ERROR_KEY_DELETED
  DWORD type = REG_NONE;
  std::string data;
};

struct ValueListing {
  LONG code = ERROR_SUCCESS;
  std::vector<std::pair<std::string, DWORD>> entries;  // name, type
};

struct KeyListing {
  LONG code = ERROR_SUCCESS;
  std::vector<std::string> names;
};

struct PathResult {
  LONG code = ERROR_SUCCESS;
  KeyId id = 0;
};

class Store {
 public:
  Store(std::string path, bool private_to_owner)
      : path_(std::move(path)), private_(private_to_owner) {}

  // Opens the database when it is not open yet. False when it can be neither
  // opened nor created: the root then reads as empty and refuses changes.
  bool Ready() { return db_ != nullptr || Open(); }
  bool writable() const { return writable_; }

  // Drops the caches when another change happened since they were filled.
  void Sync() {
    const std::uint64_t now = counter_.Load();
    if (now == seen_ && !(now & 1)) return;
    ClearCaches();
    seen_ = now;
    cacheable_ = !(now & 1);
  }

  PathResult Resolve(KeyId parent, const std::vector<std::string_view>& parts);
  LONG Create(KeyId parent, const std::vector<std::string_view>& parts, std::string_view key_class,
              bool is_volatile, KeyId* id, DWORD* disposition);
  LONG DeleteKey(KeyId parent, const std::vector<std::string_view>& parts);
  const ValueRecord& QueryValue(KeyId key, std::string_view name);
  LONG SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data);
  LONG DeleteValue(KeyId key, std::string_view name);
  const ValueListing& Values(KeyId key);
  const KeyListing& Subkeys(KeyId key);

 private:
  bool Open();
  bool Configure(bool try_write);
  bool SwitchToWal();
  LONG InitSchema();
  LONG Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);
  void ClearCaches();
  template <typename Map>
  void Bound(Map& map) {
    if (map.size() >= kMaxCacheEntries) map.clear();
  }
  // Runs `body` as one IMMEDIATE transaction; commits when it returns 0.
  template <typename Body>
  LONG Change(Body&& body);
  // 0 when the key exists, ERROR_KEY_DELETED otherwise; *is_volatile set.
  LONG KeyState(KeyId key, bool* is_volatile);
  PathResult ResolveSql(KeyId parent, const std::vector<std::string_view>& parts);

  const std::string path_;
  const bool private_;
  DbPtr db_;
  bool writable_ = false;
  ChangeCounter counter_;
  std::uint64_t seen_ = 1;
  bool cacheable_ = false;

  // Prepared once per connection and reused by every call.
  struct Statements {
    StmtPtr begin, commit, rollback;
    StmtPtr key_state, find_child, insert_key, has_child, delete_key, delete_key_values;
    StmtPtr get_value, set_value, delete_value, list_values, list_keys;
  } stmts_;

  std::unordered_map<std::string, PathResult> paths_;
  std::unordered_map<std::string, ValueRecord> values_;
  std::size_t value_bytes_ = 0;  // data held in values_
  std::unordered_map<KeyId, ValueListing> value_lists_;
  std::unordered_map<KeyId, KeyListing> key_lists_;
  // Results of the last uncacheable lookup.
  ValueRecord scratch_value_;
  ValueListing scratch_values_;
  KeyListing scratch_keys_;
};

bool Store::Open() {
  const mode_t file_mode = private_ ? 0600 : 0644;
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) {
    if (!MakeDirectories(ParentDirectory(path_), private_ ? 0700 : 0755)) return false;
    FileDescriptor fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
    if (fd.get() >= 0) {
      // The umask must not widen or narrow what the root promises.
      if (::fchmod(fd.get(), file_mode) != 0) return false;
    } else if (errno != EEXIST) {
      return false;
    }
  } else if (private_ && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) {
    ::chmod(path_.c_str(), file_mode);
  }
  // Whoever may write the file changes the root; everyone else reads it.
  if (Configure(::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) == 0)) return true;
  // Half set up is not open: the next call tries again from the start.
  stmts_ = Statements();
  db_.reset();
  writable_ = false;
  return false;
}

bool Store::Configure(bool try_write) {
  ClearCaches();
  stmts_ = Statements();
  db_.reset();

  sqlite3* raw = nullptr;
  const int flags = (try_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
  const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) return false;
  sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  writable_ = try_write && sqlite3_db_readonly(db_.get(), "main") == 0;
  if (try_write && !writable_) return false;
  if (writable_) {
    // Keep -wal and -shm after the last connection closes, so that processes
    // that may only read can still open the database.
    int persist = 1;
    sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    if (!SwitchToWal()) return false;
  }
  if (Exec("PRAGMA synchronous=NORMAL") != ERROR_SUCCESS) return false;
  const mode_t file_mode = private_ ? 0600 : 0644;
  if (writable_ && !counter_.Open(path_ + "-gen", true, file_mode)) return false;
  if (!writable_) counter_.Open(path_ + "-gen", false, file_mode);

  stmts_.begin.reset(Prepare("BEGIN IMMEDIATE"));
  stmts_.commit.reset(Prepare("COMMIT"));
  stmts_.rollback.reset(Prepare("ROLLBACK"));
  if (!stmts_.begin || !stmts_.commit || !stmts_.rollback) return false;
  if (writable_ && InitSchema() != ERROR_SUCCESS) return false;

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
  stmts_.list_keys.reset(Prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY fold"));
  seen_ = 1;
  cacheable_ = false;
  return stmts_.key_state && stmts_.find_child && stmts_.insert_key && stmts_.has_child &&
         stmts_.delete_key && stmts_.delete_key_values && stmts_.get_value && stmts_.set_value &&
         stmts_.delete_value && stmts_.list_values && stmts_.list_keys;
}

// Switching a new database to WAL needs it to itself, and SQLite answers
// "busy" at once rather than wait for another process that is setting it up at
// the same moment; so wait here, for that and nothing else.
bool Store::SwitchToWal() {
  StmtPtr wal(Prepare("PRAGMA journal_mode=WAL"));
  if (!wal) return false;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    {
      Query q(wal.get());
      const int rc = q.Step();
      if (rc == SQLITE_ROW) return q.Bytes(0) == "wal";
      if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return false;
    }
    if (std::chrono::steady_clock::now() > give_up) return false;
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
    // Volatile keys live until the machine restarts.
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
    return FromSqlite(q.Step());
  });
}

LONG Store::Exec(const char* sql) {
  return FromSqlite(sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr));
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
  // clear() walks every bucket, so skip the maps that hold nothing.
  if (!paths_.empty()) paths_.clear();
  if (!values_.empty()) values_.clear();
  value_bytes_ = 0;
  if (!value_lists_.empty()) value_lists_.clear();
  if (!key_lists_.empty()) key_lists_.clear();
}

template <typename Body>
LONG Store::Change(Body&& body) {
  if (!writable_) return ERROR_ACCESS_DENIED;
  {
    Query begin(stmts_.begin.get());
    if (LONG rc = FromSqlite(begin.Step()); rc != ERROR_SUCCESS) return rc;
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
    result = FromSqlite(commit.Step());
    finish.committed = result == ERROR_SUCCESS;
  }
  return result;
}

LONG Store::KeyState(KeyId key, bool* is_volatile) {
  Query q(stmts_.key_state.get());
  q.Bind(1, key);
  const int rc = q.Step();
  if (rc == SQLITE_ROW) {
    if (is_volatile) *is_volatile = q.Int(0) != 0;
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : FromSqlite(rc);
}

PathResult Store::ResolveSql(KeyId parent, const std::vector<std::string_view>& parts) {
  KeyId id = parent;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string fold = Fold(parts[i]);
    Query q(stmts_.find_child.get());
    q.Bind(1, id).Bind(2, std::string_view(fold));
    const int rc = q.Step();
    if (rc == SQLITE_ROW) {
      id = q.Int(0);
      continue;
    }
    if (rc != SQLITE_DONE) return {FromSqlite(rc), 0};
    if (i == 0 && parent != kRootId) {
      if (LONG state = KeyState(parent, nullptr); state != ERROR_SUCCESS) return {state, 0};
    }
    return {ERROR_FILE_NOT_FOUND, 0};
  }
  if (parts.empty() && parent != kRootId) {
    if (LONG state = KeyState(parent, nullptr); state != ERROR_SUCCESS) return {state, 0};
  }
  return {ERROR_SUCCESS, id};
}

PathResult Store::Resolve(KeyId parent, const std::vector<std::string_view>& parts) {
  if (!cacheable_) return ResolveSql(parent, parts);
  std::string cache_key(reinterpret_cast<const char*>(&parent), sizeof parent);
  for (std::string_view part : parts) {
    cache_key += Fold(part);
    cache_key += '\\';
  }
  if (auto it = paths_.find(cache_key); it != paths_.end()) return it->second;
  const PathResult result = ResolveSql(parent, parts);
  if (result.code == ERROR_SUCCESS || result.code == ERROR_FILE_NOT_FOUND ||
      result.code == ERROR_KEY_DELETED) {
    Bound(paths_);
    paths_.emplace(std::move(cache_key), result);
  }
  return result;
}

LONG Store::Create(KeyId parent, const std::vector<std::string_view>& parts,
                   std::string_view key_class, bool is_volatile, KeyId* id, DWORD* disposition) {
  return Change([&]() -> LONG {
    bool parent_volatile = false;
    if (LONG rc = KeyState(parent, &parent_volatile); rc != ERROR_SUCCESS) return rc;
    KeyId current = parent;
    bool created = false;
    for (std::string_view part : parts) {
      const std::string fold = Fold(part);
      {
        Query find(stmts_.find_child.get());
        find.Bind(1, current).Bind(2, std::string_view(fold));
        const int rc = find.Step();
        if (rc == SQLITE_ROW) {
          current = find.Int(0);
          parent_volatile = find.Int(1) != 0;
          created = false;
          continue;
        }
        if (rc != SQLITE_DONE) return FromSqlite(rc);
      }
      if (parent_volatile && !is_volatile) return ERROR_CHILD_MUST_BE_VOLATILE;
      Query insert(stmts_.insert_key.get());
      insert.Bind(1, current).Bind(2, part).Bind(3, std::string_view(fold)).Bind(4, key_class);
      insert.Bind(5, is_volatile ? 1 : 0);
      if (const int rc = insert.Step(); rc != SQLITE_DONE) return FromSqlite(rc);
      current = sqlite3_last_insert_rowid(db_.get());
      parent_volatile = is_volatile;
      created = true;
    }
    *id = current;
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LONG Store::DeleteKey(KeyId parent, const std::vector<std::string_view>& parts) {
  return Change([&]() -> LONG {
    const PathResult target = ResolveSql(parent, parts);
    if (target.code != ERROR_SUCCESS) return target.code;
    if (target.id == kRootId) return ERROR_ACCESS_DENIED;
    {
      Query q(stmts_.has_child.get());
      q.Bind(1, target.id);
      const int rc = q.Step();
      if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
      if (rc != SQLITE_DONE) return FromSqlite(rc);
    }
    for (sqlite3_stmt* stmt : {stmts_.delete_key_values.get(), stmts_.delete_key.get()}) {
      Query q(stmt);
      q.Bind(1, target.id);
      if (const int rc = q.Step(); rc != SQLITE_DONE) return FromSqlite(rc);
    }
    return ERROR_SUCCESS;
  });
}

const ValueRecord& Store::QueryValue(KeyId key, std::string_view name) {
  const std::string fold = Fold(name);
  std::string cache_key;
  if (cacheable_) {
    cache_key.assign(reinterpret_cast<const char*>(&key), sizeof key);
    cache_key += fold;
    if (auto it = values_.find(cache_key); it != values_.end()) return it->second;
  }
  ValueRecord record;
  {
    Query q(stmts_.get_value.get());
    q.Bind(1, key).Bind(2, std::string_view(fold));
    const int rc = q.Step();
    if (rc == SQLITE_ROW) {
      record.type = static_cast<DWORD>(q.Int(0));
      record.data = q.Bytes(1);
    } else if (rc == SQLITE_DONE) {
      record.code = key == kRootId ? ERROR_FILE_NOT_FOUND : KeyState(key, nullptr);
      if (record.code == ERROR_SUCCESS) record.code = ERROR_FILE_NOT_FOUND;
    } else {
      record.code = FromSqlite(rc);
    }
  }
  if (!cacheable_ || record.data.size() > kMaxCachedValueBytes ||
      (record.code != ERROR_SUCCESS && record.code != ERROR_FILE_NOT_FOUND &&
       record.code != ERROR_KEY_DELETED)) {
    scratch_value_ = std::move(record);
    return scratch_value_;
  }
  if (values_.size() >= kMaxCacheEntries || value_bytes_ + record.data.size() > kMaxCachedBytes) {
    values_.clear();
    value_bytes_ = 0;
  }
  value_bytes_ += record.data.size();
  return values_.emplace(std::move(cache_key), std::move(record)).first->second;
}

LONG Store::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) {
  const std::string fold = Fold(name);
  return Change([&]() -> LONG {
    if (LONG rc = KeyState(key, nullptr); rc != ERROR_SUCCESS) return rc;
    Query q(stmts_.set_value.get());
    q.Bind(1, key).Bind(2, name).Bind(3, std::string_view(fold));
    q.Bind(4, static_cast<std::int64_t>(type)).Bind(5, data);
    return FromSqlite(q.Step());
  });
}

LONG Store::DeleteValue(KeyId key, std::string_view name) {
  const std::string fold = Fold(name);
  return Change([&]() -> LONG {
    if (LONG rc = KeyState(key, nullptr); rc != ERROR_SUCCESS) return rc;
    Query q(stmts_.delete_value.get());
    q.Bind(1, key).Bind(2, std::string_view(fold));
    if (const int rc = q.Step(); rc != SQLITE_DONE) return FromSqlite(rc);
    return sqlite3_changes(db_.get()) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

const ValueListing& Store::Values(KeyId key) {
  if (cacheable_) {
    if (auto it = value_lists_.find(key); it != value_lists_.end()) return it->second;
  }
  ValueListing listing;
  {
    Query q(stmts_.list_values.get());
    q.Bind(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      listing.entries.emplace_back(q.Bytes(0), static_cast<DWORD>(q.Int(1)));
    }
    listing.code = FromSqlite(rc);
  }
  if (listing.code == ERROR_SUCCESS && listing.entries.empty() && key != kRootId) {
    listing.code = KeyState(key, nullptr);
  }
  if (!cacheable_ || (listing.code != ERROR_SUCCESS && listing.code != ERROR_KEY_DELETED)) {
    scratch_values_ = std::move(listing);
    return scratch_values_;
  }
  Bound(value_lists_);
  return value_lists_.emplace(key, std::move(listing)).first->second;
}

const KeyListing& Store::Subkeys(KeyId key) {
  if (cacheable_) {
    if (auto it = key_lists_.find(key); it != key_lists_.end()) return it->second;
  }
  KeyListing listing;
  {
    Query q(stmts_.list_keys.get());
    q.Bind(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) listing.names.push_back(q.Bytes(0));
    listing.code = FromSqlite(rc);
  }
  if (listing.code == ERROR_SUCCESS && listing.names.empty() && key != kRootId) {
    listing.code = KeyState(key, nullptr);
  }
  if (!cacheable_ || (listing.code != ERROR_SUCCESS && listing.code != ERROR_KEY_DELETED)) {
    scratch_keys_ = std::move(listing);
    return scratch_keys_;
  }
  Bound(key_lists_);
  return key_lists_.emplace(key, std::move(listing)).first->second;
}

// Copies `data` into a caller's buffer with the registry's size rules. Text
// types stored without their zero get one appended when there is room for it
// (not counted).
LONG CopyData(const ValueRecord& value, unsigned char* lpData, DWORD* lpcbData) {
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(value.data.size());
  if (lpData == nullptr) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(lpData, value.data.data(), size);
  const bool text =
      value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
  if (text && size > 0 && *lpcbData > size && value.data.back() != '\0') lpData[size] = 0;
  *lpcbData = size;
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------

struct SqliteRegistry::Impl {
  explicit Impl(Location location)
      : current_user(std::move(location.current_user), true),
        local_machine(std::move(location.local_machine), false) {}

  struct OpenKey {
    Store* store;
    KeyId id;
    REGSAM rights;
  };

  // The store and key a handle stands for; false for an unknown handle.
  // A root whose database is unavailable yields a null store.
  bool Lookup(HKEY hKey, OpenKey* out) {
    if (hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) {
      Store* store = hKey == HKEY_CURRENT_USER ? &current_user : &local_machine;
      *out = {store->Ready() ? store : nullptr, kRootId, KEY_ALL_ACCESS};
    } else {
      auto it = handles.find(hKey);
      if (it == handles.end()) return false;
      *out = it->second;
    }
    if (out->store) out->store->Sync();
    return true;
  }

  // Numbers stay small: a closed handle's number is given out again, but only
  // after kReuseDelay other closes, so that a stale handle used soon after its
  // close is still refused rather than landing on another key.
  HKEY NewHandle(const OpenKey& key) {
    HKEY handle;
    if (freed.size() > kReuseDelay) {
      handle = freed.front();
      freed.pop_front();
    } else {
      handle = next_handle += 4;
    }
    handles.emplace(handle, key);
    return handle;
  }
  bool Close(HKEY handle) {
    if (handles.erase(handle) == 0) return false;
    freed.push_back(handle);
    return true;
  }

  // The rights a new handle gets; false when the root cannot grant them.
  static bool Grant(const Store& store, REGSAM wanted, REGSAM* rights) {
    *rights = MapGenericRights(wanted, store.writable());
    return store.writable() || (*rights & kChangeRights) == 0;
  }

  std::mutex mu;
  Store current_user;
  Store local_machine;
  std::unordered_map<HKEY, OpenKey> handles;
  static constexpr std::size_t kReuseDelay = 1024;
  std::deque<HKEY> freed;
  HKEY next_handle = 0;
};

SqliteRegistry::Location SqliteRegistry::LocationIn(const std::string& dir) {
  return {dir + "/HKEY_CURRENT_USER.db", dir + "/HKEY_LOCAL_MACHINE.db"};
}

SqliteRegistry::Location SqliteRegistry::DefaultLocation() {
  if (const char* dir = std::getenv(kDirVariable); dir && *dir) return LocationIn(dir);
  std::string data_home;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
    data_home = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd* pw = ::getpwuid(::geteuid());
      home = pw ? pw->pw_dir : "/";
    }
    data_home = std::string(home) + "/.local/share";
  }
  return {data_home + "/pingsweep/HKEY_CURRENT_USER.db",
          "/var/lib/pingsweep/HKEY_LOCAL_MACHINE.db"};
}

SqliteRegistry::SqliteRegistry(Location location)
    : impl_(std::make_unique<Impl>(std::move(location))) {}

SqliteRegistry::~SqliteRegistry() = default;

LONG SqliteRegistry::RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved,
                                     const char* lpClass, DWORD dwOptions, REGSAM samDesired,
                                     const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/,
                                     HKEY* phkResult, DWORD* lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_BADKEY;
  if (Reserved != 0 || (dwOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_OPEN_LINK)) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<std::string_view> parts;
  if (LONG rc = SplitPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey parent;
  if (!impl_->Lookup(hKey, &parent)) return ERROR_INVALID_HANDLE;
  *phkResult = 0;
  if (parent.store == nullptr) return ERROR_ACCESS_DENIED;
  Store& store = *parent.store;
  REGSAM rights;
  const bool granted = Impl::Grant(store, samDesired, &rights);
  // An existing key is opened without a write transaction.
  PathResult found = store.Resolve(parent.id, parts);
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (found.code == ERROR_FILE_NOT_FOUND || (found.code == ERROR_SUCCESS && !granted)) {
    if (!granted) return ERROR_ACCESS_DENIED;
    found.code = store.Create(parent.id, parts, lpClass ? std::string_view(lpClass) : "",
                              (dwOptions & REG_OPTION_VOLATILE) != 0, &found.id, &disposition);
  }
  if (found.code != ERROR_SUCCESS) return found.code;
  *phkResult = impl_->NewHandle({&store, found.id, rights});
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LONG SqliteRegistry::RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD /*ulOptions*/,
                                   REGSAM samDesired, HKEY* phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string_view> parts;
  if (LONG rc = SplitPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey parent;
  if (!impl_->Lookup(hKey, &parent)) return ERROR_INVALID_HANDLE;
  if (parts.empty() && hKey < 0) {
    // The predefined root itself stays its own handle.
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  *phkResult = 0;
  if (parent.store == nullptr) return ERROR_FILE_NOT_FOUND;
  Store& store = *parent.store;
  const PathResult found = store.Resolve(parent.id, parts);
  if (found.code != ERROR_SUCCESS) return found.code;
  REGSAM rights;
  if (!Impl::Grant(store, samDesired, &rights)) return ERROR_ACCESS_DENIED;
  *phkResult = impl_->NewHandle({&store, found.id, rights});
  return ERROR_SUCCESS;
}

LONG SqliteRegistry::RegCloseKey(HKEY hKey) {
  std::lock_guard lock(impl_->mu);
  if (hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  return impl_->Close(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG SqliteRegistry::RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved,
                                      DWORD* lpType, unsigned char* lpData, DWORD* lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (!impl_->Lookup(hKey, &key)) return ERROR_INVALID_HANDLE;
  if (!(key.rights & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (key.store == nullptr) {
    if (lpcbData && !lpData) *lpcbData = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  const ValueRecord& value = key.store->QueryValue(key.id, ValueName(lpValueName));
  if (value.code != ERROR_SUCCESS) {
    if (lpcbData && !lpData) *lpcbData = 0;
    return value.code;
  }
  if (lpType) *lpType = value.type;
  return CopyData(value, lpData, lpcbData);
}

LONG SqliteRegistry::RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved,
                                    DWORD dwType, const unsigned char* lpData, DWORD cbData) {
  const std::string_view name = ValueName(lpValueName);
  if (Reserved != 0 || name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
  if (lpData == nullptr && cbData > 0) return ERROR_NOACCESS;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (!impl_->Lookup(hKey, &key)) return ERROR_INVALID_HANDLE;
  if (!(key.rights & KEY_SET_VALUE) || key.store == nullptr) return ERROR_ACCESS_DENIED;
  const std::string_view data(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
  return key.store->SetValue(key.id, name, dwType, data);
}

LONG SqliteRegistry::RegDeleteValueA(HKEY hKey, const char* lpValueName) {
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (!impl_->Lookup(hKey, &key)) return ERROR_INVALID_HANDLE;
  if (!(key.rights & KEY_SET_VALUE) || key.store == nullptr) return ERROR_ACCESS_DENIED;
  return key.store->DeleteValue(key.id, ValueName(lpValueName));
}

LONG SqliteRegistry::RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName,
                                   DWORD* lpcchValueName, DWORD* lpReserved, DWORD* lpType,
                                   unsigned char* lpData, DWORD* lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (!impl_->Lookup(hKey, &key)) return ERROR_INVALID_HANDLE;
  if (!(key.rights & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (key.store == nullptr) return ERROR_NO_MORE_ITEMS;
  const ValueListing& listing = key.store->Values(key.id);
  if (listing.code != ERROR_SUCCESS) return listing.code;
  if (dwIndex >= listing.entries.size()) return ERROR_NO_MORE_ITEMS;
  const auto& [name, type] = listing.entries[dwIndex];
  if (*lpcchValueName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, name.data(), name.size());
  lpValueName[name.size()] = '\0';
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpType) *lpType = type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  // Copy the name first: QueryValue may replace the listing's scratch copy.
  const std::string copy = name;
  const ValueRecord& value = key.store->QueryValue(key.id, copy);
  if (value.code != ERROR_SUCCESS) return value.code;
  return CopyData(value, lpData, lpcbData);
}

LONG SqliteRegistry::RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) {
  if (lpName == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey key;
  if (!impl_->Lookup(hKey, &key)) return ERROR_INVALID_HANDLE;
  if (!(key.rights & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (key.store == nullptr) return ERROR_NO_MORE_ITEMS;
  const KeyListing& listing = key.store->Subkeys(key.id);
  if (listing.code != ERROR_SUCCESS) return listing.code;
  if (dwIndex >= listing.names.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& name = listing.names[dwIndex];
  if (cchName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.data(), name.size());
  lpName[name.size()] = '\0';
  return ERROR_SUCCESS;
}

LONG SqliteRegistry::RegDeleteKeyA(HKEY hKey, const char* lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::vector<std::string_view> parts;
  if (LONG rc = SplitPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard lock(impl_->mu);
  Impl::OpenKey parent;
  if (!impl_->Lookup(hKey, &parent)) return ERROR_INVALID_HANDLE;
  if (parent.store == nullptr) return ERROR_FILE_NOT_FOUND;
  // Like the platform's, the parent handle's rights play no part.
  if (!parent.store->writable()) {
    const PathResult found = parent.store->Resolve(parent.id, parts);
    return found.code != ERROR_SUCCESS ? found.code : ERROR_ACCESS_DENIED;
  }
  return parent.store->DeleteKey(parent.id, parts);
}

}  // namespace ps::platform
