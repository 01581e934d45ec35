// The registry, kept in SQLite so that it outlives the process as the
// platform's own does.
//
// Storage: one database per root.
//   HKEY_CURRENT_USER  -> $XDG_DATA_HOME/pingsweep/HKEY_CURRENT_USER.db
//                         ($XDG_DATA_HOME defaults to ~/.local/share; folder
//                         0700, files 0600)
//   HKEY_LOCAL_MACHINE -> /var/lib/pingsweep/HKEY_LOCAL_MACHINE.db
//                         (folder 0755, files 0644: everyone reads, root alone
//                         may change it)
// PINGSWEEP_REGISTRY_DIR=<dir> puts both files into <dir> instead. Other
// predefined roots (HKEY_CLASSES_ROOT, HKEY_USERS, ...) are not supported:
// they answer ERROR_INVALID_HANDLE.
//
// Safety: a root's files are used only in a folder no other user can change
// (the folder and every folder above it belong to the user or root and only
// they may write them; folders above may be sticky, as /tmp is), are never
// symbolic links, and belong to the user or root. Otherwise every call on
// that root answers ERROR_ACCESS_DENIED, one line on standard error says why,
// and nothing is created there: a root process run with a user's environment
// leaves no file in that user's folders.
//
// Roots others read (HKEY_LOCAL_MACHINE): no other user can delay a change.
// The journal files are the owner's alone (0600), and after each change the
// writer publishes "<file>-snapshot" (0644), a copy put in place in one step
// (writers publish in turn, under "<file>-snapshot.lock", 0600). A process
// that may not change the root reads the latest snapshot with no lock at all,
// and opens the next one when the change counter moves: during a change it
// sees the root as it was before, and the change from the moment it is
// committed and published. Without a snapshot (a root no newer writer has
// opened yet) it reads the database itself. Each change of such a root costs
// a copy of its database.
//
// Access is the file system's: a process that cannot write a root's database
// reads what is there and gets ERROR_ACCESS_DENIED for every change, including
// an open or create that asks for a right to change.
//
// Durability and concurrency: WAL journal with synchronous=NORMAL; every call
// that changes something is one IMMEDIATE transaction committed before the
// call returns, so a change that returned ERROR_SUCCESS survives a crash or a
// kill of the process (not a power cut: that would need synchronous=FULL and
// an fsync per change). Writers from several processes queue on SQLite's lock
// with a 30 s busy timeout; a call that still cannot get the lock returns
// ERROR_BUSY and changes nothing.
//
// Space: a change that leaves a megabyte or more of the database free gives
// it back to the file system (incremental vacuum, then the journal is emptied
// and truncated); a database made before this switches over, with one full
// rebuild, the first time. The journal is cut back to 4 MiB after checkpoints.
//
// Caching: each database has a companion "<file>-gen" mapped into every
// process, holding a change counter that writers make odd before they change
// the database and advance after the commit. Lookups (key paths, values,
// listings) are cached per process while the counter stays at the same even
// value, so repeated reads and opens run no SQL and still see every change
// another process has acknowledged. A writer killed mid-change leaves the
// counter odd; readers find that no writer holds the change lock (a lock on
// the counter's file that ends with its holder) and cache again.
//
// Enumeration order: subkeys by name as the platform orders them, compared
// case-insensitively by the upper-cased UTF-16 code units of the name ("_x"
// after "apps", the euro sign after every Latin-1 letter), in files written by
// any version; values in creation order (a
// value that is overwritten keeps its place; one deleted and set again moves
// to the end).
//
// Names: case-insensitive for the letters of Windows-1252, case-preserving
// (the case of the first creation is kept). Key names are at most 255 bytes
// and value names at most 16,383, and keys at most 512 levels below their
// root (longer, or deeper: ERROR_INVALID_PARAMETER). A path
// with a leading backslash is refused (ERROR_BAD_PATHNAME); repeated and
// trailing backslashes are accepted.
//
// Volatile keys (REG_OPTION_VOLATILE) are stored like the others and removed
// when a writable database is first opened after the machine restarted (the
// kernel's boot id changed). A non-volatile key cannot be created below a
// volatile one (ERROR_CHILD_MUST_BE_VOLATILE).
//
// Handles are small positive multiples of 4, each open gets one not held by
// another open key, and a closed handle's number is given again only after
// 1024 further closes (so a stale handle is refused for a while rather than
// landing on another key). A key deleted while open leaves its handles answering
// ERROR_KEY_DELETED. A damaged database answers every call with
// ERROR_REGISTRY_CORRUPT, a file that cannot be read or written as it must with
// ERROR_REGISTRY_IO_FAILED (a full disk: ERROR_DISK_FULL), and the first such
// failure prints one line naming the file on standard error. A database in a
// read-only folder (a read-only mount, or a folder without write permission)
// without its journal files is read as it is.
//
// Sizes: a value larger than a database row may hold (SQLite's length limit,
// 1,000,000,000 bytes unless built otherwise, less its name) is refused with
// ERROR_OUTOFMEMORY before its data is read, as the platform refuses what its
// memory cannot hold; nothing changes.
//
// The implementation reads in this order: registry_names.h (names, paths,
// rights), registry_store.h with registry_store.cc, registry_lookups.cc and
// registry_changes.cc and registry_snapshot.cc (one root's database, its
// caches and its published snapshot), registry_files.h
// with its backend linux_registry_files.cc (file modes, the change counter,
// the boot id), and sqlite_registry.cc (the handle table and the nine calls).
#pragma once

