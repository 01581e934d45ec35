// The lines of a .reg file as text, read a piece at a time: the reader holds
// the line it hands out and one piece of the file, never the whole file.
// Used by the parser (reg_file.cc); not part of the library's interface,
// nor are the text helpers beside it.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "registry/reg_file.h"

namespace ps::reg::internal {

// Where a file's bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `size` bytes into `buffer`, *got of them (0 at the end); false when
  // the bytes cannot be read.
  virtual bool Read(char* buffer, std::size_t size, std::size_t* got) = 0;
  // Back to the first byte; false when the source cannot go back.
  virtual bool Rewind() = 0;
};

// Whether two names are the same, ASCII letters compared without case.
bool SameAscii(std::u16string_view a, std::u16string_view b);
// UTF-16LE bytes (an even number) -> code page, one byte per character.
std::string Utf16LeToCodePage(std::string_view bytes);

// The bytes must outlive the source.
std::unique_ptr<ByteSource> ViewSource(std::string_view bytes);
// The stream must outlive the source; it is read from its current position,
// which Rewind() goes back to.
std::unique_ptr<ByteSource> StreamSource(std::istream& in);

// Splits a file into lines of UTF-16 text. The encoding: UTF-16LE after its
// byte-order mark; Windows-1252 for "REGEDIT4"; otherwise UTF-8, with or
// without its byte-order mark, but a file without one that is not UTF-8
// throughout is read as Windows-1252 (and note() says so), so that no byte
// of it turns into a replacement character.
class LineReader {
 public:
  explicit LineReader(std::unique_ptr<ByteSource> source);

  // Finds the encoding, reading the whole file first when it must (the case
  // without a byte-order mark), and goes to the first line. false with *error
  // when the file cannot be read.
  bool Start(RegError* error);
  // Back to the first line, the encoding kept. false with *error when the
  // source cannot go back.
  bool Rewind(RegError* error);

  // The next line without its '\n'. false at the end of the file, and with
  // *error set (code other than ERROR_SUCCESS) when the file cannot be read
  // or ends in half a UTF-16 character.
  bool Next(std::u16string* line, RegError* error);
  // The line being read, or the last one handed out; counting from 1.
  int line() const { return line_; }

  // Version 5.00 rules apply (text in hex(N) is UTF-16LE), not REGEDIT4's.
  bool unicode() const { return unicode_; }
  // What the reader had to assume about the file, "" when nothing.
  const std::string& note() const { return note_; }

 private:
  enum class Encoding { kUtf16Le, kUtf8, kCodePage };

  // Appends the next piece of the file to buffer_; false at its end.
  bool Fill();
  // Whether the file is UTF-8 throughout, from its start; sets note_ if not.
  bool ScanUtf8(RegError* error);
  // Empties the buffer and skips the byte-order mark.
  bool Reset(RegError* error);
  bool ReadFailed(RegError* error);

  std::unique_ptr<ByteSource> source_;
  Encoding encoding_ = Encoding::kUtf8;
  bool unicode_ = true;
  std::size_t mark_ = 0;  // bytes of the byte-order mark
  std::string note_;
  std::string buffer_;       // bytes read and not handed out yet, from start_
  std::size_t start_ = 0;    // where the next line starts in buffer_
  std::size_t scanned_ = 0;  // bytes from start_ known to hold no line end
  bool at_end_ = false;
  bool read_error_ = false;
  int line_ = 0;
};

}  // namespace ps::reg::internal
