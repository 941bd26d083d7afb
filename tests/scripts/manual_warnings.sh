#!/bin/sh
# Renders a manual page with every warning on; any warning fails.
# Usage: manual_warnings.sh PAGE
page=$1
if ! command -v groff >/dev/null 2>&1; then
    echo "skipped: groff is not installed (apt-get install groff-base)"
    exit 77
fi
warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)
rc=$?
if [ $rc -ne 0 ] || [ -n "$warnings" ]; then
    echo "FAIL: $page (groff status $rc)"
    echo "$warnings"
    exit 1
fi
echo "$page renders without a warning"
