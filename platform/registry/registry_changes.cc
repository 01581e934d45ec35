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
  if (result == ERROR_SUCCESS) ReclaimSpace();
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
