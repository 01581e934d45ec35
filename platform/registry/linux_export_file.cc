// Export files on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/registry/export_file.h"

namespace ps::platform {
namespace {

bool Failed(std::string* problem, int error) {
  *problem = std::strerror(error);
  return false;
}

// Writes all of `bytes`; false with errno set.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes a new file beside `path` and renames it over `path`. `old` is the
// file it replaces, or nullptr.
bool Replace(const std::string& path, const struct stat* old, std::string_view bytes,
             std::string* problem) {
  std::string temp = FolderOf(path) + "/.pingsweep-export.XXXXXX";
  // mkostemp creates the name exclusively: a link planted there fails it.
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Failed(problem, errno);
  mode_t mode = 0;
  if (old != nullptr) {
    mode = old->st_mode & 0777;
    if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
      // Not allowed to give it away: the file becomes this user's.
    }
  } else {
    mode = ::umask(0);
    ::umask(mode);
    mode = 0666 & ~mode;
  }
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return Failed(problem, error);
  }
  return true;
}

bool WriteInPlace(const std::string& path, std::string_view bytes, std::string* problem) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Failed(problem, errno);
  bool ok = WriteAll(fd, bytes);
  int error = ok ? 0 : errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  return ok || Failed(problem, error);
}

// `path` is no symbolic link; `st` is what it is.
bool WriteTo(const std::string& path, const struct stat& st, std::string_view bytes,
             std::string* problem) {
  if (S_ISDIR(st.st_mode)) {
    *problem = "it is a folder";
    return false;
  }
  return S_ISREG(st.st_mode) ? Replace(path, &st, bytes, problem)
                             : WriteInPlace(path, bytes, problem);
}

}  // namespace

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string* problem) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? Replace(path, nullptr, bytes, problem) : Failed(problem, errno);
  }
  if (!S_ISLNK(st.st_mode)) return WriteTo(path, st, bytes, problem);
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    if (errno != ENOENT) return Failed(problem, errno);
    *problem = "it is a symbolic link to nothing";
    return false;
  }
  const std::string target = resolved;
  std::free(resolved);
  if (::lstat(target.c_str(), &st) != 0) return Failed(problem, errno);
  return WriteTo(target, st, bytes, problem);
}

}  // namespace ps::platform
