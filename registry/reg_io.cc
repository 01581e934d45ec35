#include "registry/reg_io.h"

#include <algorithm>
#include <vector>

#include "core/codepage.h"
#include "core/error.h"
#include "platform/registry/registry_batch.h"

namespace ps::reg {
namespace {

using namespace platform;

constexpr REGSAM kValueRights = KEY_QUERY_VALUE | KEY_SET_VALUE;
// Key names are at most 255 bytes, value names at most 16,383.
constexpr std::size_t kMaxKeyNameBuffer = 256;
constexpr std::size_t kMaxValueNameBuffer = 16384;

// One open key; closes it at the end of the scope. Predefined roots, which
// the registry hands back for an empty path, are never closed.
class Key {
 public:
  explicit Key(RegistryService& service) : service_(service) {}
  ~Key() { Close(); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  LONG Open(HKEY root, const std::string& path, REGSAM rights) {
    Close();
    return service_.RegOpenKeyExA(root, path.c_str(), 0, rights, &handle_);
  }
  LONG Create(HKEY root, const std::string& path, REGSAM rights) {
    Close();
    DWORD disposition = 0;
    return service_.RegCreateKeyExA(root, path.c_str(), 0, "", REG_OPTION_NON_VOLATILE, rights,
                                    nullptr, &handle_, &disposition);
  }
  void Close() {
    if (handle_ > 0) service_.RegCloseKey(handle_);
    handle_ = 0;
  }
  HKEY get() const { return handle_; }

 private:
  RegistryService& service_;
  HKEY handle_ = 0;
};

std::string Join(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "\\" + name;
}

// The value's type and data; false when it does not exist.
LONG QueryValue(RegistryService& service, HKEY key, const std::string& name, DWORD* type,
                std::string* data) {
  for (;;) {
    DWORD size = 0;
    LONG rc = service.RegQueryValueExA(key, name.c_str(), nullptr, type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    data->resize(size);
    rc = service.RegQueryValueExA(key, name.c_str(), nullptr, type,
                                  reinterpret_cast<unsigned char*>(data->data()), &size);
    if (rc == ERROR_MORE_DATA) continue;  // grew in between
    data->resize(size);
    return rc;
  }
}

std::string Display(HKEY root, const std::string& path) {
  return ToUtf8(RootName(root)) + (path.empty() ? "" : "\\" + ToUtf8(FromCodePage(path)));
}

bool Fail(RegError* error, int line, LONG code, const std::string& what) {
  error->line = line;
  error->code = code;
  error->message =
      (line > 0 ? "line " + std::to_string(line) + ": " : "") + what + ": " + ErrorText(code);
  return false;
}

// Applies key sections and keeps what it needs to undo them.
class Journal {
 public:
  Journal(RegistryService& service, bool record) : service_(service), record_(record) {}

  bool Apply(const RegKeyOp& key, RegError* error) {
    return key.remove ? Remove(key, error) : Write(key, error);
  }

  // Plays the journal backwards; false when some step failed.
  bool Undo() {
    bool ok = true;
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
      LONG rc = ERROR_SUCCESS;
      if (it->kind == Entry::kValue) {
        Key key(service_);
        rc = key.Open(it->root, it->path, kValueRights);
        if (rc == ERROR_SUCCESS && it->existed) {
          rc = SetValue(key.get(), it->name, it->type, it->data);
        } else if (rc == ERROR_SUCCESS) {
          rc = service_.RegDeleteValueA(key.get(), it->name.c_str());
          if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        }
      } else if (it->kind == Entry::kKeyValues) {
        rc = RestoreValues(*it);
      } else {
        rc = DeleteTree(service_, it->root, it->path);
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        if (rc == ERROR_SUCCESS && it->kind == Entry::kDeletedTree) {
          Journal restore(service_, false);
          RegError ignored;  // the undo's own outcome is rc
          for (const RegKeyOp& k : it->tree.keys) {
            if (!restore.Apply(k, &ignored)) rc = ignored.code;
          }
        }
      }
      ok = ok && rc == ERROR_SUCCESS;
    }
    entries_.clear();
    return ok;
  }

 private:
  struct Entry {
    enum Kind { kValue, kKeyValues, kCreatedKey, kDeletedTree };
    Entry(Kind k, HKEY r, std::string p) : kind(k), root(r), path(std::move(p)) {}
    Kind kind;
    HKEY root;
    std::string path;
    bool existed = false;
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
    RegFile tree;
  };

  LONG SetValue(HKEY key, const std::string& name, DWORD type, const std::string& data) {
    return service_.RegSetValueExA(key, name.c_str(), 0, type,
                                   reinterpret_cast<const unsigned char*>(data.data()),
                                   static_cast<DWORD>(data.size()));
  }

  // Puts back exactly the values of the entry's copy, in their order.
  LONG RestoreValues(const Entry& entry) {
    Key key(service_);
    LONG rc = key.Open(entry.root, entry.path, KEY_READ | KEY_SET_VALUE);
    RegKeyOp now;
    if (rc == ERROR_SUCCESS) rc = ReadValues(service_, key.get(), &now);
    for (const RegValueOp& v : now.values) {
      if (rc == ERROR_SUCCESS) rc = service_.RegDeleteValueA(key.get(), v.name.c_str());
    }
    for (const RegValueOp& v : entry.tree.keys.front().values) {
      if (rc == ERROR_SUCCESS) rc = SetValue(key.get(), v.name, v.type, v.data);
    }
    return rc;
  }

  bool Remove(const RegKeyOp& key, RegError* error) {
    Entry entry(Entry::kDeletedTree, key.root, key.path);
    LONG rc = ReadTree(service_, key.root, key.path, &entry.tree);
    if (rc == ERROR_FILE_NOT_FOUND) return true;  // already gone
    if (rc != ERROR_SUCCESS)
      return Fail(error, key.line, rc, "cannot read " + Display(key.root, key.path));
    if (record_) entries_.push_back(std::move(entry));
    rc = DeleteTree(service_, key.root, key.path);
    if (rc != ERROR_SUCCESS)
      return Fail(error, key.line, rc, "cannot delete " + Display(key.root, key.path));
    return true;
  }

  // The shortest prefix of `path` that does not exist.
  std::string FirstMissing(HKEY root, const std::string& path) {
    for (std::size_t cut = path.find('\\'); cut != std::string::npos;
         cut = path.find('\\', cut + 1)) {
      Key key(service_);
      if (key.Open(root, path.substr(0, cut), KEY_QUERY_VALUE) == ERROR_FILE_NOT_FOUND) {
        return path.substr(0, cut);
      }
    }
    return path;
  }

  bool Write(const RegKeyOp& key, RegError* error) {
    Key handle(service_);
    LONG rc = handle.Open(key.root, key.path, kValueRights);
    const bool created = rc == ERROR_FILE_NOT_FOUND;
    if (created) {
      if (record_)
        entries_.emplace_back(Entry::kCreatedKey, key.root, FirstMissing(key.root, key.path));
      rc = handle.Create(key.root, key.path, kValueRights);
    }
    if (rc != ERROR_SUCCESS)
      return Fail(error, key.line, rc, "cannot open " + Display(key.root, key.path));
    // A value deleted and set again moves to the end of the enumeration, so
    // a section that deletes values is undone from a copy of the whole key.
    const bool deletes = std::any_of(key.values.begin(), key.values.end(),
                                     [](const RegValueOp& v) { return v.remove; });
    if (record_ && !created && deletes) {
      Entry entry(Entry::kKeyValues, key.root, key.path);
      entry.tree.keys.emplace_back();
      rc = ReadValues(service_, handle.get(), &entry.tree.keys.back());
      if (rc != ERROR_SUCCESS)
        return Fail(error, key.line, rc, "cannot read " + Display(key.root, key.path));
      entries_.push_back(std::move(entry));
    }
    for (const RegValueOp& v : key.values) {
      if (record_ && !created && !deletes) {
        Entry entry(Entry::kValue, key.root, key.path);
        entry.name = v.name;
        rc = QueryValue(service_, handle.get(), v.name, &entry.type, &entry.data);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
          return Fail(error, v.line, rc,
                      "cannot read value '" + ToUtf8(FromCodePage(v.name)) + "'");
        }
        entry.existed = rc == ERROR_SUCCESS;
        entries_.push_back(std::move(entry));
      }
      if (v.remove) {
        rc = service_.RegDeleteValueA(handle.get(), v.name.c_str());
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
      } else {
        rc = SetValue(handle.get(), v.name, v.type, v.data);
      }
      if (rc != ERROR_SUCCESS) {
        return Fail(error, v.line, rc,
                    std::string(v.remove ? "cannot delete" : "cannot set") + " value '" +
                        ToUtf8(FromCodePage(v.name)) + "' in " + Display(key.root, key.path));
      }
    }
    return true;
  }

