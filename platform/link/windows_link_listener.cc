// No passive listening on Windows: the watch sweeps only there.
#include <winerror.h>

#include "platform/link/listen_io.h"

namespace ps::platform {

Result<std::unique_ptr<LinkListener>> OpenLinkListener(int) {
  return Status::Failure("passive listening is not available on Windows", ERROR_NOT_SUPPORTED);
}

}  // namespace ps::platform
