// Running sweeping programs side by side for the benchmarks: each contender
// once per round, rounds repeated, so that a change in the machine's load
// falls on all of them alike; medians, their ratios and the goals as a table.
#pragma once

#include <string>
#include <vector>

namespace ps::bench {

struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system: what a loaded machine does not stretch
  long max_rss_kb = 0;
  std::string out;
};

// Runs `command` via /bin/sh with exec, so that the rusage is the program's.
Measure RunCommand(const std::string& command);
bool Installed(const std::string& tool);
// Lines of `text` that contain `containing`.
long CountLines(const std::string& text, const std::string& containing);

struct Contender {
  std::string name;     // as shown in the table, and as goals name it
  std::string command;  // "" when it has no part in this scenario
  long (*found)(const std::string& out) = nullptr;
  std::string tool;     // the program that must be installed; "" for ours
  bool goals = false;   // its row gets the goals' ratios too (the first's always does)
};

// "pingsweep-cli's median time at most `at_most` times `versus`'s" (0: the
// ratio only).
struct Goal {
  std::string versus;
  double at_most = 0;
};

struct Figures {
  std::string name;
  std::vector<double> seconds, cpu;
  long found = -1;
  long max_rss_kb = 0;  // median
  bool installed = true;
};

class SideBySide {
 public:
  // Runs every contender `runs` times, interleaved, and adds their rows; the
  // first contender's row (and each marked `goals`) gets its ratio to each
  // goal's.
  void Scenario(const std::string& scenario, const std::vector<Contender>& contenders,
                const std::vector<Goal>& goals, int runs);
  // A row of its own (peak memory, forged replies).
  void Row(const std::string& scenario, const std::string& tool, const std::string& found,
           const std::string& median, const std::string& note);
  void Print() const;
  // Only scenarios whose name contains `part` run (all when empty).
  void Only(const std::string& part) { only_ = part; }
  bool Wanted(const std::string& scenario) const {
    return only_.empty() || scenario.find(only_) != std::string::npos;
  }

  // The last scenario's figures, by contender name; null when absent.
  const Figures* Last(const std::string& name) const;

 private:
  struct Line {
    std::string scenario, tool, found, median, cpu, note;
  };
  std::vector<Line> lines_;
  std::vector<Figures> last_;
  std::string only_;
};

}  // namespace ps::bench
