// The raised error: what a failing operation throws, carrying the number, source
// and description that callers (and the window's last-resort handler) report.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace ps {

// Numbers of the standard errors raised by the value types themselves.
inline constexpr std::int32_t kErrOverflow = 6;
inline constexpr std::int32_t kErrSubscriptOutOfRange = 9;
inline constexpr std::int32_t kErrTypeMismatch = 13;
inline constexpr std::int32_t kErrInvalidUseOfNull = 94;

// Source given to the standard errors (they come from the runtime, not from one
// of our components).
inline constexpr char16_t kSystemSource[] = u"PingSweep";

class Error : public std::exception {
 public:
  Error(std::int32_t number, std::u16string source, std::u16string description);

  std::int32_t Number() const noexcept { return number_; }
  const std::u16string& Source() const noexcept { return source_; }
  const std::u16string& Description() const noexcept { return description_; }

  // UTF-8 "Error <number>: <description>", for logs and std::terminate.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::int32_t number_;
  std::u16string source_;
  std::u16string description_;
  std::string what_;
};

// The standard errors, with their fixed numbers and English wording.
Error OverflowError();
Error SubscriptOutOfRangeError();
Error TypeMismatchError();
Error InvalidUseOfNullError();

// UTF-16 <-> UTF-8 for the edges that speak UTF-8 (stderr, exception text).
// Unpaired surrogates and malformed UTF-8 become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace ps
