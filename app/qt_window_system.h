// The window side of the network seam, backed by Qt: the probe's message box
// and its one dispatch of pending window messages.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/netapi/net_services.h"

namespace ps::app {

class QtWindowSystem : public platform::WindowSystem {
 public:
  // Writes `text` to standard error, then shows it in a modal
  // CopyableMessageBox with the icon that `uType` asks for (information for
  // MB_ICONINFORMATION). Returns once the user has dismissed it.
  void MessageBox(std::u16string_view text, std::uint32_t uType) override;

  // One pass of Qt's event processing over what is pending now.
  void DoEvents() override;
};

}  // namespace ps::app
