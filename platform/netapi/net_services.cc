#include "platform/netapi/net_services.h"

namespace ps::platform {

ScopedServices::ScopedServices(NetServices replacement) : previous_(Services()) {
  NetServices& current = Services();
  if (replacement.sockets) current.sockets = replacement.sockets;
  if (replacement.echo) current.echo = replacement.echo;
  if (replacement.clock) current.clock = replacement.clock;
  if (replacement.window) current.window = replacement.window;
}

ScopedServices::~ScopedServices() { Services() = previous_; }

}  // namespace ps::platform
