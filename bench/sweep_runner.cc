#include "bench/sweep_runner.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench/bench_stats.h"

namespace ps::bench {

Measure RunCommand(const std::string& command) {
  const std::string out_file = "/tmp/bench-sweep-out." + std::to_string(getpid());
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string line = "exec " + command + " >" + out_file + " 2>/dev/null";
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Measure m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.max_rss_kb = usage.ru_maxrss;
  const auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  m.cpu_seconds = secs(usage.ru_utime) + secs(usage.ru_stime);
  std::ifstream in(out_file);
  std::stringstream s;
  s << in.rdbuf();
  m.out = s.str();
  unlink(out_file.c_str());
  return m;
}

bool Installed(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

long CountLines(const std::string& text, const std::string& containing) {
  long n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) n += line.find(containing) != std::string::npos;
  return n;
}

namespace {

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f s", s);
  return text;
}

// "1.04x bare-dgram (goal <= 1.10: met)", by wall time; cpu beside it.
std::string GoalNote(const Figures& ours, const Figures& versus, const Goal& goal) {
  const double wall = Median(versus.seconds) > 0 ? Median(ours.seconds) / Median(versus.seconds) : 0;
  const double cpu = Median(versus.cpu) > 0 ? Median(ours.cpu) / Median(versus.cpu) : 0;
  char text[160];
  if (goal.at_most <= 0) {
    std::snprintf(text, sizeof(text), "%.2fx %s (cpu %.2fx)", wall, goal.versus.c_str(), cpu);
  } else {
    std::snprintf(text, sizeof(text), "%.2fx %s (goal <= %.2f: %s; cpu %.2fx)", wall,
                  goal.versus.c_str(), goal.at_most, wall <= goal.at_most ? "met" : "NOT met", cpu);
  }
  return text;
}

}  // namespace

void SideBySide::Scenario(const std::string& scenario, const std::vector<Contender>& contenders,
                          const std::vector<Goal>& goals, int runs) {
  last_.clear();
  if (!Wanted(scenario)) return;
  for (const Contender& c : contenders) {
    Figures f;
    f.name = c.name;
    f.installed = !c.command.empty() && (c.tool.empty() || Installed(c.tool));
    last_.push_back(f);
  }
  std::vector<std::vector<double>> rss(contenders.size());
  for (int run = 0; run < runs; ++run) {
    for (std::size_t i = 0; i < contenders.size(); ++i) {
      if (!last_[i].installed) continue;
      const Measure m = RunCommand(contenders[i].command);
      last_[i].seconds.push_back(m.seconds);
      last_[i].cpu.push_back(m.cpu_seconds);
      rss[i].push_back(static_cast<double>(m.max_rss_kb));
      last_[i].found = contenders[i].found(m.out);
    }
  }
  for (std::size_t i = 0; i < contenders.size(); ++i) {
    const Figures& f = last_[i];
    last_[i].max_rss_kb = static_cast<long>(Median(rss[i]));
    if (contenders[i].command.empty()) continue;
    if (!f.installed) {
      lines_.push_back({scenario, f.name, "-", "not installed", "", ""});
      continue;
    }
    std::string note;
    for (const Goal& g : i == 0 || contenders[i].goals ? goals : std::vector<Goal>{}) {
      if (const Figures* versus = Last(g.versus); versus != nullptr && versus->installed)
        note += (note.empty() ? "" : "; ") + GoalNote(f, *versus, g);
    }
    lines_.push_back({scenario, f.name, std::to_string(f.found), Seconds(Median(f.seconds)),
                      Seconds(Median(f.cpu)), note});
    std::fprintf(stderr, "  %s / %s: %s (cpu %s), %ld found\n", scenario.c_str(), f.name.c_str(),
                 lines_.back().median.c_str(), lines_.back().cpu.c_str(), f.found);
  }
}

void SideBySide::Row(const std::string& scenario, const std::string& tool, const std::string& found,
                     const std::string& median, const std::string& note) {
  lines_.push_back({scenario, tool, found, median, "", note});
}

const Figures* SideBySide::Last(const std::string& name) const {
  for (const Figures& f : last_) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

void SideBySide::Print() const {
  std::printf("\n%-32s %-15s %7s %10s %10s  %s\n", "scenario", "tool", "found", "median", "cpu",
              "ratio of medians (goal)");
  for (const Line& l : lines_)
    std::printf("%-32s %-15s %7s %10s %10s  %s\n", l.scenario.c_str(), l.tool.c_str(),
                l.found.c_str(), l.median.c_str(), l.cpu.c_str(), l.note.c_str());
}

}  // namespace ps::bench
