#!/usr/bin/env bash
# Renders the manual page the way man shows it and fails on any warning
# from groff (a bad macro, a line that cannot be set, a broken escape).
#   check-man.sh PAGE
set -uo pipefail
page=$1
if ! command -v man >/dev/null; then
    echo "man is not installed; nothing to check with"
    exit 77
fi
warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
status=$?
if ((status != 0)) || [[ -n $warnings ]]; then
    echo "man -l $page exited $status with:"
    echo "$warnings"
    exit 1
fi
echo "$page renders without warnings"
