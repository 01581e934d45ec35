// .reg files: the text format the platform's registry editor reads and writes.
//
// Reading takes "Windows Registry Editor Version 5.00" (UTF-16LE with its
// byte-order mark, or UTF-8 with or without one; without one, a file that is
// not UTF-8 throughout is read as Windows-1252, and the reader says so) and
// "REGEDIT4" (Windows-1252). Every value form is understood: "name"="text", @=
// or ""= for the unnamed value, dword:, hex:, hex(N): for any type N,
// "name"=- and [-KEY] deletions, backslash continuations of hex lists (blank
// and ; comment lines between them are skipped), and ; comments. Strings take
// the escapes \\ \" and also \n \r \0.
//
// The result is kept as the registry stores it: names and text data in the
// single-byte code page (core/codepage.h), text data with its zero byte.
// Names must come through exactly, or the file would change entries it does
// not name: a key path or value name holding a NUL (which a C string would
// cut) or a character outside the code page (which would become '?') is
// refused, naming its line, and so is a key more than 512 levels deep. In
// text data each character the code page cannot hold becomes one '?'. In a
// version 5.00 file the hex forms of REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ
// carry UTF-16LE and are converted, except REG_SZ and REG_EXPAND_SZ data of
// odd length, which cannot be UTF-16 and is kept byte for byte (the
// platform's exports hold such values); in a REGEDIT4 file they carry
// code-page bytes and are kept.
//
// Writing produces version 5.00 the way the platform's editor exports it:
// UTF-16LE with byte-order mark, CRLF line ends, hex lists wrapped before
// column 80 with "\" and a two-space indent on the next line.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_service.h"

namespace ps::reg {

using platform::DWORD;
using platform::HKEY;

// One value line of a key section.
struct RegValueOp {
  int line = 0;         // where the value starts, counting from 1
  bool remove = false;  // "name"=-
  std::string name;     // code-page bytes; empty for the unnamed value
  DWORD type = platform::REG_NONE;
  std::string data;  // as stored
};

// One [KEY] or [-KEY] section with the values that follow it.
struct RegKeyOp {
  int line = 0;
  bool remove = false;  // [-KEY]: the key and everything below it
  HKEY root = 0;
  std::string path;  // code-page bytes below the root, "" for the root itself
  std::vector<RegValueOp> values;
};

struct RegFile {
  std::vector<RegKeyOp> keys;
  // What reading the file had to assume, for its user ("" when nothing): a
  // version 5.00 file without byte-order mark that is not UTF-8 is read as
  // Windows-1252.
  std::string note;
};

// Keys below a root: at most 512 levels, as on the platform.
inline constexpr std::size_t kMaxKeyDepth = 512;

// A problem with a file or an operation on one. line is 0 when no line is to
// blame. message is UTF-8 and names the line when there is one.
struct RegError {
  int line = 0;
  platform::LONG code = platform::ERROR_SUCCESS;
  std::string message;
};

// The root a name stands for: the full names (HKEY_CURRENT_USER, ...) and the
// abbreviations HKCU, HKLM, HKCR and HKU, in any case. 0 when unknown.
HKEY RootFromName(std::u16string_view name);
// The full name of a predefined root ("HKEY_CURRENT_USER"), "" for others.
std::u16string RootName(HKEY root);

// Parses a whole file. On failure returns false, fills *error with the first
// problem and leaves *out unspecified.
bool ParseRegFile(std::string_view bytes, RegFile* out, RegError* error);

// Reads a file one [KEY] section (with its values) at a time, holding that
// section and the line being read rather than the whole file.
class RegReader {
 public:
  // The bytes, or the stream (read from its current position), must outlive
  // the reader. A stream must be able to seek back for Restart(), and for
  // Next() too when it is a version 5.00 file without byte-order mark, whose
  // encoding is known only once it was read to the end.
  explicit RegReader(std::string_view bytes);
  explicit RegReader(std::istream& in);
  ~RegReader();
  RegReader(const RegReader&) = delete;
  RegReader& operator=(const RegReader&) = delete;

  // The next section: false at the end of the file, and on a problem (then
  // failed() and *error names its line).
  bool Next(RegKeyOp* section, RegError* error);
  bool failed() const;
  // Back to the first section; false with *error when the stream cannot.
  bool Restart(RegError* error);
  // The line being read, for messages about a failure outside the reader.
  int line() const;
  // As RegFile::note, once the first section was asked for.
  const std::string& note() const;

 private:
  class Parser;
  std::unique_ptr<Parser> parser_;
};

// The file text for `file` (deletions included), version 5.00.
std::string WriteRegFile(const RegFile& file);

}  // namespace ps::reg
