// Imports: .reg files applied all or nothing through the registry functions.
#include "registry/reg_io.h"

#include <algorithm>
#include <functional>
#include <istream>
#include <iterator>
#include <new>
#include <vector>

#include "core/codepage.h"
#include "core/error.h"
#include "platform/registry/registry_batch.h"

namespace ps::reg {
namespace {

using namespace platform;

constexpr REGSAM kValueRights = KEY_QUERY_VALUE | KEY_SET_VALUE;

std::string Display(HKEY root, const std::string& path) { return KeyDisplayName(root, path); }

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
        KeyHandle key(service_);
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
    KeyHandle key(service_);
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
      KeyHandle key(service_);
      if (key.Open(root, path.substr(0, cut), KEY_QUERY_VALUE) == ERROR_FILE_NOT_FOUND) {
        return path.substr(0, cut);
      }
    }
    return path;
  }

  bool Write(const RegKeyOp& key, RegError* error) {
    KeyHandle handle(service_);
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
      // A C string would cut the name, and the call change another value.
      if (v.name.find('\0') != std::string::npos) {
        return Fail(error, v.line, ERROR_INVALID_PARAMETER, "value name with a NUL character");
      }
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

// Each root a file changes, with the first line that names it.
struct RootUse {
  HKEY root;
  int line;
};

void AddRoot(std::vector<RootUse>* roots, const RegKeyOp& section) {
  for (const RootUse& use : *roots) {
    if (use.root == section.root) return;
  }
  roots->push_back({section.root, section.line});
}

bool OutOfMemory(RegError* error, int line) {
  error->line = line;
  error->code = ERROR_OUTOFMEMORY;
  error->message = (line > 0 ? "line " + std::to_string(line) + ": " : "") + ErrorText(error->code);
  return false;
}

// Hands out a file's sections one at a time: false at the end, and on a
// problem (then error->code is set).
using NextSection = std::function<bool(const RegKeyOp** section, RegError* error)>;

// Applies every section `next` hands out through `journal`.
bool ApplyAll(Journal& journal, const NextSection& next, const std::vector<RootUse>& roots,
              RegError* error) {
  const RegKeyOp* section = nullptr;
  while (next(&section, error)) {
    const bool known = std::any_of(roots.begin(), roots.end(),
                                   [&](const RootUse& use) { return use.root == section->root; });
    // Only when the file changed between its check and now.
    if (!known) return Fail(error, section->line, ERROR_ACCESS_DENIED, "root not checked");
    if (!journal.Apply(*section, error)) return false;
  }
  return error->code == ERROR_SUCCESS;
}

bool ApplyAsBatch(RegistryService& service, RegistryBatch& batch, const NextSection& next,
                  const std::vector<RootUse>& roots, RegError* error) {
  ScopedRegistryBatch scope(&batch);
  for (const RootUse& use : roots) {
    if (LONG rc = batch.BeginBatch(use.root); rc != ERROR_SUCCESS) {
      Fail(error, 0, rc, "cannot change " + Display(use.root, ""));
      error->message += " Nothing was changed.";
      return false;
    }
  }
  Journal apply(service, false);
  bool applied = false;
  try {
    applied = ApplyAll(apply, next, roots, error);
  } catch (const std::bad_alloc&) {
    OutOfMemory(error, 0);
  }
  if (!applied) {
    error->message += " Nothing was changed.";
    return false;  // the scope throws the batch away
  }
  if (LONG rc = scope.Commit(); rc != ERROR_SUCCESS) {
    Fail(error, 0, rc, "cannot save the changes");
    error->message +=
        roots.size() > 1 ? " Some roots may keep their changes." : " Nothing was changed.";
    return false;
  }
  return true;
}

bool ApplyJournaled(RegistryService& service, const NextSection& next,
                    const std::vector<RootUse>& roots, RegError* error) {
  Journal journal(service, true);
  try {
    if (ApplyAll(journal, next, roots, error)) return true;
  } catch (const std::bad_alloc&) {
    OutOfMemory(error, 0);
  }
  bool undone = false;
  try {
    undone = journal.Undo();
  } catch (const std::bad_alloc&) {
  }
  error->message += undone ? " Nothing was changed."
                           : " Undoing the changes made so far failed too: part of the file "
                             "remains applied.";
  return false;
}

// Applies the sections `next` hands out, which change `roots`: all or
// nothing (see reg_io.h).
bool ApplySections(RegistryService& service, const std::vector<RootUse>& roots,
                   const NextSection& next, RegError* error) {
  *error = RegError();
  // Write access to each root first: a root is opened for writing with an
  // empty path, which creates nothing.
  for (const RootUse& use : roots) {
    KeyHandle probe(service);
    if (LONG rc = probe.Create(use.root, "", KEY_WRITE); rc != ERROR_SUCCESS) {
      Fail(error, use.line, rc, "cannot change " + Display(use.root, ""));
      error->message += " Nothing was changed.";
      return false;
    }
  }
  // A registry that batches makes the import one transaction per root.
  if (auto* batch = dynamic_cast<RegistryBatch*>(&service)) {
    return ApplyAsBatch(service, *batch, next, roots, error);
  }
  return ApplyJournaled(service, next, roots, error);
}

// Reads `reader` twice: to check the whole file, then to apply it.
bool Import(RegistryService& service, RegReader& reader, RegError* error, std::string* note) {
  std::vector<RootUse> roots;
  try {
    RegKeyOp section;
    while (reader.Next(&section, error)) AddRoot(&roots, section);
    if (reader.failed() || !reader.Restart(error)) return false;
  } catch (const std::bad_alloc&) {
    return OutOfMemory(error, reader.line());
  }
  if (note) *note = reader.note();
  RegKeyOp section;
  return ApplySections(
      service, roots,
      [&](const RegKeyOp** out, RegError* e) {
        *out = &section;
        try {
          return reader.Next(&section, e);
        } catch (const std::bad_alloc&) {
          return OutOfMemory(e, reader.line());
        }
      },
      error);
}

}  // namespace

bool ApplyRegFile(RegistryService& service, const RegFile& file, RegError* error) {
  std::vector<RootUse> roots;
  for (const RegKeyOp& key : file.keys) AddRoot(&roots, key);
  auto it = file.keys.begin();
  return ApplySections(
      service, roots,
      [&](const RegKeyOp** out, RegError*) {
        if (it == file.keys.end()) return false;
        *out = &*it++;
        return true;
      },
      error);
}

bool ImportRegFile(RegistryService& service, std::string_view bytes, RegError* error,
                   std::string* note) {
  RegReader reader(bytes);
  return Import(service, reader, error, note);
}

bool ImportRegStream(RegistryService& service, std::istream& in, RegError* error,
                     std::string* note) {
  if (in.tellg() < 0) {  // cannot be read twice: kept in memory
    std::string bytes;
    try {
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::bad_alloc&) {
      return OutOfMemory(error, 0);
    }
    return ImportRegFile(service, bytes, error, note);
  }
  RegReader reader(in);
  return Import(service, reader, error, note);
}

}  // namespace ps::reg
