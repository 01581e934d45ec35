// pingsweep-cli: sweeps address ranges with ICMP echo from a terminal or script.
#include <locale.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "cli/sweep/options.h"
#include "cli/sweep/run.h"

namespace {

void OnInterrupt(int) { ps::cli::Interrupt(); }

}  // namespace

int main(int argc, char** argv) {
  // Names come back from the resolver in the locale's encoding: make it UTF-8.
  if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) setlocale(LC_CTYPE, "");
  std::ios::sync_with_stdio(false);
  const std::string program = "pingsweep-cli";
  const ps::Result<ps::cli::Options> parsed = ps::cli::ParseOptions(argc, argv);
  if (!parsed.ok()) {
    std::cerr << program << ": " << parsed.status().message() << "\n"
              << "Try '" << program << " --help' for more information.\n";
    return ps::cli::kUsage;
  }
  // Ctrl-C once: stop sending and print what was found. Twice: the default.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESETHAND;  // no SA_RESTART: a blocked wait returns at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  ps::cli::Streams streams{&std::cin, &std::cout, &std::cerr, isatty(STDERR_FILENO) == 1};
  return ps::cli::Run(parsed.value(), ps::platform::SystemSweepPlatform(), streams, program);
}
