// Capabilities through libcap.
#include <sys/capability.h>
#include <sys/prctl.h>

#include <cerrno>
#include <memory>

#include "platform/link/privileges.h"

namespace ps::platform {
namespace {

struct CapFree {
  void operator()(cap_t caps) const { cap_free(caps); }
};
using Caps = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

bool Effective(cap_value_t cap) {
  Caps caps(cap_get_proc());
  cap_flag_value_t value = CAP_CLEAR;
  return caps && cap_get_flag(caps.get(), cap, CAP_EFFECTIVE, &value) == 0 && value == CAP_SET;
}

Status Fail(const char* step) { return Status::Failure(step, errno); }

class LinuxPrivileges : public Privileges {
 public:
  bool HasNetRaw() override { return Effective(CAP_NET_RAW); }

  Status DropAll() override {
    // The bounding set needs CAP_SETPCAP; without it, no_new_privs below keeps
    // an exec from gaining what the bounding set still allows.
    if (Effective(CAP_SETPCAP)) {
      for (cap_value_t cap = 0; cap < cap_max_bits(); ++cap) {
        if (cap_drop_bound(cap) != 0 && errno != EINVAL) return Fail("dropping the bounding set");
      }
    }
    if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0) {
      return Fail("clearing the ambient capabilities");
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Fail("setting no_new_privs");
    Caps none(cap_init());
    if (!none || cap_set_proc(none.get()) != 0) return Fail("dropping the capabilities");
    return Status::Ok();
  }
};

}  // namespace

Privileges& SystemPrivileges() {
  static LinuxPrivileges privileges;
  return privileges;
}

}  // namespace ps::platform
