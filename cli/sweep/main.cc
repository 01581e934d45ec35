// pingsweep-cli: sweeps address ranges with ICMP echo from a terminal or script.
#include <iostream>

#include "cli/sweep/options.h"
#include "cli/sweep/run.h"
#include "platform/process/process.h"

int main(int argc, char** argv) {
  ps::platform::UseUtf8Text();
  std::ios::sync_with_stdio(false);
  const std::string program = "pingsweep-cli";
  const ps::cli::ParseResult parsed = ps::cli::ParseOptions(argc, argv);
  if (!parsed.error.empty()) {
    std::cerr << program << ": " << parsed.error << "\n"
              << "Try '" << program << " --help' for more information.\n";
    return ps::cli::kUsage;
  }
  // Ctrl-C once: stop sending and print what was found. Twice: the default.
  ps::platform::OnFirstInterrupt(ps::cli::Interrupt);

  ps::cli::Streams streams{&std::cin, &std::cout, &std::cerr, ps::platform::StderrIsTerminal()};
  return ps::cli::Run(parsed.options, ps::platform::SystemSweepPlatform(), streams, program);
}
