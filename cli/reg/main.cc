// pingsweep-reg: query, change, export and import the PingSweep registry from
// the command line, with the verbs of the platform's console registry tool.

#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "cli/reg/verbs.h"
#include "platform/registry/registry_service.h"

#ifndef PINGSWEEP_VERSION
#define PINGSWEEP_VERSION "unknown"
#endif

namespace {

// Written to read as a manual page through help2man.
constexpr char kHelp[] = R"(Usage: pingsweep-reg VERB ARGUMENTS...
Query, change, export and import the PingSweep registry: the persistent,
hierarchical key/value store that programs using RegistryKey keep their
settings in, with the verbs and switches of the Windows reg command.

Verbs:
  query KEY [/v NAME | /ve] [/s]
                 List the values and subkeys of KEY; /v shows one value,
                 /ve the unnamed (Default) value, /s walks every key below
                 (with /v: every value of that name below KEY).
  add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/f]
                 Create KEY (and the keys above it); with /v or /ve, set a
                 value (/t or /d alone set the (Default) value). TYPE
                 defaults to REG_SZ, DATA to empty.
  delete KEY [/v NAME | /ve | /va] [/f]
                 Delete KEY with everything below it, or one value (/v, /ve),
                 or every value of KEY (/va).
  export KEY FILE [/y]
                 Write KEY and everything below it to FILE as a .reg file
                 (Windows Registry Editor Version 5.00, UTF-16LE).
  import FILE    Apply a .reg file: version 5.00 (UTF-16LE or UTF-8) or
                 REGEDIT4. All or nothing: a file with an error, or one that
                 fails part way, leaves the registry as it was.

Options:
  /v NAME        the value to work on
  /ve            the unnamed (Default) value
  /va            all values of the key (delete)
  /s             query: every key below; add: SEP, the REG_MULTI_SZ separator
                 (default \0, the two characters backslash and zero)
  /t TYPE        REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,
                 REG_BINARY or REG_NONE
  /d DATA        text; a number for REG_DWORD and REG_QWORD (decimal, or hex
                 with 0x); hex digits for REG_BINARY (01ab...)
  /f             change without asking
  /y             overwrite FILE without asking (export)
  --help         display this help and exit
  --version      output version information and exit

Switches may also start with '-' (-v NAME) and are not case-sensitive.

Keys:
  HKCU\Path or HKEY_CURRENT_USER\Path
                 the user's registry (~/.local/share/pingsweep)
  HKLM\Path or HKEY_LOCAL_MACHINE\Path
                 the machine's registry (/var/lib/pingsweep); everyone may
                 read it, only root may change it

Confirmation:
  Without /f, add asks before it overwrites a value and delete before it
  deletes; export asks before it replaces a file unless /y is given. The
  answer is read from standard input, even when it is not a terminal: a line
  starting with y is yes; anything else, or the end of input, is no, and the
  command then fails without changing anything.

Examples:
  pingsweep-reg add 'HKCU\Software\Demo' /v Port /t REG_DWORD /d 8080
  pingsweep-reg query 'HKCU\Software\Demo'
  pingsweep-reg export 'HKCU\Software\Demo' demo.reg /y
  pingsweep-reg import demo.reg
  pingsweep-reg delete 'HKCU\Software\Demo' /f

Exit status:
  0 on success; 1 on failure (the reason follows "ERROR:" on standard error)
  or when a confirmation was answered no.

Environment:
  PINGSWEEP_REGISTRY_DIR
                 keep both registries' files in this folder instead
)";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  for (const std::string& w : words) {
    if (w == "--help" || w == "-h" || w == "/?" || w == "-?") {
      std::cout << kHelp;
      return 0;
    }
    if (w == "--version") {
      std::cout << "pingsweep-reg (PingSweep) " << PINGSWEEP_VERSION << "\n";
      return 0;
    }
  }
  ps::regtool::Args args;
  std::string error;
  if (!ps::regtool::ParseArgs(words, &args, &error)) {
    std::cerr << "ERROR: " << error << "\nType \"pingsweep-reg --help\" for usage.\n";
    return 1;
  }
  try {
    return ps::regtool::RunVerb(args, ps::platform::RegistryService::Default(), std::cout,
                                std::cerr, std::cin);
  } catch (const std::bad_alloc&) {
    // What was under way was given up; a change in the registry is all or
    // nothing.
    std::cerr << "ERROR: Not enough memory resources are available to complete this operation.\n";
    return 1;
  }
}
