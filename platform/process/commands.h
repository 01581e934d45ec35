// Commands a program runs on its own behalf (the watch's --exec): each in a
// process group of its own, so that one over its time can be ended with
// everything it started; and a wait that a signal cuts short.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/status.h"

namespace ps::platform {

using Environment = std::vector<std::pair<std::string, std::string>>;

class Commands {
 public:
  virtual ~Commands() = default;
  // Starts `command` with the system's shell (/bin/sh -c), `env` added to
  // this process's environment (replacing variables of the same names),
  // standard input from nothing and standard output to standard error. The
  // command text is passed as it is; the values in `env` never become part of
  // it. Returns an id for the calls below, or why it could not start.
  virtual Result<long> Start(const std::string& command, const Environment& env) = 0;
  // Whether it has ended; an ended one is forgotten (its id is then unknown).
  virtual bool Ended(long id) = 0;
  // Ends it and whatever it started at once, and forgets it.
  virtual void Kill(long id) = 0;
};

// The process-wide real implementation.
Commands& SystemCommands();

// Sleeps `ns` nanoseconds or until a signal arrives (an interrupt).
void SleepNs(std::int64_t ns);

}  // namespace ps::platform
