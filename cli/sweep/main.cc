// pingsweep-cli: sweeps address ranges with ICMP echo from a terminal or script.
#include <iostream>

#include "cli/sweep/options.h"
#include "cli/sweep/run.h"
#include "platform/http/http_fetch.h"
#include "platform/inet/udp_io.h"
#include "platform/process/process.h"

int main(int argc, char** argv) {
  ps::platform::UseUtf8Text();
  std::ios::sync_with_stdio(false);
  const std::string program = "pingsweep-cli";
  const ps::Result<ps::cli::Options> parsed = ps::cli::ParseOptions(argc, argv);
  if (!parsed.ok()) {
    std::cerr << program << ": " << parsed.status().message() << "\n"
              << "Try '" << program << " --help' for more information.\n";
    return ps::cli::kUsage;
  }
  // Ctrl-C once: stop sending and print what was found. Twice: the default.
  ps::platform::OnFirstInterrupt(ps::cli::Interrupt);

  ps::cli::Streams streams{&std::cin, &std::cout, &std::cerr, ps::platform::StderrIsTerminal()};
  ps::platform::SweepPlatform platform = ps::platform::SystemSweepPlatform();
  platform.udp = ps::platform::SystemUdpOpener();
  platform.http = ps::platform::SystemHttpFetcher();
  return ps::cli::Run(parsed.value(), platform, streams, program);
}
