#!/usr/bin/env bash
# Builds quillfind and runs its main job. With a real controller attached it
# reports the real port; otherwise it shows the search against two emulated
# ports: a device that answers wrongly on COM1, a controller on COM2.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what the demo runs: the test suite and the other presets are
# tools/test.sh's, which installs and builds the rest.
tools/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target quillfind quillfind-devroot quillfern-emulator >/dev/null

set +e
build/native/quillfind
status=$?
set -e
if ((status != 0)); then
    echo "quillfind: Quillfern Controller found on COM${status} (exit status ${status})"
    exit 0
fi

echo "No real controller attached; searching two emulated ports instead."
root=build/native/devroot
rm -rf "$root" && mkdir -p "$root/dev"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
start_emulator() {
    local link=$1; shift
    build/native/tests/emulator/quillfern-emulator --link="$link" "$@" &
    pids+=($!)
    for _ in $(seq 100); do [[ -L $link ]] && return 0; sleep 0.1; done
    echo "emulator at $link did not start" >&2
    exit 1
}
start_emulator "$root/dev/ttyUSB0" --reply=reversed
start_emulator "$root/dev/ttyUSB1"

echo "\$ quillfind verbose"
set +e
build/native/tests/e2e/quillfind-devroot verbose
status=$?
set -e
echo "exit status: ${status}"
