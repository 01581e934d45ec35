// What the registry store needs from the operating system: its database file
// with the access the root promises, the cross-process change counter, and the
// boot id that ends volatile keys. Implemented per platform (linux_*.cc).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/registry/registry_service.h"

namespace ps::platform::registry_internal {

// Makes sure the database file at `path` exists, creating it and its folders
// when missing: owner-only (folder 0700, file 0600) when `private_to_owner`,
// otherwise readable by everyone (0755, 0644), whatever the umask. Modes are
// set only on what this call creates: an existing file keeps its owner's
// choice. *may_write tells whether this process may change the file (an owner's
// file without its owner-write bit is read-only, even to root).
//
// Only a folder and file that no other user can change are used: the file,
// its folder and every folder above must belong to this process's user or
// root and be writable by nobody else (folders above the registry's own may be
// sticky, as /tmp is), the file must not be a symbolic link, and links on the
// way must belong to a trusted user. Nothing is ever created in a folder that
// fails these checks. *real_path is the file's path without symbolic links:
// open it without following any.
//
// Returns ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when the file can be neither
// found nor created; ERROR_ACCESS_DENIED, with *problem saying why, for a
// folder or file that fails the checks; ERROR_DISK_FULL.
LONG PrepareDatabaseFile(const std::string& path, bool private_to_owner, std::string* real_path,
                         bool* may_write, std::string* problem);

// Whether a file exists at `path` and holds at least one byte.
bool HasContent(const std::string& path);

// Whether `path` is a file (not a symbolic link) that only this process's user
// or root can change and that belongs to one of them.
bool TrustedFile(const std::string& path);

// Makes the journal files of the database at `real_path` ("-wal", "-shm")
// private to their owner (0600), creating them when missing, so that no other
// user can open them, let alone hold a lock a writer would wait on. Call it
// before and after SQLite opens them.
void ProtectJournal(const std::string& real_path);

// Creates `path` empty with `mode` (whatever the umask), replacing what was
// there and never through a symbolic link. ERROR_DISK_FULL or
// ERROR_REGISTRY_IO_FAILED on failure.
LONG CreateFresh(const std::string& path, unsigned mode);

// Writes `bytes` at `offset` of the existing file `path`.
bool WriteAt(const std::string& path, long offset, const std::string& bytes);

// Puts `from` in the place of `to` in one step: whoever opens `to` gets the
// old file or the new one, whole.
bool ReplaceFile(const std::string& from, const std::string& to);

// The machine's current boot; it changes when the machine restarts.
std::string BootId();

// A lock shared by the processes that can open `path` for writing (the file
// is created owner-only when missing): no other user can ever hold it, so none
// can make its holders wait. Released when its holder ends, however it ends.
class OwnerLock {
 public:
  OwnerLock() = default;
  ~OwnerLock();
  OwnerLock(const OwnerLock&) = delete;
  OwnerLock& operator=(const OwnerLock&) = delete;

  bool Open(const std::string& path);
  // Wait for the lock, and give it back. Do nothing when not open.
  void Lock();
  void Unlock();

 private:
  int fd_ = -1;
};

// The change counter shared by every process that uses one database, kept in a
// small mapped file beside it. Writers call BeginChange() once they hold the
// database's write lock and EndChange() after the commit. Readers may trust
// what they cached while Load() returns the same even value it returned when
// they filled the cache. An odd value is a change under way, and allows no
// caching while its writer lives; a writer that died mid-change leaves it odd,
// and Abandoned() then lets readers cache again. Every BeginChange() moves the
// counter to a value it never had, so no reader mistakes a new change for the
// abandoned one.
class ChangeCounter {
 public:
  ChangeCounter() = default;
  ~ChangeCounter();
  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;

  // Maps `path`, creating it when `writable` with the access of the database
  // it counts for (see PrepareDatabaseFile). A writer's file has its space
  // reserved before it is mapped, so that a full disk is an error here
  // (ERROR_DISK_FULL) rather than a fault when the counter is written. Any
  // failure leaves it unmapped, and an unmapped counter always reads odd.
  LONG Open(const std::string& path, bool writable, bool private_to_owner);

  std::uint64_t Load() const { return word_ ? Word().load(std::memory_order_acquire) : 1; }
  // Takes the change lock (a lock on the file that lives as long as the
  // writer; never waited for) and makes the counter odd.
  void BeginChange();
  // Makes the counter even and releases the change lock.
  void EndChange();
  // Whether the odd value `seen` was left by a writer that is gone: nobody
  // holds the change lock and the counter still reads `seen`.
  bool Abandoned(std::uint64_t seen) const;

 private:
  void Close();
  std::atomic_ref<std::uint64_t> Word() const { return std::atomic_ref<std::uint64_t>(*word_); }

  std::uint64_t* word_ = nullptr;
  int fd_ = -1;
  bool writable_ = false;
};
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);

}  // namespace ps::platform::registry_internal
