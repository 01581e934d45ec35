// PingSweep: the scan window is the whole application. It starts nothing else
// (the socket layer starts with the first probe) and ends when the window closes.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/application.h"
#include "app/form1.h"
#include "app/qt_window_system.h"
#include "platform/link/privileges.h"
#include "platform/netapi/icmp_echo_service.h"
#include "platform/netapi/net_services.h"

namespace {

// Answered before any display is needed, so that a terminal (and the manual
// page, which is made from them) gets them anywhere.
constexpr char kUsage[] =
    "Usage: pingsweep [QT-OPTION]...\n"
    "Sweep a subnet with ICMP echo requests and list the hosts that answer.\n"
    "\n"
    "Type a subnet such as 192.168.1.255 or 192.168.1 in the window and press PINGs:\n"
    "every \".255\" in the text is removed and .0 to .254 appended, each address is\n"
    "probed once with a 10 ms wait, and each host that answers is listed with its\n"
    "name from a reverse lookup. The address being probed shows in the title bar.\n"
    "\n"
    "  -h, --help        display this help and exit\n"
    "  -V, --version     output version information and exit\n"
    "\n"
    "Qt's own options, such as -style NAME and -platform NAME, are accepted too.\n";

constexpr char kVersion[] = "pingsweep " PINGSWEEP_VERSION
                            "\n"
                            "Copyright (C) 2026 The PingSweep developers.\n"
                            "License Apache-2.0: Apache License, Version 2.0 "
                            "<https://www.apache.org/licenses/LICENSE-2.0>.\n"
                            "This is free software: you are free to change and redistribute it.\n"
                            "There is NO WARRANTY, to the extent permitted by law.\n";

// Opens the one thing that may need a capability, the echo service's ICMP
// socket (a raw one needs CAP_NET_RAW, which the package grants), then gives
// up every capability for good, no_new_privs included. This must come before
// QApplication: from then on Qt loads plugins (QT_PLUGIN_PATH, -style,
// -platform) that any local user may have written. False, with the reason on
// standard error, when they could not be given up.
bool OpenSocketThenDropPrivileges() {
  // Without a socket the window still opens; the first probe then shows why
  // and what allows it.
  ps::platform::SystemEchoService().OpenSocket();
  if (const ps::Status dropped = ps::platform::SystemPrivileges().DropAll(); !dropped.ok()) {
    std::fprintf(stderr, "pingsweep: cannot give up its capabilities: %s\n",
                 dropped.message().c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
      std::fputs(kVersion, stdout);
      return 0;
    }
  }

  if (!OpenSocketThenDropPrivileges()) return 1;

  QApplication application(argc, argv);
  ps::app::ConfigureApplication();

  ps::app::QtWindowSystem window_system;
  ps::platform::ScopedServices services({nullptr, nullptr, nullptr, &window_system});

  ps::app::Form1 form;
  form.show();
  return QApplication::exec();
}
