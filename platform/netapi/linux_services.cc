// The Linux backend's process-wide services.
#include "platform/netapi/linux_net_services.h"

namespace ps::platform {

NetServices& Services() {
  // Never destroyed: probes may run from static destructors of the window.
  static LinuxSocketLayer* sockets = new LinuxSocketLayer;
  static LinuxEchoService* echo = new LinuxEchoService;
  static LinuxClock* clock = new LinuxClock;
  static NullWindowSystem* window = new NullWindowSystem;
  static NetServices services{sockets, echo, clock, window};
  return services;
}

}  // namespace ps::platform
