#include "net/ping.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/codepage.h"

namespace ps {
namespace {

using platform::IPAddr;
using platform::kInaddrNone;
using platform::Services;
using platform::SYSTEMTIME;

constexpr std::size_t kMaxHostNameBytes = 255;
constexpr std::u16string_view kFailedPrefix = u"FAILED";

static_assert(sizeof(kEchoRequestData) - 1 == kEchoRequestSize);

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && a < 0); }

// Days since a fixed day (0000-03-01) in the proleptic Gregorian calendar.
// Months outside 1..12 roll into neighbouring years and days count on from
// the 1st, so any field values give a number.
std::int64_t DayNumber(std::int64_t year, std::int64_t month, std::int64_t day) {
  std::int64_t m0 = month - 1;
  const std::int64_t carry = FloorDiv(m0, 12);
  year += carry;
  m0 -= 12 * carry;
  // Count years from March so that the leap day ends the year.
  const std::int64_t y = m0 < 2 ? year - 1 : year;
  const std::int64_t mp = (m0 + 10) % 12;  // March = 0
  const std::int64_t era = FloorDiv(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * mp + 2) / 5;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe + (day - 1);
}

// Milliseconds since the day DayNumber counts from: exact in 64 bits for any
// field values.
std::int64_t MillisecondsOf(const SYSTEMTIME& t) {
  const std::int64_t days = DayNumber(t.wYear, t.wMonth, t.wDay);
  return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000 + std::int64_t{t.wSecond} * 1000 +
         t.wMilliseconds;
}

// The echo-service handle of one probe, released however the probe is left: a
// window message handler run by the dispatch may throw.
class EchoHandle {
 public:
  explicit EchoHandle(platform::EchoService* echo) : echo_(echo), handle_(echo->IcmpCreateFile()) {}
  ~EchoHandle() {
    if (handle_ != 0) echo_->IcmpCloseHandle(handle_);
  }
  EchoHandle(const EchoHandle&) = delete;
  EchoHandle& operator=(const EchoHandle&) = delete;

  platform::IcmpHandle get() const { return handle_; }

 private:
  platform::EchoService* echo_;
  platform::IcmpHandle handle_;
};

// The platform's inet_addr stops at a blank and ignores what follows, and a C
// string ends at a NUL, so it accepts "127.0.0.1 junk" and "127.0.0.1\0x".
// A text counts as an address only when every character can belong to a
// dotted form (decimal, octal or 0x-hex parts and dots): whatever inet_addr
// then accepts, it has read to the end.
IPAddr AddressOf(const std::u16string& address) {
  const std::string bytes = ToCodePage(address);
  const IPAddr parsed = Services().sockets->inet_addr(bytes.c_str());
  const bool whole = bytes.find_first_not_of("0123456789abcdefABCDEFxX.") == std::string::npos;
  return whole ? parsed : kInaddrNone;
}

std::u16string TrimBlanks(std::u16string text) {
  const std::size_t first = text.find_first_not_of(u' ');
  if (first == std::u16string::npos) return {};
  const std::size_t last = text.find_last_not_of(u' ');
  return text.substr(first, last - first + 1);
}

}  // namespace

bool SocketInit() {
  platform::WSADATA data{};
  if (Services().sockets->WSAStartup(platform::kWinsockVersion11, &data) != 0) {
    Services().window->MessageBox(kSocketInitFailedText, platform::MB_ICONINFORMATION);
    return false;
  }
  return true;
}

PingResult PingHost(std::u16string address, ProbeNotice* notice) {
  PingResult result;
  platform::IP_OPTION_INFORMATION options{};
  IPAddr destination = 0;

  if (SocketInit()) {
    platform::EchoService* echo = Services().echo;
    const EchoHandle handle(echo);
    options.Ttl = 255;
    if (handle.get() == 0) {
      if (notice != nullptr) {
        notice->echo_service_unavailable = true;
        notice->message = echo->LastErrorText();
      }
    } else {
      destination = AddressOf(address);
      Services().window->DoEvents();
      // A text that is no address gives the broadcast address: never send there.
      if (destination != kInaddrNone) {
        SYSTEMTIME before{}, after{};
        Services().clock->GetSystemTime(&before);
        PingResult::Image image = result.ToImage();
        echo->IcmpSendEcho(handle.get(), destination, kEchoRequestData, kEchoRequestSize, &options,
                           image.data(), static_cast<platform::DWORD>(image.size()),
                           kEchoTimeoutMs);
        result = PingResult::FromImage(image);
        Services().clock->GetSystemTime(&after);
        result.ElapsedTime += TimeDiff(before, after);
      }
    }
  }

  if (destination != kInaddrNone && result.StatusText.View().substr(0, 6) != kFailedPrefix) {
    result.StatusText = u"Présent";
    result.Present = -1;
  }
  return result;
}

double TimeDiff(const SYSTEMTIME& earlier, const SYSTEMTIME& later) {
  return static_cast<double>(MillisecondsOf(later) - MillisecondsOf(earlier)) / 1000.0;
}

std::u16string ResolveHostName(std::u16string address) {
  const IPAddr destination = AddressOf(address);
  const platform::HOSTENT* found = Services().sockets->gethostbyaddr(
      reinterpret_cast<const char*>(&destination), 4, platform::AF_INET_);
  if (found == nullptr) return {};
  const platform::HOSTENT entry = *found;  // the layer's storage, copied at once
  if (entry.h_name == nullptr) return {};
  const std::string name(entry.h_name, strnlen(entry.h_name, kMaxHostNameBytes));
  return TrimBlanks(FromCodePage(name));
}

}  // namespace ps
