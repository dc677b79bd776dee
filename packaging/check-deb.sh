#!/usr/bin/env bash
# Builds the Debian package from the build tree as a release would, checks
# its control fields and what it holds, unpacks it and runs the program
# inside: its help, and a search that finds an emulated controller.
#   check-deb.sh CPACK CPACK_CONFIG WORK_DIR NAME VERSION RELEASE SOURCE_DIR SUMMARY ARCH EMULATOR [RUNNER...]
# ARCH is the package's Debian architecture, EMULATOR the controller
# emulator, RUNNER what runs a program of a cross build (qemu-aarch64).
set -uo pipefail
cpack=$1 config=$2 work=$3 name=$4 version=$5 release=$6 source=$7 summary=$8 arch=$9 emulator=${10}
runner=("${@:11}")
# shellcheck source=package-check.sh
source "$(dirname -- "$0")/package-check.sh"
file=${name}_$version-${release}_$arch.deb
make_package "$cpack" "$config" "$work" "$file"
deb=$work/out/$file

field() { dpkg-deb -f "$deb" "$1"; }
for pair in "Package=$name" "Version=$version-$release" "Architecture=$arch" \
            "Section=electronics" "Priority=optional"; do
    key=${pair%%=*}
    [[ $(field "$key") == "${pair#*=}" ]] || fail "$key is '$(field "$key")', expected '${pair#*=}'"
done
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
description=$(field Description)
[[ $(head -n1 <<<"$description") == "$summary" ]] || fail "the Description's first line is not '$summary':"$'\n'"$description"
(($(wc -l <<<"$description") > 1)) || fail "the Description has no long part"
[[ -z $(awk 'length > 80' <<<"$description") ]] || fail "the Description has lines over 80 columns"
# Nothing but the C and C++ runtimes, each with the least version the
# program's symbols need.
depends=$(field Depends | tr ',' '\n' | sed -E 's/^ +//; s/ \(.*//' | LC_ALL=C sort | tr '\n' ' ')
[[ $depends == "libc6 libgcc-s1 libstdc++6 " ]] || fail "Depends is '$(field Depends)'"
# Whole outputs into grep -q: one that stops reading early would break the
# writer's pipe and, with pipefail, fail the pipeline.
info=$(dpkg-deb -I "$deb")
grep -q ' md5sums ' <<<"$info" || fail "the control archive has no md5sums"

# Mode, owner and path of every entry.
expected=$(cat <<'EOF'
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/quillfind
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/quillfind/
-rw-r--r-- root/root ./usr/share/doc/quillfind/copyright
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/quillfind.1.gz
EOF
)
actual=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' | LC_ALL=C sort -k3)
[[ $actual == "$expected" ]] || fail "$file holds"$'\n'"$actual"$'\n'"expected"$'\n'"$expected"

root=$work/unpacked
dpkg-deb -x "$deb" "$root" || { echo "FAIL: cannot unpack $deb"; exit 1; }
cmp -s -- "$source/LICENSE" "$root/usr/share/doc/quillfind/copyright" || fail "copyright is not LICENSE"
page=$root/usr/share/man/man1/quillfind.1.gz
gzip -dc -- "$page" | cmp -s -- "$source/doc/quillfind.1" - || fail "quillfind.1.gz is not doc/quillfind.1"
# gzip -9n: no file name, no time stamp, best compression.
[[ $(od -An -tx1 -N9 -- "$page" | tr -d ' \n') == 1f8b08000000000002 ]] ||
    fail "quillfind.1.gz was not made with gzip -9n: $(od -An -tx1 -N9 -- "$page")"
program=$root/usr/bin/quillfind
sections=$(readelf -S --wide -- "$program")
grep -qE '\.symtab|\.debug_' <<<"$sections" && fail "usr/bin/quillfind is not stripped"

help=$("${runner[@]}" "$program" help)
status=$?
((status == 0)) || fail "quillfind help exited $status"
first="Searches the COM ports on the system for the Quillfern Controller.  If found,"
[[ $(head -n1 <<<"$help") == "$first" ]] || fail "quillfind help starts"$'\n'"$(head -n1 <<<"$help")"
grep -qx "Version:  $version" <<<"$help" || fail "quillfind help has no line 'Version:  $version'"

# The search reads the real /dev: in a mount namespace of its own, a /dev
# that holds only the emulator's port as ttyACM0 (and null) stands over the
# machine's, which stays untouched. Making one needs root.
if [[ $(id -u) -ne 0 ]] || ! unshare --mount true 2>/dev/null; then
    reason="the search of the unpacked program needs root, for a mount namespace"
    if [[ ${CI:-} == true || ${QUILLFIND_REQUIRE_ALL_TOOLS:-} == 1 ]]; then
        fail "$reason"
    else
        ((failures == 0)) || exit 1
        echo "skipped: $reason"
        exit 77
    fi
else
    link=$work/ttyACM0
    "$emulator" --link="$link" --log="$work/emulator.log" &
    emulator_pid=$!
    trap 'kill "$emulator_pid" 2>/dev/null; wait' EXIT
    for _ in $(seq 200); do [[ -L $link ]] && break; sleep 0.05; done
    mkdir -p -- "$work/dev"
    found=$(unshare --mount --propagation private -- sh -c '
        dev=$1 port=$2
        shift 2
        mount -t tmpfs -o mode=755 quillfind-dev "$dev" && touch "$dev/null" "$dev/ttyACM0" &&
            mount --bind /dev/null "$dev/null" && mount --bind "$port" "$dev/ttyACM0" &&
            mount --rbind "$dev" /dev && exec "$@" device' sh "$work/dev" "$(readlink -f -- "$link")" \
        "${runner[@]}" "$program")
    status=$?
    ((status == 1)) && [[ $found == /dev/ttyACM0 ]] ||
        fail "the search exited $status and printed '$found', expected 1 and '/dev/ttyACM0'"
fi

finish "$file: fields, $(dpkg-deb -c "$deb" | grep -vc '^d') files, dependencies '$(field Depends)'; the unpacked program runs as version $version and finds the controller"
