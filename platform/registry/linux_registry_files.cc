// The registry store's files on Linux: modes, a mapped change counter, and the
// kernel's boot id.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "platform/registry/registry_files.h"

namespace ps::platform::registry_internal {
namespace {

constexpr std::size_t kCounterFileSize = 4096;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

mode_t FileMode(bool private_to_owner) { return private_to_owner ? 0600 : 0644; }

std::string ParentDirectory(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool TrustedOwner(uid_t uid) { return uid == ::geteuid() || uid == 0; }

// Why a folder or file may not hold a registry, or nullptr when it may: it
// must belong to this process's user or root and be changeable by nobody else.
// A sticky folder above the registry's own lets others add names but not
// touch ours, so `sticky_will_do` accepts it.
const char* Distrust(const struct stat& st, bool sticky_will_do) {
  if (!TrustedOwner(st.st_uid)) return "belongs to another user";
  const bool others_write =
      (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid());
  const bool sticky = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
  if (others_write && !(sticky_will_do && sticky)) return "may be changed by other users";
  return nullptr;
}

// Checks the existing folder `dir` and every folder above it, and sets *real
// to its path without symbolic links (the links on the way must be a trusted
// user's). ERROR_FILE_NOT_FOUND when it does not exist, ERROR_ACCESS_DENIED
// with *problem set when it may not be trusted.
LONG CheckFolder(const std::string& dir, bool registry_folder, std::string* real,
                 std::string* problem) {
  for (std::size_t end = 1; end <= dir.size(); ++end) {
    if (end != dir.size() && dir[end] != '/') continue;
    const std::string prefix = dir.substr(0, end);
    struct stat st;
    if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !TrustedOwner(st.st_uid)) {
      *problem = "folder " + dir + ": the link " + prefix + " belongs to another user";
      return ERROR_ACCESS_DENIED;
    }
  }
  char* resolved = ::realpath(dir.c_str(), nullptr);
  if (resolved == nullptr) return ERROR_FILE_NOT_FOUND;
  *real = resolved;
  std::free(resolved);
  std::string path = *real;
  for (bool own = registry_folder;; own = false) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    if (const char* why = Distrust(st, !own)) {
      *problem = "folder " + path + " " + why;
      return ERROR_ACCESS_DENIED;
    }
    if (path == "/") return ERROR_SUCCESS;
    path = ParentDirectory(path);
    if (path.empty()) path = "/";
  }
}

// Creates the missing folders of `dir` with `mode`, each inside a folder
// CheckFolder trusts: nothing is ever created in another user's folder.
LONG MakeDirectories(const std::string& dir, mode_t mode, std::string* problem) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    std::string real;
    return CheckFolder(dir, false, &real, problem);
  }
  if (const std::string parent = ParentDirectory(dir); !parent.empty()) {
    if (LONG rc = MakeDirectories(parent, mode, problem); rc != ERROR_SUCCESS) return rc;
  }
  if (::mkdir(dir.c_str(), mode) == 0) {
    return ::chmod(dir.c_str(), mode) == 0 ? ERROR_SUCCESS
                                           : ERROR_FILE_NOT_FOUND;  // not the umask's
  }
  return errno == EEXIST ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

}  // namespace

