// The program's results as written: every write checked, so that results
// that could not be written (a full disk, a device that takes nothing) are
// reported as a failure instead of passing for success.
#pragma once

#include <ostream>
#include <streambuf>

#include "core/status.h"

namespace ps::cli {

class CheckedOutput {
 public:
  // Writes through to `target`, which must outlive this object.
  explicit CheckedOutput(std::ostream& target);
  CheckedOutput(const CheckedOutput&) = delete;
  CheckedOutput& operator=(const CheckedOutput&) = delete;

  std::ostream& stream() { return stream_; }
  // Flushes everything written. Ok, or the failure of the first write that
  // did not go through, with the system's error number when it gave one.
  Status Finish();

 private:
  // Unbuffered: each write reaches the target at once, so the system's
  // reason for a failure is read before anything else can change it.
  class Forward : public std::streambuf {
   public:
    explicit Forward(std::streambuf* target) : target_(target) {}
    const Status& status() const { return status_; }

   protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

   private:
    void Failed();
    std::streambuf* target_;
    Status status_;
  };

  Forward forward_;
  std::ostream stream_;
};

}  // namespace ps::cli
