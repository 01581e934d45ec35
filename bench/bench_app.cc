// Whole sweeps through the window, as the user runs them: the real probe, the
// real resolver (names from a private /etc/hosts) and the offscreen GUI
// repainting at each dispatch, in the desktop's default style (or -style).
// Runs inside its own network namespace, so only its loopback is probed.
// Prints medians and 90th percentiles, idle and with every core kept busy by
// spinning processes, and the peak resident memory.
//   bench_app [answering runs [silent runs]]
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QProxyStyle>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/application.h"
#include "app/form1.h"
#include "app/qt_window_system.h"
#include "bench/bench_stats.h"
#include "platform/netapi/net_services.h"
#include "testsupport/private_network.h"

namespace {

using ps::bench::Median;
using ps::bench::Percentile;

// One spinning process per core for as long as it lives: "both cores busy".
class BusyCores {
 public:
  BusyCores() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < cores; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) children_.push_back(pid);
    }
  }
  ~BusyCores() {
    for (pid_t pid : children_) kill(pid, SIGKILL);
    for (pid_t pid : children_) waitpid(pid, nullptr, 0);
  }
  BusyCores(const BusyCores&) = delete;
  BusyCores& operator=(const BusyCores&) = delete;

 private:
  std::vector<pid_t> children_;
};

// CPU time of the whole process (Qt's painting threads included), in ms.
double ProcessCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Timing {
  double wall_ms = 0;
  double cpu_ms = 0;
};

// One press of the button, timed.
Timing TimedSweep(ps::app::Form1& form) {
  const double cpu = ProcessCpuMs();
  const auto start = std::chrono::steady_clock::now();
  form.Command1()->click();
  QCoreApplication::processEvents();  // the repaint of the last line
  return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count(),
          ProcessCpuMs() - cpu};
}

std::string StatusField(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return line.substr(line.find_first_not_of(" \t", strlen(field)));
  }
  return "?";
}

// `runs` sweeps of the answering /24 after a cleared list. A sweep that lists
// fewer hosts (a reply held up past the probe's 10 ms under load) still
// counts, and is counted in `short_runs`; false if one listed more.
bool AnsweringSweeps(ps::app::Form1& form, int runs, std::vector<double>& ms,
                     std::vector<double>& cpu_ms, int& short_runs) {
  for (int i = 0; i < runs; ++i) {
    form.List1()->clear();
    const Timing timing = TimedSweep(form);
    ms.push_back(timing.wall_ms);
    cpu_ms.push_back(timing.cpu_ms);
    if (form.List1()->count() > 255) {
      std::fprintf(stderr, "expected 255 lines, got %d\n", form.List1()->count());
      return false;
    }
    short_runs += form.List1()->count() < 255 ? 1 : 0;
  }
  return true;
}

void PrintAnswering(const char* load, const std::vector<double>& ms,
                    const std::vector<double>& cpu_ms, int short_runs) {
  std::printf(
      "sweep, 255 answering hosts with names, %s: median %.1f ms, 90th percentile %.1f ms "
      "(min %.1f, max %.1f; CPU median %.1f ms; %zu runs, %d with a host missed; goal median "
      "<= 60, busy 90th <= 100)\n",
      load, Median(ms), Percentile(ms, 90), *std::min_element(ms.begin(), ms.end()),
      *std::max_element(ms.begin(), ms.end()), Median(cpu_ms), ms.size(), short_runs);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string reason = ps::testing::EnterPrivateNetwork();
  if (!reason.empty()) {
    std::fprintf(stderr, "bench_app needs a private network namespace (run as root): %s\n",
                 reason.c_str());
    return 1;
  }
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  ps::app::ConfigureApplication();

  std::string hosts;
  for (int n = 0; n <= 254; ++n) {
    hosts += "127.0.0." + std::to_string(n) + " host-" + std::to_string(n) + ".bench.test\n";
  }
  if (!ps::testing::BindHostsFile(hosts)) {
    std::fprintf(stderr, "could not bind-mount a hosts file\n");
    return 1;
  }
  ps::testing::ResetFirewall();

  ps::app::QtWindowSystem window_system;
  ps::platform::ScopedServices services({nullptr, nullptr, nullptr, &window_system});
  ps::app::Form1 form;
  form.show();
  QCoreApplication::processEvents();
  form.Text1()->setText(QStringLiteral("127.0.0.255"));
  const auto* proxy = qobject_cast<const QProxyStyle*>(QApplication::style());
  const QStyle* style = proxy != nullptr ? proxy->baseStyle() : QApplication::style();
  std::printf("style %s; VmHWM before any sweep: %s\n", style->name().toUtf8().constData(),
              StatusField("VmHWM:").c_str());

  const int answering_runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 21);
  TimedSweep(form);  // warm-up: first socket start-up, first paint of lines
  std::vector<double> answering, answering_cpu;
  int short_runs = 0;
  if (!AnsweringSweeps(form, answering_runs, answering, answering_cpu, short_runs)) return 1;
  PrintAnswering("idle", answering, answering_cpu, short_runs);
  std::vector<double> busy, busy_cpu;
  int busy_short_runs = 0;
  {
    const BusyCores load;
    if (!AnsweringSweeps(form, answering_runs, busy, busy_cpu, busy_short_runs)) return 1;
  }
  PrintAnswering("every core busy", busy, busy_cpu, busy_short_runs);

  // Dropped on arrival, so every request waits out its whole time-out (a drop
  // on the way out would fail the send at once).
  std::system(
      "nft add table inet psbench && nft add chain inet psbench in "
      "'{ type filter hook input priority 0; policy accept; }' && nft add rule inet psbench in "
      "ip daddr 127.0.0.0/24 icmp type echo-request drop");
  const int silent_runs = std::max(1, argc > 2 ? std::atoi(argv[2]) : 5);
  std::vector<double> silent;
  for (int i = 0; i < silent_runs; ++i) {
    form.List1()->clear();
    silent.push_back(TimedSweep(form).wall_ms);
    if (form.List1()->count() != 0) {
      std::fprintf(stderr, "expected no lines, got %d\n", form.List1()->count());
      return 1;
    }
  }
  std::printf("sweep, 255 silent hosts: median %.1f ms (min %.1f, max %.1f, %d runs)\n",
              Median(silent), *std::min_element(silent.begin(), silent.end()),
              *std::max_element(silent.begin(), silent.end()), silent_runs);

  std::printf("peak resident memory (VmHWM) after all sweeps: %s\n", StatusField("VmHWM:").c_str());
  std::system("nft delete table inet psbench");
  ps::testing::UnbindHostsFile();
  return 0;
}
