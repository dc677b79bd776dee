#!/usr/bin/env bash
# Applies each fault of tools/mutants.list to the product, one at a time,
# rebuilds, runs the tests that should notice it, and reports the faults that
# no test caught. Needs the windows and native presets configured and built
# (tools/test.sh does that); the Windows faults are caught by the native
# preset's Wine tests, or by the windows preset's tests under Wine.
#
#   tools/mutants.sh [PATTERN]   only the faults whose title contains PATTERN
#
# Every file is put back after its fault, also when the script is stopped.
# Exit status: 0 when every fault was caught, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

only=${1:-}
list=tools/mutants.list
log=build/mutants.log
mkdir -p build
: >"$log"

saved=""
restore() {
    if [[ -n $saved ]]; then
        cp -- "$saved" "${saved%.mutant-original}"
        rm -f -- "$saved"
        saved=""
    fi
}
trap restore EXIT INT TERM

rebuild() {
    cmake --build --preset windows >>"$log" 2>&1 && cmake --build --preset native >>"$log" 2>&1
}

# Replaces the one occurrence of FROM in FILE by TO ("<NL>" stands for a line
# end in both). False when FROM is not there exactly once: the list is stale.
apply() {
    local file=$1 from=${2//<NL>/$'\n'} to=${3//<NL>/$'\n'}
    FROM=$from TO=$to perl -0777 -i -ne '
        my $n = () = /\Q$ENV{FROM}\E/g;
        if ($n != 1) { print; exit 3 }
        s/\Q$ENV{FROM}\E/$ENV{TO}/; print' "$file"
}

tried=0
caught=0
missed=()
run_fault() {
    local title=$1 file=$2 from=$3 to=$4 tests=$5 preset=$6
    [[ -z $only || $title == *"$only"* ]] || return 0
    tried=$((tried + 1))
    cp -- "$file" "$file.mutant-original"
    saved="$file.mutant-original"
    local status=0
    apply "$file" "$from" "$to" || status=$?
    if ((status != 0)); then
        restore
        printf 'STALE   %s (the text to change is not in %s exactly once)\n' "$title" "$file"
        missed+=("$title (stale)")
        return 0
    fi
    local verdict
    if ! rebuild; then
        verdict=""
        missed+=("$title (does not build: not a fault a test could catch)")
    else
        echo "=== $title" >>"$log"
        local output first
        output=$(ctest --preset "$preset" -R "$tests" --stop-on-failure 2>&1) || true
        echo "$output" >>"$log"
        first=$(sed -n '/The following tests FAILED:/{n;p;q}' <<<"$output" |
            sed -E 's/^[[:space:]]*[0-9]+ - //')
        if [[ -n $first ]]; then
            verdict="caught by $first"
        elif grep -q 'No tests were found' <<<"$output"; then
            verdict=""
            missed+=("$title (no test matches $tests)")
        else
            verdict=""
            missed+=("$title")
        fi
    fi
    restore
    if [[ -n $verdict ]]; then
        caught=$((caught + 1))
        printf 'caught  %s: %s\n' "$title" "$verdict"
    else
        printf 'MISSED  %s\n' "${missed[-1]}"
    fi
}

title="" file="" from="" to="" tests="" preset=native
flush() {
    if [[ -n $title ]]; then
        run_fault "$title" "$file" "$from" "$to" "$tests" "$preset"
    fi
    title="" file="" from="" to="" tests="" preset=native
}
while IFS= read -r line || [[ -n $line ]]; do
    case $line in
        "## "*) flush; title=${line#\#\# } ;;
        "file "*) file=${line#file } ;;
        "from "*) from=${line#from } ;;
        "to "*) to=${line#to } ;;
        "to") to="" ;;
        "tests "*) tests=${line#tests } ;;
        "preset "*) preset=${line#preset } ;;
    esac
done <"$list"
flush

# Leave the build as the sources are.
rebuild || true
echo "faults tried: $tried, caught: $caught, missed: ${#missed[@]}"
for fault in "${missed[@]}"; do echo "  missed: $fault"; done
((${#missed[@]} == 0))
