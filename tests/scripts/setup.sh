#!/bin/sh
# tools/setup in a throwaway PATH: stand-ins for dpkg-query (every package
# installed but those in $MISSING), apt-get (records its arguments) and id
# (prints $UID_IS). It must ask apt-get for exactly what is missing, for
# nothing when nothing is, and, neither root nor with sudo, print the
# apt-get line and exit 1.
# Usage: setup.sh SOURCE_FOLDER
set -u
setup=$1/tools/setup
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT INT TERM
mkdir "$work/bin"
for tool in sh env awk cat; do
    ln -s "$(command -v "$tool")" "$work/bin/$tool"
done
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/bin/sh
shift 2
for pkg; do
    case " $MISSING " in
    *" $pkg "*) echo "dpkg-query: no packages found matching $pkg" >&2 ;;
    *) echo "$pkg install ok installed" ;;
    esac
done
STANDIN
printf '#!/bin/sh\necho "$*" >>"%s/asked"\n' "$work" >"$work/bin/apt-get"
printf '#!/bin/sh\necho "$UID_IS"\n' >"$work/bin/id"
chmod +x "$work/bin/dpkg-query" "$work/bin/apt-get" "$work/bin/id"

status=0
# mode | missing | uid | exit status | what apt-get is asked (";" between calls)
while IFS='|' read -r mode missing uid want asked; do
    rm -f "$work/asked"
    out=$(MISSING=$missing UID_IS=$uid PATH="$work/bin" "$setup" "$mode" 2>&1)
    rc=$?
    got=$( [ -f "$work/asked" ] && tr '\n' ';' <"$work/asked")
    got=${got%;}
    if [ "$rc" != "$want" ] || [ "$got" != "$asked" ]; then
        echo "FAIL: $mode, missing '$missing', uid $uid: exit $rc, apt-get asked '$got'"
        echo "      wanted exit $want, '$asked'; output: $out"
        status=1
    elif [ "$want" = 1 ] && ! echo "$out" | grep -qx "apt-get install $missing"; then
        echo "FAIL: $mode, missing '$missing', uid $uid: no apt-get line to run: $out"
        status=1
    fi
done <<'ROWS'
test|cmake|0|0|update -q;install -y -q --no-install-recommends cmake
test|cmake strace|0|0|update -q;install -y -q --no-install-recommends cmake strace
demo|strace|0|0|
test||0|0|
ci|clang|0|0|update -q;install -y -q --no-install-recommends clang
test|cmake|1000|1|
ROWS
[ "$status" = 0 ] && echo "tools/setup: every row passed"
exit "$status"
