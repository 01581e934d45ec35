#!/usr/bin/env bash
# Checks that the platform seams hold: code above platform/ reaches the
# operating system only through them, and each platform/ folder picks its
# backend files in one guard. Prints each breach and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
breach() { echo "check-seams: $*" >&2; status=1; }

# 1. No OS networking, capability or SQLite header, and no backend header,
#    outside platform/. Tests, test support and benchmarks build labs and forge
#    packets, so they may.
os_headers='#include[[:space:]]*[<"](sys/socket\.h|netinet/|linux/|net/if\.h|arpa/inet\.h|sys/capability\.h|sqlite3\.h|platform/[^/]+/(linux|windows)_)'
while IFS= read -r hit; do
  breach "includes a platform header outside platform/: $hit"
done < <(git ls-files '*.cc' '*.h' | grep -v -E '^(platform|testsupport|bench)/|_test\.cc$' |
         xargs -r grep -n -E "$os_headers" || true)

# 2. Backend files are named only in their folder's one guard:
#    if(LINUX) linux_*.cc ... elseif(WIN32) windows_*.cc ... else() ... endif()
for dir in platform/*/; do
  list="$dir/CMakeLists.txt"
  [ -f "$list" ] || { breach "$dir has no CMakeLists.txt"; continue; }
  guards=$(grep -c -E '^if\(LINUX\)' "$list" || true)
  [ "$guards" = 1 ] || breach "$list: expected one 'if(LINUX)' guard, found $guards"
  grep -q -E '^elseif\(WIN32\)' "$list" || breach "$list: no 'elseif(WIN32)' branch"
  while IFS= read -r line; do breach "$list: $line"; done < <(awk '
    /^if\(LINUX\)/     { branch = "linux"; next }
    /^elseif\(WIN32\)/ { branch = "windows"; next }
    /^else\(\)/        { branch = "other"; next }
    /^endif\(\)/       { branch = ""; next }
    {
      line = $0; sub(/#.*/, "", line)
      while (match(line, /(linux|windows)_[A-Za-z0-9_]+\.(cc|h)/)) {
        file = substr(line, RSTART, RLENGTH); line = substr(line, RSTART + RLENGTH)
        os = file; sub(/_.*/, "", os)
        if (os != branch) printf "line %d names %s outside its %s branch\n", NR, file, os
      }
    }' "$list")
done
# Nowhere else names a backend file.
while IFS= read -r hit; do
  breach "a backend file named outside platform/: $hit"
done < <(git ls-files 'CMakeLists.txt' '*/CMakeLists.txt' '*.cmake' | grep -v '^platform/' |
         xargs -r grep -n -E '(linux|windows)_[A-Za-z0-9_]+\.cc' || true)

[ "$status" = 0 ] && echo "check-seams: every seam holds"
exit "$status"
