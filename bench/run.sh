#!/usr/bin/env bash
# Builds the release programs and times them against emulated controllers,
# natively and under Wine; writes bench/results.md.
#
#   bench/run.sh [--runs N] [--no-wine] [--output FILE]
#
# Exits 1 when a native figure misses its target by more than the machine's
# measured noise, 2 when a run gave a wrong answer or could not be set up.
#
# The builds go to trees of their own (build/bench/native, build/bench/windows)
# configured from the native and windows presets, so that a test run or a
# reconfigure in build/native, which also empties build/native/devroot, cannot
# disturb a measurement. The native tree is a Release build: the preset's
# RelWithDebInfo carries debug information that would swell the size figure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
# GNU time reports the peak memory of the program alone (see bench.py).
if [[ ! -x /usr/bin/time ]]; then
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq time >/dev/null
fi

jobs=$(nproc)
echo "=== building (native preset, Release) into build/bench/native"
cmake --preset native -B build/bench/native -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench/native -j "$jobs" --target quillfind quillfind-devroot quillfern-emulator

want_wine=1
for arg in "$@"; do
    [[ $arg == --no-wine ]] && want_wine=0
done
if ((want_wine)); then
    echo "=== building (windows preset) into build/bench/windows"
    cmake --preset windows -B build/bench/windows -DQUILLFIND_BUILD_TESTS=OFF >/dev/null
    cmake --build build/bench/windows -j "$jobs" --target quillfind
fi

echo "=== measuring"
exec python3 bench/bench.py "$@"
