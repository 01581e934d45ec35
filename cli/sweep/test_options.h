// Options for tests: parsed from a list of words, as the program's argv.
#pragma once

#include <string>
#include <vector>

#include "cli/sweep/options.h"

namespace ps::cli::testing {

inline Result<Options> Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "pingsweep-cli");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseOptions(static_cast<int>(args.size()), argv.data());
}

}  // namespace ps::cli::testing
