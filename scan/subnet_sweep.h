// The window's sweep, free of any toolkit: for each host number 0 to 254 the
// address formed from the address box's text is shown in the title, probed
// once (net/ping.h), and, when the host answered, listed with its name. The
// Qt window (app/) and the Win32 window (winapp/) run this one sweep behind
// the small interface below.
#pragma once

#include <string>
#include <string_view>

namespace ps::scan {

inline constexpr int kFirstHost = 0;
inline constexpr int kLastHost = 254;

// What the sweep asks of its window. Every call but StillOpen() is made only
// right after StillOpen() returned true.
class SweepWindow {
 public:
  virtual ~SweepWindow() = default;
  // False once the window has been closed or destroyed, or the application
  // is ending after an untrapped error: the sweep must touch nothing more.
  // The probe dispatches window messages, so this can change under it.
  virtual bool StillOpen() = 0;
  // The address box's text now (read again for every host).
  virtual std::u16string AddressText() = 0;
  // Shows the address being probed in the title bar, as given.
  virtual void SetTitle(std::u16string_view title) = 0;
  // Adds one line at the end of the results list.
  virtual void AppendLine(std::u16string_view line) = 0;
};

// The address probed for host number `n` when the address box holds `text`:
// ".255" removed wherever it stands, then "." and the number. May raise the
// overflow error (number 6) of StrReplace.
std::u16string HostAddress(std::u16string_view text, int n);

// Runs one whole sweep. Raises what its steps raise (the caller reports it
// as untrapped); returns early once the window is no longer open, and after
// the one message box when the echo service is unavailable.
void RunSweep(SweepWindow& window);

}  // namespace ps::scan
