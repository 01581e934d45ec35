// The Windows backend's process-wide services.
#include "platform/netapi/windows_net_services.h"

namespace ps::platform {

NetServices& Services() {
  // Never destroyed: probes may run from static destructors of the window.
  static WindowsSocketLayer* sockets = new WindowsSocketLayer;
  static WindowsEchoService* echo = new WindowsEchoService;
  static WindowsClock* clock = new WindowsClock;
  static NullWindowSystem* window = new NullWindowSystem;
  static NetServices services{sockets, echo, clock, window};
  return services;
}

}  // namespace ps::platform