  RegistryService& service_;
  const bool record_;
  std::vector<Entry> entries_;
};

bool ApplyAsBatch(RegistryService& service, RegistryBatch& batch, const RegFile& file,
                  const std::vector<HKEY>& roots, RegError* error) {
  ScopedRegistryBatch scope(&batch);
  for (HKEY root : roots) {
    if (LONG rc = batch.BeginBatch(root); rc != ERROR_SUCCESS) {
      Fail(error, 0, rc, "cannot change " + Display(root, ""));
      error->message += " Nothing was changed.";
      return false;
    }
  }
  Journal apply(service, false);
  for (const RegKeyOp& key : file.keys) {
    if (!apply.Apply(key, error)) {
      error->message += " Nothing was changed.";
      return false;  // the scope throws the batch away
    }
  }
  if (LONG rc = scope.Commit(); rc != ERROR_SUCCESS) {
    Fail(error, 0, rc, "cannot save the changes");
    error->message += roots.size() > 1 ? " Some roots may keep their changes."
                                       : " Nothing was changed.";
    return false;
  }
  return true;
}

}  // namespace

LONG SubkeyNames(RegistryService& service, HKEY key, std::vector<std::string>* names) {
  char name[kMaxKeyNameBuffer];
  for (DWORD i = 0;; ++i) {
    const LONG rc = service.RegEnumKeyA(key, i, name, sizeof name);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    names->emplace_back(name);
  }
}

LONG ReadValues(RegistryService& service, HKEY key, RegKeyOp* op) {
  std::string name(kMaxValueNameBuffer, '\0');
  std::string data(4096, '\0');
  for (DWORD i = 0;;) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    const LONG rc =
        service.RegEnumValueA(key, i, name.data(), &name_size, nullptr, &type,
                              reinterpret_cast<unsigned char*>(data.data()), &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA && data_size > data.size()) {
      data.resize(data_size);
      continue;
    }
    if (rc != ERROR_SUCCESS) return rc;
    op->values.push_back({0, false, name.substr(0, name_size), type, data.substr(0, data_size)});
    ++i;
  }
  return ERROR_SUCCESS;
}

