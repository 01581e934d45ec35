#include "platform/net_services.h"

#include "platform/linux_net_services.h"

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

ScopedServices::ScopedServices(NetServices replacement) : previous_(Services()) {
  NetServices& current = Services();
  if (replacement.sockets) current.sockets = replacement.sockets;
  if (replacement.echo) current.echo = replacement.echo;
  if (replacement.clock) current.clock = replacement.clock;
  if (replacement.window) current.window = replacement.window;
}

ScopedServices::~ScopedServices() { Services() = previous_; }

}  // namespace ps::platform