LONG PrepareDatabaseFile(const std::string& path, bool private_to_owner, std::string* real_path,
                         bool* may_write, std::string* problem) {
  const mode_t file_mode = FileMode(private_to_owner);
  const std::string dir = path.find('/') == std::string::npos ? "." : ParentDirectory(path);
  const std::string name = path.substr(path.find_last_of('/') + 1);
  std::string real_dir;
  LONG rc = CheckFolder(dir.empty() ? "/" : dir, true, &real_dir, problem);
  if (rc == ERROR_FILE_NOT_FOUND) {
    rc = MakeDirectories(dir, private_to_owner ? 0700 : 0755, problem);
    if (rc == ERROR_SUCCESS) rc = CheckFolder(dir, true, &real_dir, problem);
  }
  if (rc != ERROR_SUCCESS) return rc;
  *real_path = (real_dir == "/" ? "" : real_dir) + "/" + name;
  struct stat st;
  if (::lstat(real_path->c_str(), &st) != 0) {
    FileDescriptor fd(
        ::open(real_path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode));
    if (fd.get() >= 0) {
      // The umask must not widen or narrow what the root promises.
      if (::fchmod(fd.get(), file_mode) != 0) return ERROR_REGISTRY_IO_FAILED;
    } else if (errno == ENOSPC || errno == EDQUOT) {
      return ERROR_DISK_FULL;
    } else if (errno != EEXIST) {
      return ERROR_FILE_NOT_FOUND;
    }
    if (::lstat(real_path->c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
  }
  const char* why = S_ISLNK(st.st_mode)    ? "is a symbolic link"
                    : !S_ISREG(st.st_mode) ? "is not a file"
                                           : Distrust(st, false);
  if (why != nullptr) {
    *problem = "file " + path + " " + why;
    return ERROR_ACCESS_DENIED;
  }
  // Whoever may write the file changes the root; everyone else reads it. An
  // owner who took the write bit away meant it, root included.
  *may_write = ::faccessat(AT_FDCWD, real_path->c_str(), W_OK, AT_EACCESS) == 0 &&
               (st.st_uid != ::geteuid() || (st.st_mode & S_IWUSR) != 0);
  return ERROR_SUCCESS;
}

bool HasContent(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

bool TrustedFile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && Distrust(st, false) == nullptr;
}

void ProtectJournal(const std::string& real_path) {
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string path = real_path + suffix;
    // SQLite gives an empty journal file the database's mode when it opens
    // it: a new one starts with one byte (which it reads as no journal).
    FileDescriptor made(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (made.get() >= 0) {
      if (::write(made.get(), "", 1) != 1) ::fchmod(made.get(), 0600);
      continue;
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 && st.st_uid == ::geteuid() &&
        (st.st_mode & 077) != 0) {
      ::fchmod(fd.get(), 0600);
    }
  }
}

LONG CreateFresh(const std::string& path, unsigned mode) {
  ::unlink(path.c_str());
  FileDescriptor fd(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777));
  if (fd.get() < 0) {
    return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_REGISTRY_IO_FAILED;
  }
  return ::fchmod(fd.get(), mode & 0777) == 0 ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

bool WriteAt(const std::string& path, long offset, const std::string& bytes) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  return fd.get() >= 0 && ::pwrite(fd.get(), bytes.data(), bytes.size(), offset) ==
                              static_cast<ssize_t>(bytes.size());
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string BootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
}

OwnerLock::~OwnerLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool OwnerLock::Open(const std::string& path) {
  if (fd_ >= 0) return true;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  return fd_ >= 0;
}

void OwnerLock::Lock() {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  while (fd_ >= 0 && ::fcntl(fd_, F_OFD_SETLKW, &lock) != 0 && errno == EINTR) {
  }
}

void OwnerLock::Unlock() {
  struct flock lock = {};
  lock.l_type = F_UNLCK;
  if (fd_ >= 0) ::fcntl(fd_, F_OFD_SETLK, &lock);
}

ChangeCounter::~ChangeCounter() { Close(); }

void ChangeCounter::Close() {
  if (word_ != nullptr) ::munmap(word_, kCounterFileSize);
  if (fd_ >= 0) ::close(fd_);
  word_ = nullptr;
  fd_ = -1;
  writable_ = false;
}

namespace {

// The change lock: the first byte of the counter's file, locked for writing
// through the writer's own open file (so it ends with the writer however it
// ends). Anyone who may read the file may hold a read lock there too; a writer
// that finds one goes on without the lock rather than wait.
bool ChangeLock(int fd, short type, int command) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return ::fcntl(fd, command, &lock) == 0;
}

}  // namespace

void ChangeCounter::BeginChange() {
  if (!writable_) return;
  ChangeLock(fd_, F_WRLCK, F_OFD_SETLK);
  const std::uint64_t now = Word().load(std::memory_order_acquire);
  Word().store(now + ((now & 1) ? 2 : 1), std::memory_order_release);
}

void ChangeCounter::EndChange() {
  if (!writable_) return;
  Word().fetch_add(1, std::memory_order_acq_rel);
  ChangeLock(fd_, F_UNLCK, F_OFD_SETLK);
}

bool ChangeCounter::Abandoned(std::uint64_t seen) const {
  if (word_ == nullptr) return false;
  // Asks for a read lock's conflicts: only a writer's lock counts.
  struct flock lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  if (::fcntl(fd_, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK) return false;
  return Load() == seen;
}

LONG ChangeCounter::Open(const std::string& path, bool writable, bool private_to_owner) {
  Close();
  const mode_t mode = FileMode(private_to_owner);
  FileDescriptor fd(::open(
      path.c_str(), (writable ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.get() < 0) return ERROR_REGISTRY_IO_FAILED;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return ERROR_REGISTRY_IO_FAILED;
  if (writable) {
    // Files written before space was reserved may be sparse: reserve it every
    // time, which costs nothing once it is there.
    if (const int err = ::posix_fallocate(fd.get(), 0, kCounterFileSize); err != 0) {
      return err == ENOSPC || err == EDQUOT ? ERROR_DISK_FULL : ERROR_REGISTRY_IO_FAILED;
    }
    // New: given the database's mode whatever the umask.
    if (st.st_size < static_cast<off_t>(kCounterFileSize) && st.st_uid == ::geteuid()) {
      ::fchmod(fd.get(), mode);
    }
  } else if (st.st_size < static_cast<off_t>(kCounterFileSize)) {
    return ERROR_REGISTRY_IO_FAILED;
  }
  void* map = ::mmap(nullptr, kCounterFileSize, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                     MAP_SHARED, fd.get(), 0);
  if (map == MAP_FAILED) return ERROR_REGISTRY_IO_FAILED;
  word_ = static_cast<std::uint64_t*>(map);
  fd_ = fd.release();
  writable_ = writable;
  return ERROR_SUCCESS;
}

}  // namespace ps::platform::registry_internal
