#!/usr/bin/env bash
# Open-ended fuzzing: each target for a time, from a fresh random seed. Not
# part of the test suite, whose fuzz tests run a fixed number of inputs from a
# fixed seed so that they fail on faults, not on chance.
#
#   tools/fuzz.sh [seconds per target, default 300] [target...]
#
# New inputs and crash files go to build/fuzz/explore/<target>/; the checked-in
# corpus is only read. To add to it the new inputs that reach code it did not
# (hit counts aside, which keeps it small):
#   build/fuzz/tests/fuzz/<target> -merge=1 -use_counters=0 tests/fuzz/corpus/<target> \
#       build/fuzz/explore/<target>/corpus
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(fuzz_options fuzz_device_names)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 2 --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
    out=build/fuzz/explore/${target}
    mkdir -p "${out}/corpus" "${out}/artifacts"
    echo "=== ${target}: ${seconds} s"
    if ! "build/fuzz/tests/fuzz/${target}" -max_total_time="${seconds}" -timeout=10 \
        -dict=tests/fuzz/quillfind.dict -print_final_stats=1 -artifact_prefix="${out}/artifacts/" \
        "${out}/corpus" "tests/fuzz/corpus/${target}"; then
        failed+=("$target")
    fi
done

if ((${#failed[@]} > 0)); then
    echo "=== failed: ${failed[*]} (inputs in build/fuzz/explore/<target>/artifacts)"
    exit 1
fi
