#!/bin/sh
# The shipped programs need nothing beyond the C library, the loader and libm:
# their dynamic sections name no other library (the C++ runtime is inside).
# Usage: dynamic_section.sh STATIC_RUNTIME(ON|OFF) PROGRAM...
static=$1
shift
if [ "$static" != "ON" ]; then
    echo "skipped: this build links the C++ runtime dynamically (sanitizers are on)"
    exit 77
fi
status=0
for program in "$@"; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    if [ -z "$needed" ]; then
        echo "FAIL: $program: readelf shows no needed library (not a dynamic program?)"
        status=1
        continue
    fi
    for library in $needed; do
        case "$library" in
            libc.so.* | libm.so.* | ld-linux*.so.* | ld-linux.so.*) echo "$program: $library" ;;
            *) echo "FAIL: $program needs $library"; status=1 ;;
        esac
    done
done
exit $status
