// The registry store's files on Linux: modes, a mapped change counter, and the
// kernel's boot id.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

bool PrepareDatabaseFile(const std::string& path, bool private_to_owner, bool* may_write) {
  const mode_t file_mode = FileMode(private_to_owner);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (!MakeDirectories(ParentDirectory(path), private_to_owner ? 0700 : 0755)) return false;
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
    if (fd.get() >= 0) {
      // The umask must not widen or narrow what the root promises.
      if (::fchmod(fd.get(), file_mode) != 0) return false;
    } else if (errno != EEXIST) {
      return false;
    }
    if (::stat(path.c_str(), &st) != 0) return false;
  }
  // Whoever may write the file changes the root; everyone else reads it. An
  // owner who took the write bit away meant it, root included.
  *may_write = ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 &&
               (st.st_uid != ::geteuid() || (st.st_mode & S_IWUSR) != 0);
  return true;
}

bool HasContent(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

std::string BootId() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id;
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
  FileDescriptor fd(
      ::open(path.c_str(), writable ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC, mode));
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
