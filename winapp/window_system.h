// The window side of the network seam on Win32: the probe's message box and
// its one pass over the pending window messages.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/netapi/net_services.h"

namespace ps::winapp {

class Win32WindowSystem : public platform::WindowSystem {
 public:
  // A modal MessageBoxW with the icon `uType` asks for, captioned with the
  // application's name; also written to standard error.
  void MessageBox(std::u16string_view text, std::uint32_t uType) override;
  // PeekMessage until nothing is pending. A WM_QUIT met here is posted again
  // for the application's own loop.
  void DoEvents() override;
};

}  // namespace ps::winapp
