// Names, paths and access rights as the registry store understands them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry_service.h"

namespace ps::platform::registry_internal {

inline constexpr std::size_t kMaxKeyName = 255;
inline constexpr std::size_t kMaxValueName = 16383;
// Levels of keys below a root, as on the platform. Creating a key deeper is
// ERROR_INVALID_PARAMETER; deeper keys written before the limit still open.
inline constexpr std::size_t kMaxKeyDepth = 512;

// The rights that allow a change; a root that cannot be written grants none.
inline constexpr REGSAM kChangeRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// `name` with the letters of Windows-1252 lower-cased: the form names are
// compared and ordered in.
std::string Fold(std::string_view name);

// The order the platform lists subkeys in: by the names' UTF-16 code units,
// upper-cased, compared one by one (a shorter name that is a prefix first).
// Names are Windows-1252, so "_x" sorts after "apps" and the euro sign after
// every Latin-1 letter.
bool PlatformOrderLess(std::string_view a, std::string_view b);

// Splits a backslash path into its key names (a null path has none). A leading
// backslash is ERROR_BAD_PATHNAME and a name over kMaxKeyName bytes
// ERROR_INVALID_PARAMETER; repeated and trailing backslashes are skipped.
LONG SplitPath(const char* path, std::vector<std::string_view>* parts);

// A value name as stored: null is the default value's empty name.
inline std::string_view ValueName(const char* name) {
  return name ? std::string_view(name) : std::string_view();
}

// `sam` with the generic and MAXIMUM_ALLOWED bits turned into key rights; the
// maximum is everything on a `writable` root and reading otherwise.
REGSAM MapGenericRights(REGSAM sam, bool writable);

}  // namespace ps::platform::registry_internal
