#include "cli/sweep/checked_output.h"

#include <cerrno>

namespace ps::cli {

CheckedOutput::CheckedOutput(std::ostream& target) : forward_(target.rdbuf()), stream_(&forward_) {
  if (target.rdbuf() == nullptr || !target) stream_.setstate(std::ios::badbit);
}

Status CheckedOutput::Finish() {
  stream_.flush();
  if (!forward_.status().ok()) return forward_.status();
  // A write the stream refused before reaching the target (none expected).
  if (!stream_) return Status::Failure("cannot write the output");
  return Status::Ok();
}

void CheckedOutput::Forward::Failed() {
  if (!status_.ok()) return;  // the first failure says why
  status_ = Status::Failure("cannot write the output", errno);
}

int CheckedOutput::Forward::overflow(int c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  errno = 0;
  if (target_ == nullptr || traits_type::eq_int_type(target_->sputc(traits_type::to_char_type(c)),
                                                     traits_type::eof())) {
    Failed();
    return traits_type::eof();
  }
  return c;
}

std::streamsize CheckedOutput::Forward::xsputn(const char* s, std::streamsize n) {
  errno = 0;
  const std::streamsize written = target_ == nullptr ? 0 : target_->sputn(s, n);
  if (written < n) Failed();
  return written;
}

int CheckedOutput::Forward::sync() {
  errno = 0;
  if (target_ == nullptr || target_->pubsync() == -1) {
    Failed();
    return -1;
  }
  return 0;
}

}  // namespace ps::cli
