// pingsweep-reg: the verbs of the platform's console registry tool over the
// registry service (query, add, delete, export, import).
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry/registry_service.h"

namespace ps::regtool {

struct Args {
  std::string verb;                  // lower case
  std::string key;                   // as typed: HKCU\Software\...
  std::string file;                  // export and import
  std::optional<std::string> value;  // /v NAME
  bool default_value = false;        // /ve
  bool all_values = false;           // /va
  bool recurse = false;              // query /s
  bool force = false;                // /f
  bool overwrite = false;            // /y
  std::optional<std::string> type;   // /t
  std::optional<std::string> data;   // /d
  std::string separator = "\\0";     // add /s
};

// Reads the words after the program name. Switches start with '/' or '-' and
// are case-insensitive. On failure returns false with the reason in *error.
bool ParseArgs(const std::vector<std::string>& words, Args* args, std::string* error);

// Runs one verb. Results go to `out`, "ERROR: ..." lines to `err`, and
// confirmations are read from `in` (a line starting with y or Y is yes; any
// other answer, or the end of input, is no). Returns the exit status: 0 on
// success, 1 on failure or when a confirmation was refused.
int RunVerb(const Args& args, platform::RegistryService& service, std::ostream& out,
            std::ostream& err, std::istream& in);

// Value data <-> the command line's text form (reg_data.cc).
// The stored bytes for /t TYPE /d DATA; false with *error when DATA does not
// fit TYPE. *type_code receives the type.
bool EncodeData(const std::string& type, const std::string& data, const std::string& separator,
                platform::DWORD* type_code, std::string* bytes, std::string* error);
// "REG_SZ", ..., or "0x<hex>" for a type without a name.
std::string TypeName(platform::DWORD type);
// The data as query shows it (UTF-8).
std::string FormatData(platform::DWORD type, const std::string& bytes);

}  // namespace ps::regtool
