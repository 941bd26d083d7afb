#!/bin/sh
# tools/setup in a throwaway PATH without cmake: dpkg-query says every package
# but those in $MISSING is installed, apt-get records its arguments, id prints
# $UID_IS. It asks for exactly what is missing, for nothing when nothing is,
# and, neither root nor with sudo, prints the apt-get line and exits 1.
# Usage: setup.sh SOURCE_FOLDER
set -u
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/bin"
ln -s "$(command -v env)" "$(command -v awk)" "$work/bin/"
printf '#!/bin/sh\nshift 2\nfor p; do case " $MISSING " in *" $p "*) ;; *) echo "$p install ok installed" ;; esac; done\n' >"$work/bin/dpkg-query"
printf '#!/bin/sh\necho "$*" >>"%s/asked"\n' "$work" >"$work/bin/apt-get"
printf '#!/bin/sh\necho "$UID_IS"\n' >"$work/bin/id"
chmod +x "$work/bin/dpkg-query" "$work/bin/apt-get" "$work/bin/id"
status=0
# mode | missing | uid | exit status | what apt-get is asked
while IFS='|' read -r mode missing uid want asked; do
    : >"$work/asked"
    out=$(MISSING=$missing UID_IS=$uid PATH="$work/bin" "$1/tools/setup" "$mode" 2>&1)
    rc=$?
    got=$(tr '\n' ';' <"$work/asked")
    if [ "$rc" != "$want" ] || [ "$got" != "$asked" ] ||
        { [ "$rc" = 1 ] && ! echo "$out" | grep -qx "apt-get install $missing"; }; then
        echo "FAIL: $mode, missing '$missing', uid $uid: exit $rc, apt-get asked '$got'; $out"
        status=1
    fi
done <<'ROWS'
test|cmake|0|0|update -q;install -y -q --no-install-recommends cmake;
test|cmake strace|0|0|update -q;install -y -q --no-install-recommends cmake strace;
demo|strace|0|0|
test||0|0|
test|cmake|1000|1|
ROWS
exit "$status"
