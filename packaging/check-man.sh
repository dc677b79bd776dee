#!/usr/bin/env bash
# Renders the manual page the way man shows it in an 80-column terminal and
# fails on any warning from groff (a bad macro, a line that cannot be set, a
# broken escape) and on any line wider than the terminal.
#   check-man.sh PAGE
set -uo pipefail
page=$1
if ! command -v man >/dev/null; then
    # Where every test must run, a missing tool is a failure, not a skip.
    if [[ ${CI:-} == true || ${QUILLFIND_REQUIRE_ALL_TOOLS:-} == 1 ]]; then
        echo "man is not installed (tools/install-deps.sh all installs it)"
        exit 1
    fi
    echo "man is not installed; nothing to check with"
    exit 77
fi
text=$(mktemp)
trap 'rm -f "$text"' EXIT
warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >"$text")
status=$?
if ((status != 0)) || [[ -n $warnings ]]; then
    echo "man -l $page exited $status with:"
    echo "$warnings"
    exit 1
fi
# groff sets the lines of an example (.nf) as they stand, without a warning
# when one is too wide; the terminal then wraps it.
wide=$(LC_ALL=C.UTF-8 grep -E '^.{81}' "$text")
if [[ -n $wide ]]; then
    echo "lines wider than 80 columns in $page:"
    echo "$wide"
    exit 1
fi
echo "$page renders without warnings, within 80 columns"
