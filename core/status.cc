#include "core/status.h"

#include <cerrno>
#include <cstring>

namespace ps {

std::string SystemErrorText(int error) {
  // The texts glibc gives. mingw-w64's C runtime (msvcrt) defines these
  // numbers, which the Windows backends translate Winsock's errors into, but
  // calls each of them "Unknown error".
  struct Row {
    int error;
    const char* text;
  };
  static constexpr Row kSocketErrors[] = {
      {EADDRINUSE, "Address already in use"},
      {EADDRNOTAVAIL, "Cannot assign requested address"},
      {EAFNOSUPPORT, "Address family not supported by protocol"},
      {EALREADY, "Operation already in progress"},
      {ECONNABORTED, "Software caused connection abort"},
      {ECONNREFUSED, "Connection refused"},
      {ECONNRESET, "Connection reset by peer"},
      {EHOSTUNREACH, "No route to host"},
      {EINPROGRESS, "Operation now in progress"},
      {EISCONN, "Transport endpoint is already connected"},
      {EMSGSIZE, "Message too long"},
      {ENETDOWN, "Network is down"},
      {ENETRESET, "Network dropped connection on reset"},
      {ENETUNREACH, "Network is unreachable"},
      {ENOBUFS, "No buffer space available"},
      {ENOTCONN, "Transport endpoint is not connected"},
      {ENOTSOCK, "Socket operation on non-socket"},
      {ENOTSUP, "Operation not supported"},
      {EPROTONOSUPPORT, "Protocol not supported"},
      {ETIMEDOUT, "Connection timed out"},
      {EWOULDBLOCK, "Resource temporarily unavailable"},
  };
  const char* text = std::strerror(error);
  if (text != nullptr && std::strncmp(text, "Unknown error", 13) != 0) return text;
  for (const Row& r : kSocketErrors) {
    if (r.error == error) return r.text;
  }
  return text != nullptr ? text : "Unknown error " + std::to_string(error);
}

}  // namespace ps
