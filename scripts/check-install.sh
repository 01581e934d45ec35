#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what arrives: every
# expected file, nothing unexpected, and each file valid for its own tools.
#
#   scripts/check-install.sh BUILD-DIR PROGRAMS COMPLETIONS APPSTREAM-ID
#
# PROGRAMS and COMPLETIONS are comma-separated program names. Run by CTest.
set -euo pipefail

build=$1
IFS=, read -r -a programs <<<"$2"
IFS=, read -r -a completions <<<"$3"
appstream_id=$4

prefix=$(mktemp -d /tmp/pingsweep-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" --component pingsweep >/dev/null

expected=(
  share/applications/pingsweep.desktop
  share/icons/hicolor/scalable/apps/pingsweep.svg
  "share/metainfo/$appstream_id.metainfo.xml"
  share/doc/pingsweep/copyright
  share/doc/pingsweep/changelog.gz
  share/doc/pingsweep/README.md
)
for p in "${programs[@]}"; do
  # Every program has its manual page (help2man is in the test packages).
  expected+=("bin/$p" "share/man/man1/$p.1.gz")
done
for c in "${completions[@]}"; do expected+=("share/bash-completion/completions/$c"); done

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# check_page PROGRAM PAGE: the manual page is valid for groff, has the usual
# sections, each heading once, and shows each example whole on a line of its
# own, as one shell command whose options the program knows.
check_page() {
  local p=$1 page=$2 out headings name examples line words w help
  # Any warning of groff's is a fault of the page.
  out=$(zcat "$page" | groff -man -ww -z 2>&1) || fail "groff failed on $p.1"
  [ -z "$out" ] || fail "groff warns on $p.1: $out"
  headings=$(zcat "$page" | sed -nE 's/^\.S[HS] +"?([^"]*[^":])[":]*$/\1/p' | tr '[:lower:]' '[:upper:]')
  for w in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' 'SEE ALSO'; do
    grep -qx "$w" <<<"$headings" || fail "$p.1 has no $w"
  done
  out=$(sort <<<"$headings" | uniq -d)
  [ -z "$out" ] || fail "$p.1 has these headings twice: $out"
  name=$(zcat "$page" | sed -n '/^\.SH NAME/{n;p}')
  if [[ $name == *IPv4* && $name != *IPv6* ]]; then fail "$p.1: the NAME line says IPv4 alone"; fi
  grep -qx EXAMPLES <<<"$headings" || return 0
  # The examples as shown, on lines wide enough for any of them.
  examples=$(zcat "$page" | groff -man -Tascii -P-cbou -rLL=250n 2>/dev/null |
    sed -n '/^EXAMPLES/,/^[A-Z]/p' | sed -nE "s/^ +((sudo )?$p( .*)?)\$/\\1/p")
  [ -n "$examples" ] || fail "$p.1 shows no example command"
  help=$("$prefix/bin/$p" --help 2>/dev/null || true)
  while IFS= read -r line; do
    read -r -a words <<<"$line"
    out=$(printf '%s\n' "${words[@]}" | grep -cxF -- "$p" || true)
    [ "$out" -eq 1 ] || fail "$p.1: examples run together: $line"
    bash -n -c "$line" 2>/dev/null || fail "$p.1: example is no shell command: $line"
    # A backslash outside quotes is lost to the shell.
    if sed "s/'[^']*'//g" <<<"$line" | grep -qF '\'; then fail "$p.1: example needs quotes: $line"; fi
    for w in "${words[@]}"; do
      [[ $w == -* ]] || continue
      grep -qwF -- "${w%%=*}" <<<"$help" ||
        fail "$p.1: example uses $w, which $p --help does not know"
    done
  done <<<"$examples"
}

actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
want=$(printf '%s\n' "${expected[@]}" | sort)
missing=$(comm -13 <(echo "$actual") <(echo "$want"))
extra=$(comm -23 <(echo "$actual") <(echo "$want"))
[ -z "$missing" ] || fail "not installed: $missing"
[ -z "$extra" ] || fail "installed but not expected: $extra"

for p in "${programs[@]}"; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p is not executable"
  page="$prefix/share/man/man1/$p.1.gz"
  [ -f "$page" ] || continue
  check_page "$p" "$page"
done
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$prefix/share/applications/pingsweep.desktop" 2>&1) ||
    fail "desktop-file-validate: $out"
  [ -z "$out" ] || fail "desktop-file-validate: $out"
fi
if command -v appstreamcli >/dev/null; then
  out=$(appstreamcli validate --no-net --no-color "$prefix/share/metainfo/$appstream_id.metainfo.xml" 2>&1) ||
    fail "appstreamcli validate: $out"
fi
# Addresses and ids that stand in for real ones.
out=$(grep -rliE 'example\.(org|com|net)|org\.example' "$prefix/share/metainfo" "$prefix/share/applications" \
  "$prefix/share/doc/pingsweep/copyright" || true)
[ -z "$out" ] || fail "placeholder address or id in: $out"
grep -qx 'StartupWMClass=PingSweep' "$prefix/share/applications/pingsweep.desktop" ||
  fail "the desktop entry does not name the window class PingSweep"
for c in "${completions[@]}"; do
  # The options offered come from the installed program's --help.
  offered=$(PATH="$prefix/bin:$PATH" bash -c '
    source "$1/share/bash-completion/completions/$2" || exit 1
    COMP_WORDS=("$2" --he); COMP_CWORD=1; COMPREPLY=()
    "$(complete -p "$2" | sed -E "s/.*-F ([^ ]+) .*/\1/")"
    echo "${COMPREPLY[*]}"' _ "$prefix" "$c") || fail "completion for $c does not load"
  [ "$offered" = --help ] || fail "completion for $c offers '$offered' for --he"
done

[ "$failures" -eq 0 ] || exit 1
echo "installed as expected:"
echo "$actual" | sed 's/^/  /'
