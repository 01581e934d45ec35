// Reading, deleting and exporting key trees through the registry functions.
#include "registry/reg_io.h"

#include "core/codepage.h"
#include "core/error.h"

namespace ps::reg {
namespace {

using namespace platform;

// Leaves every key of a tree after the keys below it: deletes it.
class TreeDeleter final : public TreeVisitor {
 public:
  explicit TreeDeleter(RegistryService& service) : service_(service) {}
  LONG Leave(HKEY parent, const std::string& name) override {
    const LONG rc = service_.RegDeleteKeyA(parent, name.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;  // deleted meanwhile
  }

 private:
  RegistryService& service_;
};

// Enters every key of a tree: reads its values.
class TreeReader final : public TreeVisitor {
 public:
  TreeReader(RegistryService& service, HKEY root, RegFile* out)
      : service_(service), root_(root), out_(out) {}
  LONG Enter(HKEY key, const std::string& path) override {
    RegKeyOp op;
    op.root = root_;
    op.path = path;
    if (LONG rc = ReadValues(service_, key, &op); rc != ERROR_SUCCESS) return rc;
    out_->keys.push_back(std::move(op));
    return ERROR_SUCCESS;
  }

 private:
  RegistryService& service_;
  HKEY root_;
  RegFile* out_;
};

}  // namespace

std::string KeyDisplayName(HKEY root, const std::string& path) {
  return ToUtf8(RootName(root)) + (path.empty() ? "" : "\\" + ToUtf8(FromCodePage(path)));
}

LONG ReadTree(RegistryService& service, HKEY root, const std::string& path, RegFile* out) {
  TreeReader reader(service, root, out);
  return WalkTree(service, root, path, KEY_READ, reader);
}

LONG DeleteTree(RegistryService& service, HKEY root, const std::string& path) {
  if (path.empty()) return ERROR_ACCESS_DENIED;  // never a whole root
  TreeDeleter deleter(service);
  return WalkTree(service, root, path, KEY_READ, deleter);
}

bool ExportTree(RegistryService& service, HKEY root, const std::string& path, std::string* bytes,
                RegError* error) {
  RegFile file;
  if (LONG rc = ReadTree(service, root, path, &file); rc != ERROR_SUCCESS) {
    error->line = 0;
    error->code = rc;
    error->message = "cannot read " + KeyDisplayName(root, path) + ": " + ErrorText(rc);
    return false;
  }
  for (const RegKeyOp& key : file.keys) {
    if (key.path.find_first_of("\r\n") == std::string::npos) continue;
    std::string shown = KeyDisplayName(root, key.path);
    for (std::size_t at = 0; (at = shown.find_first_of("\r\n", at)) != std::string::npos;) {
      shown.replace(at, 1, shown[at] == '\r' ? "\\r" : "\\n");
    }
    error->line = 0;
    error->code = ERROR_INVALID_PARAMETER;
    error->message = "cannot export " + shown +
                     ": its name holds a line break (shown as \\r or \\n), which a .reg file "
                     "cannot carry; rename or delete that key, or export the keys beside it";
    return false;
  }
  *bytes = WriteRegFile(file);
  return true;
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
