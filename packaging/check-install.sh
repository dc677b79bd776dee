#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and checks what lands there:
# the program and its manual page and nothing else, the program's version,
# and a manual page that is of this version and documents every word the
# program's help lists.
#   check-install.sh CMAKE BUILD_DIR BINDIR MANDIR VERSION [RUNNER...]
# RUNNER runs a program of a cross build (qemu-aarch64).
set -uo pipefail
cmake=$1 build=$2 bindir=$3 mandir=$4 version=$5
runner=("${@:6}")
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! log=$("$cmake" --install "$build" --prefix "$prefix" 2>&1); then
    echo "$log"
    echo "FAIL: cmake --install exited non-zero"
    exit 1
fi

program=$prefix/$bindir/quillfind
page=$prefix/$mandir/man1/quillfind.1
expected=$(printf '%s\n' "$bindir/quillfind" "$mandir/man1/quillfind.1" | LC_ALL=C sort)
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[[ $actual == "$expected" ]] || fail "installed files are"$'\n'"$actual"$'\n'"expected"$'\n'"$expected"
[[ -x $program ]] || fail "$bindir/quillfind is missing or not executable"
[[ -f $page ]] || fail "$mandir/man1/quillfind.1 is missing"
if ((failures > 0)); then
    exit 1
fi

help=$("${runner[@]}" "$program" help)
status=$?
((status == 0)) || fail "quillfind help exited $status"
grep -qx "Version:  $version" <<<"$help" || fail "quillfind help has no line 'Version:  $version':"$'\n'"$help"

th=$(grep -m1 '^\.TH' "$page")
[[ $th == *"\"quillfind $version\""* ]] || fail "the manual page is not of version $version: $th"

# The words are the first column of the help's option lines ("com=#", "serial=S",
# "usage|help"); the page names each at the head of an entry of its OPTIONS
# section, the line after a .TP.
documented=$(awk '/^\.SH /{inside = ($2 == "OPTIONS")} inside && tagged {print} {tagged = inside && /^\.TP/}' "$page" |
             sed -E 's/^\.[A-Z]+ //; s/\\f[BIRP]//g; s/[",]/ /g')
words=$(sed -n '/^Options:/,$p' <<<"$help" | sed -nE 's/^    ([^ ]+).*/\1/p' | tr '|' '\n' | sed -E 's/=.*$/=/')
[[ -n $words ]] || fail "no option words found in the help text"
for word in $words; do
    found=0
    for tag in $documented; do
        [[ $tag == "$word" ]] && found=1
    done
    ((found)) || fail "the manual page has no OPTIONS entry for '$word'"
done

if ((failures > 0)); then
    exit 1
fi
echo "installed $bindir/quillfind and $mandir/man1/quillfind.1; version $version; every help word documented"
