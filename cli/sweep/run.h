// pingsweep-cli from parsed options to exit status, over the sweep seam, so
// that tests run it against fakes or in private namespaces.
#pragma once

#include <iosfwd>
#include <string>

#include "cli/sweep/options.h"
#include "platform/inet/sweep_io.h"

namespace ps::cli {

enum ExitCode {
  kAnswered = 0,
  kNoneAnswered = 1,
  kUsage = 2,
  kNoPermission = 3,
  kSystemFailure = 4,
  kChanged = 5,  // --changes: some event
  kInterrupted = 130,
};

struct Streams {
  std::istream* in;
  std::ostream* out;
  std::ostream* err;
  bool err_is_terminal = false;  // show the progress line
};

// Runs the program; `program` names it in messages.
int Run(const Options& options, const platform::SweepPlatform& platform, const Streams& streams,
        const std::string& program);

// Async-signal-safe (Ctrl-C): the running sweep stops sending and Run()
// prints what it found; a sweep not started yet does not start.
void Interrupt();

}  // namespace ps::cli
