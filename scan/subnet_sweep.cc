#include "scan/subnet_sweep.h"

#include <string>

#include "net/ping.h"
#include "net/ping_result.h"
#include "platform/netapi/net_services.h"
#include "text/text.h"

namespace ps::scan {

std::u16string HostAddress(std::u16string_view text, int n) {
  std::u16string address = StrReplace(text, u".255", u"");
  address += u'.';
  for (char c : std::to_string(n)) address += static_cast<char16_t>(c);
  return address;
}

void RunSweep(SweepWindow& window) {
  for (int n = kFirstHost; n <= kLastHost; ++n) {
    if (!window.StillOpen()) return;
    // Read again for every host: an edit made during the sweep applies from
    // the next host on.
    const std::u16string address = HostAddress(window.AddressText(), n);
    window.SetTitle(address);

    // The probe dispatches pending window messages: the window may be closed
    // or destroyed, or a nested sweep run, before it returns.
    ProbeNotice notice;
    const PingResult result = PingHost(address, &notice);
    if (!window.StillOpen()) return;

    if (notice.echo_service_unavailable) {
      // The user must act; one box for this sweep, not one per host.
      platform::Services().window->MessageBox(notice.message, platform::MB_ICONINFORMATION);
      return;
    }
    if (result.Present != 0) {
      const std::u16string name = ResolveHostName(address);
      if (!window.StillOpen()) return;
      window.AppendLine(address + u" : " + name);
    }
  }
}

}  // namespace ps::scan
