#!/bin/sh
# Builds the release archive from an already built tree and checks that it
# holds both programs, both manuals, the readme and the operator guide under
# the version's folder name, with a SHA256SUMS that checks out.
# Usage: package_listing.sh BUILD_FOLDER VERSION ARCH
set -u
build=$1
version=$2
arch=$3
name="orvpatch-$version-Linux-$arch"
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT INT TERM
if ! cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
archive="$out/$name.tar.gz"
if [ ! -f "$archive" ]; then
    echo "FAIL: no $name.tar.gz; cpack made:"
    ls "$out"
    exit 1
fi
listing=$(tar tzf "$archive") || exit 1
echo "$listing"
status=0
for entry in sbin/orvpatch sbin/orvpatch-check share/man/man8/orvpatch.8 \
    share/man/man8/orvpatch-check.8 share/doc/orvpatch/README.md \
    share/doc/orvpatch/OPERATORS.md SHA256SUMS; do
    if ! echo "$listing" | grep -qx "$name/$entry"; then
        echo "FAIL: $name/$entry is missing"
        status=1
    fi
done
# Nothing of the test build travels along.
if echo "$listing" | grep -E 'testbed|domsim|lockholder|_test$|kvfileop'; then
    echo "FAIL: a test program is in the archive"
    status=1
fi
mkdir "$out/unpacked" && tar xzf "$archive" -C "$out/unpacked" || exit 1
if ! (cd "$out/unpacked/$name" && sha256sum -c --strict SHA256SUMS >/dev/null &&
    [ "$(wc -l <SHA256SUMS)" -eq "$(find . -type f ! -name SHA256SUMS | wc -l)" ]); then
    echo "FAIL: SHA256SUMS does not check out, or does not name every file"
    status=1
fi
exit $status
