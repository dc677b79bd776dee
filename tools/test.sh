#!/usr/bin/env bash
# Builds everything (native, sanitizers, the Windows and ARM cross builds,
# fuzzers) and runs every test. Works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh all

# Every test runs here: a tool the suite needs that is missing fails the
# configure (see quillfind_missing_tool in CMakeLists.txt) instead of
# leaving its tests out.
export QUILLFIND_REQUIRE_ALL_TOOLS=1

jobs=$(nproc)
presets=()
for preset in windows native sanitize tsan fuzz arm64 armhf; do
    if cmake --list-presets 2>/dev/null | grep -q "\"${preset}\""; then
        presets+=("$preset")
    fi
done

# Everything is built before anything is tested: the native end-to-end tests
# run the Windows executable under Wine as well.
for preset in "${presets[@]}"; do
    echo "=== ${preset}: configure and build"
    start=$SECONDS
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== ${preset}: built in $((SECONDS - start)) s"
done

# Under qemu a test may skip only for what qemu cannot show, which its
# reason says ("qemu cannot show: ..."); any other skip there is a test that
# no run would make.
unshown_skips() {
    python3 - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as tree

for case in tree.parse(sys.argv[1]).iter("testcase"):
    if case.get("status") in ("notrun", "skipped", "disabled") and "qemu cannot show" not in "".join(case.itertext()):
        print(case.get("name"))
EOF
}

failed=()
for preset in "${presets[@]}"; do
    echo "=== ${preset}: test"
    start=$SECONDS
    junit=$PWD/build/$preset/ctest-junit.xml
    if ! ctest --preset "$preset" -j "$jobs" --output-junit "$junit"; then
        failed+=("$preset")
    elif [[ $preset == arm* ]] && skipped=$(unshown_skips "$junit") && [[ -n $skipped ]]; then
        echo "=== ${preset}: skipped under qemu without a reason that qemu cannot show them:"$'\n'"$skipped"
        failed+=("$preset")
    fi
    echo "=== ${preset}: tested in $((SECONDS - start)) s"
done

if ((${#failed[@]} > 0)); then
    echo "=== tests failed in: ${failed[*]}"
    exit 1
fi
echo "=== all tests passed"
