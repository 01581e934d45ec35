// .reg files: the text format the platform's registry editor reads and writes.
//
// Reading takes "Windows Registry Editor Version 5.00" (UTF-16LE with its
// byte-order mark, or UTF-8 with or without one) and "REGEDIT4" (Windows-1252).
// Every value form is understood: "name"="text", @= for the unnamed value,
// dword:, hex:, hex(N): for any type N, "name"=- and [-KEY] deletions,
// backslash continuations of hex lists, and ; comments. Strings take the
// escapes \\ \" and also \n \r \0.
//
// The result is kept as the registry stores it: names and text data in the
// single-byte code page (core/codepage.h), text data with its zero byte.
// Text from the file that the code page cannot hold becomes '?'. In a
// version 5.00 file the hex forms of REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ
// carry UTF-16LE and are converted; in a REGEDIT4 file they carry code-page
// bytes and are kept.
//
// Writing produces version 5.00 the way the platform's editor exports it:
// UTF-16LE with byte-order mark, CRLF line ends, hex lists wrapped before
// column 80 with "\" and a two-space indent on the next line.
#pragma once

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
};

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

// The file text for `file` (deletions included), version 5.00.
std::string WriteRegFile(const RegFile& file);

}  // namespace ps::reg