LONG ReadTree(RegistryService& service, HKEY root, const std::string& path, RegFile* out) {
  std::vector<std::string> subkeys;
  {
    Key key(service);
    if (LONG rc = key.Open(root, path, KEY_READ); rc != ERROR_SUCCESS) return rc;
    RegKeyOp op;
    op.root = root;
    op.path = path;
    if (LONG rc = ReadValues(service, key.get(), &op); rc != ERROR_SUCCESS) return rc;
    if (LONG rc = SubkeyNames(service, key.get(), &subkeys); rc != ERROR_SUCCESS) return rc;
    out->keys.push_back(std::move(op));
  }
  for (const std::string& sub : subkeys) {
    if (LONG rc = ReadTree(service, root, Join(path, sub), out); rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

LONG DeleteTree(RegistryService& service, HKEY root, const std::string& path) {
  if (path.empty()) return ERROR_ACCESS_DENIED;  // never a whole root
  std::vector<std::string> subkeys;
  {
    Key key(service);
    if (LONG rc = key.Open(root, path, KEY_READ); rc != ERROR_SUCCESS) return rc;
    if (LONG rc = SubkeyNames(service, key.get(), &subkeys); rc != ERROR_SUCCESS) return rc;
  }
  for (const std::string& sub : subkeys) {
    const LONG rc = DeleteTree(service, root, Join(path, sub));
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  return service.RegDeleteKeyA(root, path.c_str());
}

bool ExportTree(RegistryService& service, HKEY root, const std::string& path, std::string* bytes,
                RegError* error) {
  RegFile file;
  if (LONG rc = ReadTree(service, root, path, &file); rc != ERROR_SUCCESS) {
    return Fail(error, 0, rc, "cannot read " + Display(root, path));
  }
  *bytes = WriteRegFile(file);
  return true;
}

bool ApplyRegFile(RegistryService& service, const RegFile& file, RegError* error) {
  // Write access to each root first: a root is opened for writing with an
  // empty path, which creates nothing.
  std::vector<HKEY> checked;
  for (const RegKeyOp& key : file.keys) {
    if (std::find(checked.begin(), checked.end(), key.root) != checked.end()) continue;
    Key probe(service);
    if (LONG rc = probe.Create(key.root, "", KEY_WRITE); rc != ERROR_SUCCESS) {
      Fail(error, key.line, rc, "cannot change " + Display(key.root, ""));
      error->message += " Nothing was changed.";
      return false;
    }
    checked.push_back(key.root);
  }
  // A registry that batches makes the import one transaction per root.
  if (auto* batch = dynamic_cast<RegistryBatch*>(&service)) {
    return ApplyAsBatch(service, *batch, file, checked, error);
  }
  Journal journal(service, true);
  for (const RegKeyOp& key : file.keys) {
    if (journal.Apply(key, error)) continue;
    error->message += journal.Undo() ? " Nothing was changed."
                                     : " Undoing the changes made so far failed too: part of the "
                                       "file remains applied.";
    return false;
  }
  return true;
}

bool ImportRegFile(RegistryService& service, std::string_view bytes, RegError* error) {
  RegFile file;
  return ParseRegFile(bytes, &file, error) && ApplyRegFile(service, file, error);
}

std::string ErrorText(LONG code) {
  switch (code) {
    case ERROR_SUCCESS:
      return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND:
      return "The system was unable to find the specified registry key or value.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_HANDLE:
      return "The handle is invalid (this root key is not available).";
    case ERROR_OUTOFMEMORY:
      return "Not enough memory resources are available to complete this operation.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_DISK_FULL:
      return "There is not enough space on the disk.";
    case ERROR_BAD_PATHNAME:
      return "The specified path is invalid.";
    case ERROR_BUSY:
      return "The requested resource is in use.";
    case ERROR_MORE_DATA:
      return "More data is available.";
    case ERROR_BADKEY:
      return "The configuration registry key is invalid.";
    case ERROR_REGISTRY_IO_FAILED:
      return "An I/O operation initiated by the registry failed.";
    case ERROR_KEY_DELETED:
      return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_CHILD_MUST_BE_VOLATILE:
      return "Cannot create a stable subkey under a volatile parent key.";
    default:
      return "Error " + std::to_string(code) + ".";
  }
}

}  // namespace ps::reg
