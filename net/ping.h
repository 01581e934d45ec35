// One ICMP echo probe of one address, the socket start-up it needs, and the
// reverse name lookup of a host found present. All run over the services of
// platform::Services() and raise nothing.
#pragma once

#include <string>

#include "net/ping_result.h"
#include "platform/netapi/net_services.h"

namespace ps {

// Starts the socket layer (version 1.1). On failure shows the message box
// "Socket init : Winsock.dll ne répond pas" and returns false.
bool SocketInit();

// Filled by PingHost when the probe could not be made for a reason the user
// must act on.
struct ProbeNotice {
  bool echo_service_unavailable = false;
  std::u16string message;
};

// Sends one echo request (10 ms time-out) to a dotted IPv4 address and returns
// the record; Present is -1 when the host answered. A text that is not an
// address is never sent anywhere.
PingResult PingHost(std::u16string address, ProbeNotice* notice = nullptr);

// Seconds from `earlier` to `later` (negative when `later` is before
// `earlier`), from a proleptic-Gregorian day count; any field values give a
// finite number.
double TimeDiff(const platform::SYSTEMTIME& earlier, const platform::SYSTEMTIME& later);

// The host's official name from the system resolver, trimmed of blanks, or the
// empty text. Relies on a socket layer already started by a probe.
std::u16string ResolveHostName(std::u16string address);

// The probe's fixed values.
inline constexpr char kEchoRequestData[] = "Ping from KORVEL Datatronics software";
inline constexpr platform::WORD kEchoRequestSize = 37;
inline constexpr platform::DWORD kEchoTimeoutMs = 10;
inline constexpr char16_t kSocketInitFailedText[] = u"Socket init : Winsock.dll ne répond pas";

}  // namespace ps
