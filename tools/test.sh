#!/usr/bin/env bash
# Builds everything (native, sanitizers, the Windows cross build, fuzzers)
# and runs every test. Works on a fresh Debian 12 machine.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh all

# Every test runs here: a tool the suite needs that is missing fails the
# configure (see quillfind_missing_tool in CMakeLists.txt) instead of
# leaving its tests out.
export QUILLFIND_REQUIRE_ALL_TOOLS=1

jobs=$(nproc)
presets=()
for preset in windows native sanitize tsan fuzz; do
    if cmake --list-presets 2>/dev/null | grep -q "\"${preset}\""; then
        presets+=("$preset")
    fi
done

# Everything is built before anything is tested: the native end-to-end tests
# run the Windows executable under Wine as well.
for preset in "${presets[@]}"; do
    echo "=== ${preset}: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done

failed=()
for preset in "${presets[@]}"; do
    echo "=== ${preset}: test"
    if ! ctest --preset "$preset" -j "$jobs"; then
        failed+=("$preset")
    fi
done

if ((${#failed[@]} > 0)); then
    echo "=== tests failed in: ${failed[*]}"
    exit 1
fi
echo "=== all tests passed"
