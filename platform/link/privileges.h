// The process's capabilities: whether it holds the one raw sockets need, and
// giving them all up once its sockets are open.
#pragma once

#include <string>

namespace ps::platform {

class Privileges {
 public:
  virtual ~Privileges() = default;
  // Whether CAP_NET_RAW is effective now (packet and raw sockets may be opened).
  virtual bool HasNetRaw() = 0;
  // Gives up every capability for good: the bounding set where the process may
  // change it, the ambient, inheritable, permitted and effective sets, and
  // sets no_new_privs so no later exec regains any. Sockets already open keep
  // working. false, with the reason in *error, when a step failed.
  virtual bool DropAll(std::string* error) = 0;
};

// The process-wide real implementation (libcap on Linux).
Privileges& SystemPrivileges();

}  // namespace ps::platform
