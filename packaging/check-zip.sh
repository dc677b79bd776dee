#!/usr/bin/env bash
# Builds the Windows ZIP from the build tree as a release would, checks what
# it holds, unpacks it and runs the program inside under Wine.
#   check-zip.sh CPACK CPACK_CONFIG WORK_DIR PACKAGE_NAME VERSION SOURCE_DIR EXE WINE_ENV PREFIX
set -uo pipefail
cpack=$1 config=$2 work=$3 name=$4 version=$5 source=$6 exe=$7 wine_env=$8 prefix=$9
# shellcheck source=package-check.sh
source "$(dirname -- "$0")/package-check.sh"
make_package "$cpack" "$config" "$work" "$name.zip"
zip=$work/out/$name.zip

expected=$(printf '%s\n' "$name/LICENSE" "$name/README.md" "$name/quillfind.exe")
actual=$(unzip -Z1 "$zip" | grep -v '/$' | LC_ALL=C sort)
[[ $actual == "$expected" ]] || fail "$name.zip holds"$'\n'"$actual"$'\n'"expected"$'\n'"$expected"

unzip -q "$zip" -d "$work/unpacked" || { echo "FAIL: cannot unpack $zip"; exit 1; }
unpacked=$work/unpacked/$name
for file in README.md LICENSE; do
    cmp -s -- "$source/$file" "$unpacked/$file" || fail "$file in the package differs from the source's"
done
cmp -s -- "$exe" "$unpacked/quillfind.exe" || fail "quillfind.exe in the package is not the one built"

# Into a file rather than through a pipe: a wine server started by this run
# would hold a pipe open until it ends.
"$wine_env" run "$prefix" "$unpacked/quillfind.exe" help >"$work/help.txt" 2>"$work/help.err"
status=$?
help=$(tr -d '\r' <"$work/help.txt")
((status == 0)) || fail "quillfind.exe help exited $status: $(cat "$work/help.err")"
grep -qx "Version:  $version" <<<"$help" || fail "quillfind.exe help has no line 'Version:  $version':"$'\n'"$help"

finish "$name.zip holds quillfind.exe, README.md and LICENSE; the program runs under Wine as version $version"
