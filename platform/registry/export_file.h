// Writing the file an export names: the file system's part of
// `pingsweep-reg export`. Implemented per platform (linux_*.cc).
#pragma once

#include <string>
#include <string_view>

namespace ps::platform {

// Whether anything is at `path`: a file, a folder, a device, a symbolic link
// (even one to nothing).
bool PathExists(const std::string& path);

// Makes `bytes` the whole content of what `path` names.
//  - A file, or nothing yet: replaced in one step. The bytes go to a new file
//    beside it, created under a fresh name that nobody can have planted a
//    link at, which then takes the file's place: a reader sees the old file
//    or the new one, and a failure leaves the old one. The new file keeps the
//    old one's permission bits and, where allowed, its owner; a first one
//    gets what the umask allows.
//  - A symbolic link: the file it leads to is replaced so, and the link
//    stays. A link to nothing is refused.
//  - A device or a FIFO: written in place, as any program writes to one; it
//    stays what it is.
//  - A folder: refused.
// Returns false with *problem saying why ("No space left on device").
bool WriteWholeFile(const std::string& path, std::string_view bytes, std::string* problem);

}  // namespace ps::platform
