// Whole sweeps through the window, as the user runs them: the real probe, the
// real resolver (names from a private /etc/hosts) and the offscreen GUI
// repainting at each dispatch. Runs inside its own network namespace, so only
// its loopback is probed. Prints medians and the peak resident memory.
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/form1.h"
#include "app/qt_window_system.h"
#include "platform/netapi/net_services.h"
#include "testsupport/private_network.h"

namespace {

double MedianMs(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

// One press of the button, timed; returns milliseconds.
double TimedSweep(ps::app::Form1& form) {
  const auto start = std::chrono::steady_clock::now();
  form.Command1()->click();
  QCoreApplication::processEvents();  // the repaint of the last line
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string StatusField(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return line.substr(line.find_first_not_of(" \t", strlen(field)));
  }
  return "?";
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
  std::printf("VmHWM before any sweep: %s\n", StatusField("VmHWM:").c_str());

  const int answering_runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 21);
  std::vector<double> answering;
  TimedSweep(form);  // warm-up: first socket start-up, first paint of lines
  for (int i = 0; i < answering_runs; ++i) {
    form.List1()->clear();
    answering.push_back(TimedSweep(form));
    if (form.List1()->count() != 255) {
      std::fprintf(stderr, "expected 255 lines, got %d\n", form.List1()->count());
      return 1;
    }
  }
  std::printf(
      "sweep, 255 answering hosts with names: median %.1f ms (min %.1f, max %.1f, %d runs)\n",
      MedianMs(answering), *std::min_element(answering.begin(), answering.end()),
      *std::max_element(answering.begin(), answering.end()), answering_runs);

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
    silent.push_back(TimedSweep(form));
    if (form.List1()->count() != 0) {
      std::fprintf(stderr, "expected no lines, got %d\n", form.List1()->count());
      return 1;
    }
  }
  std::printf("sweep, 255 silent hosts: median %.1f ms (min %.1f, max %.1f, %d runs)\n",
              MedianMs(silent), *std::min_element(silent.begin(), silent.end()),
              *std::max_element(silent.begin(), silent.end()), silent_runs);

  std::printf("peak resident memory (VmHWM) after all sweeps: %s\n", StatusField("VmHWM:").c_str());
  std::system("nft delete table inet psbench");
  ps::testing::UnbindHostsFile();
  return 0;
}
