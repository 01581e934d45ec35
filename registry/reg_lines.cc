#include "registry/reg_lines.h"

#include <algorithm>
#include <cstring>
#include <istream>

#include "core/codepage.h"
#include "core/error.h"

namespace ps::reg::internal {
namespace {

using namespace platform;

// Read a piece at a time: the largest thing held is the longest line.
constexpr std::size_t kPiece = 1 << 16;

class View final : public ByteSource {
 public:
  explicit View(std::string_view bytes) : bytes_(bytes) {}
  bool Read(char* buffer, std::size_t size, std::size_t* got) override {
    *got = std::min(size, bytes_.size() - at_);
    if (*got > 0) std::memcpy(buffer, bytes_.data() + at_, *got);
    at_ += *got;
    return true;
  }
  bool Rewind() override {
    at_ = 0;
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

class Stream final : public ByteSource {
 public:
  explicit Stream(std::istream& in) : in_(in), start_(in.tellg()) {}
  bool Read(char* buffer, std::size_t size, std::size_t* got) override {
    in_.read(buffer, static_cast<std::streamsize>(size));
    *got = static_cast<std::size_t>(in_.gcount());
    return !in_.bad();
  }
  bool Rewind() override {
    if (start_ < 0) return false;
    in_.clear();
    return static_cast<bool>(in_.seekg(start_));
  }

 private:
  std::istream& in_;
  std::streamoff start_;
};

// UTF-8 as FromUtf8 accepts it (no overlong forms, surrogates or code points
// past U+10FFFF), checked a piece at a time.
class Utf8Check {
 public:
  // false at the first byte that cannot be UTF-8.
  bool Feed(std::string_view bytes) {
    for (const unsigned char b : bytes) {
      if (need_ > 0) {
        if (b < low_ || b > high_) return false;
        low_ = 0x80;
        high_ = 0xBF;
        --need_;
      } else if (b < 0x80) {
        lines_ += b == '\n';
      } else if (b >= 0xC2 && b <= 0xDF) {
        need_ = 1;
      } else if (b >= 0xE0 && b <= 0xEF) {
        need_ = 2;
        low_ = b == 0xE0 ? 0xA0 : 0x80;
        high_ = b == 0xED ? 0x9F : 0xBF;
      } else if (b >= 0xF0 && b <= 0xF4) {
        need_ = 3;
        low_ = b == 0xF0 ? 0x90 : 0x80;
        high_ = b == 0xF4 ? 0x8F : 0xBF;
      } else {
        return false;
      }
    }
    return true;
  }
  // Whether the text ended between characters.
  bool Finished() const { return need_ == 0; }
  // The line of the last byte fed.
  int line() const { return lines_ + 1; }

 private:
  int need_ = 0;  // continuation bytes still to come
  unsigned char low_ = 0x80, high_ = 0xBF;
  int lines_ = 0;
};

bool Problem(RegError* error, int line, const std::string& what) {
  error->line = line;
  error->code = ERROR_INVALID_PARAMETER;
  error->message = "line " + std::to_string(line) + ": " + what;
  return false;
}

}  // namespace

bool SameAscii(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char16_t>(x - 0x20);
    if (y >= 'a' && y <= 'z') y = static_cast<char16_t>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

// UTF-16LE bytes -> code page, one byte per character.
std::string Utf16LeToCodePage(std::string_view bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto lo = static_cast<unsigned char>(bytes[2 * i]);
    const auto hi = static_cast<unsigned char>(bytes[2 * i + 1]);
    text[i] = static_cast<char16_t>(lo | (hi << 8));
  }
  return CharactersToCodePage(text);
}

std::unique_ptr<ByteSource> ViewSource(std::string_view bytes) {
  return std::make_unique<View>(bytes);
}

std::unique_ptr<ByteSource> StreamSource(std::istream& in) { return std::make_unique<Stream>(in); }

LineReader::LineReader(std::unique_ptr<ByteSource> source) : source_(std::move(source)) {}

bool LineReader::Start(RegError* error) {
  while (buffer_.size() < 3 + 8 && Fill()) {
  }
  if (read_error_) return ReadFailed(error);
  const std::string_view head(buffer_);
  if (head.starts_with("\xFF\xFE")) {
    encoding_ = Encoding::kUtf16Le;
    mark_ = 2;
  } else {
    mark_ = head.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    unicode_ = !head.substr(mark_).starts_with("REGEDIT4");
    encoding_ = unicode_ ? Encoding::kUtf8 : Encoding::kCodePage;
    if (unicode_ && mark_ == 0) {
      if (!ScanUtf8(error)) return false;
      return Reset(error);
    }
  }
  start_ = mark_;
  return true;
}

bool LineReader::ScanUtf8(RegError* error) {
  Utf8Check check;
  bool valid = check.Feed(buffer_);
  while (valid && !at_end_) {
    buffer_.clear();
    start_ = 0;
    if (Fill()) valid = check.Feed(buffer_);
  }
  if (read_error_) return ReadFailed(error);
  if (!valid || !check.Finished()) {
    encoding_ = Encoding::kCodePage;
    note_ = "line " + std::to_string(check.line()) +
            ": not UTF-8, and the file has no byte-order mark: read as Windows-1252";
  }
  return true;
}

bool LineReader::Rewind(RegError* error) { return Reset(error); }

bool LineReader::Reset(RegError* error) {
  if (!source_->Rewind()) {
    return Problem(error, line_, "the file cannot be read a second time (is it a pipe?)");
  }
  buffer_.clear();
  start_ = scanned_ = 0;
  at_end_ = read_error_ = false;
  line_ = 0;
  while (buffer_.size() < mark_ && Fill()) {
  }
  if (read_error_) return ReadFailed(error);
  start_ = std::min(mark_, buffer_.size());
  return true;
}

bool LineReader::ReadFailed(RegError* error) {
  return Problem(error, std::max(line_, 1), "the file cannot be read");
}

bool LineReader::Fill() {
  if (at_end_) return false;
  // What was handed out goes once it is half the buffer: each byte moves
  // at most once on average.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  const std::size_t old = buffer_.size();
  buffer_.resize(old + kPiece);
  std::size_t got = 0;
  if (!source_->Read(buffer_.data() + old, kPiece, &got)) {
    read_error_ = true;
    got = 0;
  }
  buffer_.resize(old + got);
  at_end_ = got == 0;
  return got > 0;
}

bool LineReader::Next(std::u16string* line, RegError* error) {
  ++line_;
  const bool wide = encoding_ == Encoding::kUtf16Le;
  std::size_t end = std::string::npos;
  for (;;) {
    const std::string_view rest = std::string_view(buffer_).substr(start_);
    if (wide) {
      for (std::size_t k = scanned_; k + 1 < rest.size() && end == std::string::npos; k += 2) {
        if (rest[k] == '\n' && rest[k + 1] == '\0') end = k;
      }
      scanned_ = rest.size() & ~std::size_t{1};
    } else {
      end = rest.find('\n', scanned_);
      scanned_ = rest.size();
    }
    if (end != std::string::npos || !Fill()) break;
  }
  if (read_error_) return ReadFailed(error);
  std::size_t size = end == std::string::npos ? buffer_.size() - start_ : end;
  if (end == std::string::npos && size == 0) {
    --line_;
    return false;
  }
  if (wide && size % 2 != 0) return Problem(error, line_, "truncated UTF-16 text (odd length)");
  const std::string_view bytes = std::string_view(buffer_).substr(start_, size);
  if (wide) {
    line->resize(size / 2);
    for (std::size_t i = 0; i < line->size(); ++i) {
      (*line)[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
  } else {
    *line = encoding_ == Encoding::kUtf8 ? FromUtf8(bytes) : FromCodePage(bytes);
  }
  start_ += size + (end == std::string::npos ? 0 : wide ? 2 : 1);
  scanned_ = 0;
  return true;
}

}  // namespace ps::reg::internal
