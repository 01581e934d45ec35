#include "platform/http/http_fetch.h"

namespace ps::platform {

bool IsSafeRequestTarget(std::string_view target) {
  if (target.empty() || target.front() != '/' || target.size() > 2048) return false;
  for (const char c : target) {
    if (c <= 0x20 || c >= 0x7f || c == '#' || c == '\\') return false;
  }
  return true;
}

}  // namespace ps::platform
