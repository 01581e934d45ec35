// The Linux backend's process-wide services.
#include "platform/inet/sweep_io.h"
#include "platform/netapi/linux_net_services.h"

namespace ps::platform {

LinuxEchoService::LinuxEchoService()
    : SocketEchoService(*SystemSweepPlatform().icmp, SystemMonotonicClock()) {}

SocketEchoService& SystemEchoService() {
  // Never destroyed: probes may run from static destructors of the window.
  static LinuxEchoService* echo = new LinuxEchoService;
  return *echo;
}

NetServices& Services() {
  static LinuxSocketLayer* sockets = new LinuxSocketLayer;
  static LinuxClock* clock = new LinuxClock;
  static NullWindowSystem* window = new NullWindowSystem;
  static NetServices services{sockets, &SystemEchoService(), clock, window};
  return services;
}

}  // namespace ps::platform
