# Sourced by the package checks: failures that are counted, and the package
# built from the build tree as a release would build it.

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Makes the package of CPACK_CONFIG in WORK/out (WORK is emptied first) and
# checks that FILE is there; ends the script when not.
#   make_package CPACK CPACK_CONFIG WORK FILE
make_package() {
    local cpack=$1 config=$2 work=$3 file=$4
    rm -rf -- "$work"
    mkdir -p -- "$work"
    # -B keeps the package and CPack's staging out of the build tree's top,
    # where a release build of the package target puts them.
    if ! "$cpack" --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log"
        echo "FAIL: cpack exited non-zero"
        exit 1
    fi
    if [[ ! -f $work/out/$file ]]; then
        echo "FAIL: cpack made no $file; $work/out holds:"
        ls -- "$work/out"
        exit 1
    fi
}

# Exits with the checks' verdict, saying SUMMARY when all passed.
finish() {
    ((failures == 0)) || exit 1
    echo "$1"
}