#include <memory>
#include <string>

#include "platform/registry/registry_batch.h"
#include "platform/registry/registry_bulk_read.h"
#include "platform/registry/registry_service.h"

namespace ps::platform {

// Batches (registry_batch.h): each root in a batch is one IMMEDIATE
// transaction from BeginBatch() to the end, holding that root's write lock
// throughout; each change inside it is a savepoint, so its return code and its
// own failure are as without a batch. The change counter turns odd once and
// moves once, and a published snapshot is written once, at the commit. A
// process killed mid-batch leaves nothing of it. Roots commit one after the
// other (not atomically together).
class SqliteRegistry final : public RegistryService,
                             public RegistryBatch,
                             public RegistryBulkRead {
 public:
  static constexpr char kDirVariable[] = "PINGSWEEP_REGISTRY_DIR";

  // Database files of the two supported roots.
  struct Location {
    std::string current_user;
    std::string local_machine;
  };
  // The files named above, honouring PINGSWEEP_REGISTRY_DIR.
  static Location DefaultLocation();
  // Both files in `dir`.
  static Location LocationIn(const std::string& dir);

  // Opens nothing yet: each root's database is opened (and created when
  // allowed) on first use.
  explicit SqliteRegistry(Location location);
  ~SqliteRegistry() override;
  SqliteRegistry(const SqliteRegistry&) = delete;
  SqliteRegistry& operator=(const SqliteRegistry&) = delete;

  LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, const char* lpClass,
                       DWORD dwOptions, REGSAM samDesired,
                       const SECURITY_ATTRIBUTES* lpSecurityAttributes, HKEY* phkResult,
                       DWORD* lpdwDisposition) override;
  LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired,
                     HKEY* phkResult) override;
  LONG RegCloseKey(HKEY hKey) override;
  LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType,
                        unsigned char* lpData, DWORD* lpcbData) override;
  LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType,
                      const unsigned char* lpData, DWORD cbData) override;
  LONG RegDeleteValueA(HKEY hKey, const char* lpValueName) override;
  LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName,
                     DWORD* lpReserved, DWORD* lpType, unsigned char* lpData,
                     DWORD* lpcbData) override;
  LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) override;
  LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey) override;

  LONG BeginBatch(HKEY root) override;
  LONG CommitBatch() override;
  void AbortBatch() override;

  LONG ReadAllValues(HKEY key, const std::function<void(std::string_view, DWORD,
                                                         std::string_view)>& each) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ps::platform
