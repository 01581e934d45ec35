// Moving key trees between the registry service and .reg files
// (registry/reg_file.h). Everything goes through the service's registry
// functions, so the rights are the registry's: changing HKEY_LOCAL_MACHINE
// needs what any change there needs.
//
// An import is all or nothing:
//  1. the whole file is parsed and checked before the registry is touched, so
//     a malformed file changes nothing and its first error names the line;
//     the file is read twice (once to check it, once to apply it), a section
//     at a time, so that it is never held in memory as a whole;
//  2. write access to every root the file names is checked before the first
//     change;
//  3. a registry that batches (platform/registry/registry_batch.h) gets the
//     whole import as one batch: a failing change aborts it, other processes
//     see nothing before the commit, and a crash leaves nothing;
//  4. any other registry journals each change (the previous data of a value,
//     the first key a section had to create, a copy of a key tree before it
//     is deleted); when a change fails, the journal is played backwards and
//     the registry is back where it was. That is not atomic: another process
//     may see the import half applied while it runs, a crash in the middle
//     leaves the changes made so far, and a key that an undo recreates loses
//     its class and volatility. If the undo itself fails, the error says so.
// A batched import into two roots commits them one after the other: should
// the second commit fail, the first root keeps its changes, and the error
// says so. Running out of memory at any point is an error like any other
// (ERROR_OUTOFMEMORY, naming the line being read when it was reading).
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_service.h"
#include "registry/reg_file.h"
#include "registry/reg_keys.h"

namespace ps::reg {

// Reads the key (root, path) and every key below it into `out`, the key
// before its subkeys, values and subkeys in the registry's enumeration order.
// Appends to out->keys. Returns the registry's code (ERROR_FILE_NOT_FOUND for
// a missing key).
platform::LONG ReadTree(platform::RegistryService& service, HKEY root, const std::string& path,
                        RegFile* out);

// Deletes the key (root, path) with everything below it.
platform::LONG DeleteTree(platform::RegistryService& service, HKEY root, const std::string& path);

// The .reg file text (version 5.00, UTF-16LE) of the tree at (root, path).
// A key name holding a line break (CR or LF) cannot be written: its lines
// would read back as other keys and values. The export is then refused, and
// the error names that key.
bool ExportTree(platform::RegistryService& service, HKEY root, const std::string& path,
                std::string* bytes, RegError* error);

// Applies a parsed file, all or nothing (see above).
bool ApplyRegFile(platform::RegistryService& service, const RegFile& file, RegError* error);

// ParseRegFile then ApplyRegFile, a section at a time. *note, when given,
// receives RegFile::note.
bool ImportRegFile(platform::RegistryService& service, std::string_view bytes, RegError* error,
                   std::string* note = nullptr);
// The same for the file `in` (read from its current position): one that can
// seek is read a piece at a time; any other (a pipe) is read into memory.
bool ImportRegStream(platform::RegistryService& service, std::istream& in, RegError* error,
                     std::string* note = nullptr);

// The key (root, path) as a person reads it, in UTF-8:
// "HKEY_CURRENT_USER\Software\Demo".
std::string KeyDisplayName(HKEY root, const std::string& path);

// An English sentence for a registry return code, as the platform words it
// ("Access is denied.").
std::string ErrorText(platform::LONG code);

}  // namespace ps::reg
