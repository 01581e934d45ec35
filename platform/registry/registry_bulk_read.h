// An optional extension of the registry seam: every value of a key in one
// call, for readers of keys with many values (the watch's inventory), where a
// RegEnumValue per value would look each one up again. Find it with
// dynamic_cast from the RegistryService; without it, enumerate.
#pragma once

#include <functional>
#include <string_view>

#include "platform/registry/registry_service.h"

namespace ps::platform {

class RegistryBulkRead {
 public:
  virtual ~RegistryBulkRead() = default;
  // Hands each value of the open key `key` (opened with KEY_QUERY_VALUE) to
  // `each` as its name, type and data, in the order RegEnumValueA gives them;
  // the views last until `each` returns. The return codes are RegEnumValueA's.
  virtual LONG ReadAllValues(HKEY key, const std::function<void(std::string_view name, DWORD type,
                                                                std::string_view data)>& each) = 0;
};

}  // namespace ps::platform
