// What the report of an untrapped error says, free of any toolkit: both
// windows show it in a message box and then end the application.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ps::scan {

// Exit code of the application ended by an untrapped error.
inline constexpr int kUntrappedErrorExitCode = 1;

// Numbers given to failures that are not raised errors of our own.
inline constexpr std::int32_t kErrOutOfMemory = 7;
inline constexpr std::int32_t kErrInternal = 51;

struct ErrorReport {
  std::int32_t number = 0;
  std::u16string description;
};

// "Run-time error '<number>':\n\n<description>"
std::u16string UntrappedErrorText(std::int32_t number, std::u16string_view description);

// What std::current_exception() holds, as a number and description: a raised
// Error as it is, running out of memory as 7, anything else as 51. Call from a
// catch block.
ErrorReport CurrentExceptionReport();

}  // namespace ps::scan
