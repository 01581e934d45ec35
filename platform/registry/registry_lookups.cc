// The store's lookups, each answered from its cache while the change counter
// allows.
#include <algorithm>

#include "platform/registry/registry_names.h"
#include "platform/registry/registry_store.h"

namespace ps::platform::registry_internal {
namespace {

// A cache key: the id's bytes followed by `text`.
std::string IdAnd(KeyId id, std::string_view text) {
  std::string key(reinterpret_cast<const char*>(&id), sizeof id);
  key += text;
  return key;
}

}  // namespace

LONG Store::KeyState(KeyId key, bool* is_volatile) {
  Query q(stmts_.key_state.get());
  q.Bind(1, key);
  const int rc = q.Step();
  if (rc == SQLITE_ROW) {
    if (is_volatile) *is_volatile = q.Int(0) != 0;
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_KEY_DELETED : Fail(rc);
}

PathResult Store::Resolve(KeyId parent, const std::vector<std::string_view>& parts) {
  const auto path_key = [&] {
    std::string key = IdAnd(parent, {});
    for (std::string_view part : parts) {
      key += Fold(part);
      key += '\\';
    }
    return key;
  };
  return paths_.Get(cacheable_, path_key, [&] { return ResolveSql(parent, parts); });
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
    if (rc != SQLITE_DONE) return {Fail(rc), 0};
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

const ValueRecord& Store::QueryValue(KeyId key, std::string_view name) {
  const std::string fold = Fold(name);
  return values_.Get(cacheable_, [&] { return IdAnd(key, fold); },
                     [&] { return QueryValueSql(key, fold); });
}

ValueRecord Store::QueryValueSql(KeyId key, std::string_view fold) {
  ValueRecord record;
  Query q(stmts_.get_value.get());
  q.Bind(1, key).Bind(2, fold);
  const int rc = q.Step();
  if (rc == SQLITE_ROW) {
    record.type = static_cast<DWORD>(q.Int(0));
    record.data = q.Bytes(1);
  } else if (rc == SQLITE_DONE) {
    record.code = key == kRootId ? ERROR_FILE_NOT_FOUND : KeyState(key, nullptr);
    if (record.code == ERROR_SUCCESS) record.code = ERROR_FILE_NOT_FOUND;
  } else {
    record.code = Fail(rc);
  }
  return record;
}

template <typename Listing, typename AddRow>
Listing Store::ListSql(sqlite3_stmt* stmt, KeyId key, AddRow&& add_row) {
  Listing listing;
  bool empty = true;
  {
    Query q(stmt);
    q.Bind(1, key);
    int rc;
    for (; (rc = q.Step()) == SQLITE_ROW; empty = false) add_row(q, &listing);
    listing.code = Fail(rc);
  }
  // An empty listing may be a deleted key's.
  if (listing.code == ERROR_SUCCESS && empty && key != kRootId) {
    listing.code = KeyState(key, nullptr);
  }
  return listing;
}

const ValueListing& Store::Values(KeyId key) {
  return value_lists_.Get(cacheable_, [&] { return key; }, [&] {
    return ListSql<ValueListing>(stmts_.list_values.get(), key, [](const Query& q, auto* out) {
      out->entries.emplace_back(q.Bytes(0), static_cast<DWORD>(q.Int(1)));
    });
  });
}

LONG Store::AllValues(KeyId key,
                      const std::function<void(std::string_view, DWORD, std::string_view)>& each) {
  bool empty = true;
  int rc;
  {
    Query q(stmts_.all_values.get());
    q.Bind(1, key);
    for (; (rc = q.Step()) == SQLITE_ROW; empty = false) {
      each(q.View(0), static_cast<DWORD>(q.Int(1)), q.View(2));
    }
  }
  LONG code = Fail(rc);
  // None may mean a deleted key.
  if (code == ERROR_SUCCESS && empty && key != kRootId) code = KeyState(key, nullptr);
  return code;
}

const KeyListing& Store::Subkeys(KeyId key) {
  return key_lists_.Get(cacheable_, [&] { return key; }, [&] {
    KeyListing listing = ListSql<KeyListing>(
        stmts_.list_keys.get(), key,
        [](const Query& q, auto* out) { out->names.push_back(q.Bytes(0)); });
    // Sorted here rather than by the database, so that files written by any
    // version list in the same order.
    std::sort(listing.names.begin(), listing.names.end(), PlatformOrderLess);
    return listing;
  });
}

}  // namespace ps::platform::registry_internal
