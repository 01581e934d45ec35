// The store's changes, each one IMMEDIATE transaction.
#include <cstdint>

#include "platform/registry/registry_names.h"
#include "platform/registry/registry_store.h"

namespace ps::platform::registry_internal {
namespace {

// More than a value row needs beside its name, folded name and data.
constexpr std::size_t kRowOverhead = 256;

}  // namespace

LONG Store::Reclaiming(LONG result) {
  // Space cannot be given back inside a transaction: a batch does it at the end.
  if (result == ERROR_SUCCESS && batch_) {
    reclaim_after_batch_ = true;
  } else if (result == ERROR_SUCCESS) {
    ReclaimSpace();
  }
  return result;
}

LONG Store::BeginBatch() {
  if (batch_) return ERROR_SUCCESS;
  if (!writable_) return refusal_;
  // Held to the end, as a single change holds it (Change()).
  publish_lock_.Lock();
  {
    Query begin(stmts_.begin.get());
    if (LONG rc = Fail(begin.Step()); rc != ERROR_SUCCESS) {
      publish_lock_.Unlock();
      return rc;
    }
  }
  counter_.BeginChange();
  ClearCaches();
  seen_ = counter_.Load();
  cacheable_ = false;
  batch_ = true;
  batch_lost_ = ERROR_SUCCESS;
  reclaim_after_batch_ = false;
  return ERROR_SUCCESS;
}

LONG Store::CommitBatch() {
  if (!batch_) return ERROR_SUCCESS;
  LONG result = batch_lost_;
  if (result == ERROR_SUCCESS) {
    Query commit(stmts_.commit.get());
    result = Fail(commit.Step());
  }
  EndBatch(result == ERROR_SUCCESS);
  return result;
}

void Store::AbortBatch() {
  if (batch_) EndBatch(false);
}

void Store::EndBatch(bool committed) {
  if (!committed && !sqlite3_get_autocommit(db_.get())) {
    Query rollback(stmts_.rollback.get());
    rollback.Step();
  }
  // In the order a single change keeps: published before the counter moves.
  if (committed && !private_) Publish();
  counter_.EndChange();
  publish_lock_.Unlock();
  batch_ = false;
  if (committed && reclaim_after_batch_) ReclaimSpace();
  reclaim_after_batch_ = false;
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
        if (rc != SQLITE_DONE) return Fail(rc);
      }
      if (parent_volatile && !is_volatile) return ERROR_CHILD_MUST_BE_VOLATILE;
      Query insert(stmts_.insert_key.get());
      insert.Bind(1, current).Bind(2, part).Bind(3, std::string_view(fold)).Bind(4, key_class);
      insert.Bind(5, is_volatile ? 1 : 0);
      if (const int rc = insert.Step(); rc != SQLITE_DONE) return Fail(rc);
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
  return Reclaiming(Change([&]() -> LONG {
    const PathResult target = ResolveSql(parent, parts);
    if (target.code != ERROR_SUCCESS) return target.code;
    if (target.id == kRootId) return ERROR_ACCESS_DENIED;
    {
      Query q(stmts_.has_child.get());
      q.Bind(1, target.id);
      const int rc = q.Step();
      if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
      if (rc != SQLITE_DONE) return Fail(rc);
    }
    for (sqlite3_stmt* stmt : {stmts_.delete_key_values.get(), stmts_.delete_key.get()}) {
      Query q(stmt);
      q.Bind(1, target.id);
      if (const int rc = q.Step(); rc != SQLITE_DONE) return Fail(rc);
    }
    return ERROR_SUCCESS;
  }));
}

LONG Store::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) {
  // Checked before the data is read: a size the row cannot hold (the caller's
  // buffer may not even be that large) is refused rather than cut.
  const auto limit = static_cast<std::size_t>(sqlite3_limit(db_.get(), SQLITE_LIMIT_LENGTH, -1));
  if (data.size() > limit || data.size() + 2 * name.size() + kRowOverhead > limit) {
    return ERROR_OUTOFMEMORY;
  }
  const std::string fold = Fold(name);
  return Reclaiming(Change([&]() -> LONG {
    if (LONG rc = KeyState(key, nullptr); rc != ERROR_SUCCESS) return rc;
    Query q(stmts_.set_value.get());
    q.Bind(1, key).Bind(2, name).Bind(3, std::string_view(fold));
    q.Bind(4, static_cast<std::int64_t>(type)).Bind(5, data);
    return Fail(q.Step());
  }));
}

LONG Store::DeleteValue(KeyId key, std::string_view name) {
  const std::string fold = Fold(name);
  return Reclaiming(Change([&]() -> LONG {
    if (LONG rc = KeyState(key, nullptr); rc != ERROR_SUCCESS) return rc;
    Query q(stmts_.delete_value.get());
    q.Bind(1, key).Bind(2, std::string_view(fold));
    if (const int rc = q.Step(); rc != SQLITE_DONE) return Fail(rc);
    return sqlite3_changes(db_.get()) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }));
}

}  // namespace ps::platform::registry_internal
