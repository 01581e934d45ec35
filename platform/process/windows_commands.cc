// Commands are not run on Windows yet: the watch's --exec says so.
#include <windows.h>

#include "platform/process/commands.h"

namespace ps::platform {
namespace {

class WindowsCommands : public Commands {
 public:
  Result<long> Start(const std::string&, const Environment&) override {
    return Status::Failure("running a command for each event is not available on Windows");
  }
  bool Ended(long) override { return true; }
  void Kill(long) override {}
};

}  // namespace

Commands& SystemCommands() {
  static WindowsCommands commands;
  return commands;
}

void SleepNs(std::int64_t ns) {
  if (ns > 0) ::Sleep(static_cast<DWORD>(ns / 1000000));
}

}  // namespace ps::platform
