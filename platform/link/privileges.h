// The process's capabilities: whether it holds the one raw sockets need, and
// giving them all up once its sockets are open.
#pragma once

#include "core/status.h"

namespace ps::platform {

class Privileges {
 public:
  virtual ~Privileges() = default;
  // Whether CAP_NET_RAW is effective now (packet and raw sockets may be opened).
  virtual bool HasNetRaw() = 0;
  // Gives up every capability for good: the bounding set where the process may
  // change it, the ambient, inheritable, permitted and effective sets, and
  // sets no_new_privs so no later exec regains any. Sockets already open keep
  // working. A failure names the step that failed.
  virtual Status DropAll() = 0;
};

// The process-wide real implementation (libcap on Linux).
Privileges& SystemPrivileges();

}  // namespace ps::platform
