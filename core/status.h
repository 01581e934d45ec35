// The one way code that is not bound to the registry's return codes reports a
// failure: a Status, ok or a failure with a sentence for the user and, when the
// operating system gave one, its error number (errno on Linux). A function
// that also yields a value returns Result<T>: the value, or the Status of why
// there is none. Errors the window raises stay ps::Error (error.h).
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace ps {

// The C library's text for a system error number (errno), or, where the
// library has none for a number it defines (mingw-w64's for sockets), the
// text glibc gives.
std::string SystemErrorText(int error);

class [[nodiscard]] Status {
 public:
  Status() = default;  // ok
  static Status Ok() { return Status(); }
  // `message` says what failed, for the user; `system_error` is the operating
  // system's number for it, or 0.
  static Status Failure(std::string message, int system_error = 0) {
    return Status(std::move(message), system_error, true);
  }
  // A failure the operating system reported, by its number alone; the message
  // is filled in by whoever knows what was being done.
  static Status SystemError(int system_error) { return Status({}, system_error, true); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& message() const { return message_; }
  int system_error() const { return system_error_; }
  // For the user, one line: "message: the system's text for the number", or
  // either alone; "" when ok.
  std::string ToString() const {
    if (system_error_ == 0) return message_;
    const std::string system = SystemErrorText(system_error_);
    return message_.empty() ? system : message_ + ": " + system;
  }

 private:
  Status(std::string message, int system_error, bool failed)
      : message_(std::move(message)), system_error_(system_error), failed_(failed) {}

  std::string message_;
  int system_error_ = 0;
  bool failed_ = false;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts
  Result(Status failure) : status_(std::move(failure)) {}  // NOLINT: so does a failure

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace ps
