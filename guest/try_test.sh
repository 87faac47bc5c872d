#!/bin/sh
# Trying the bridge with piped input in the virtual MIDI machine, as the README
# shows: the bridge's input ends only once every request has its answer.
#   try_test.sh BRIDGE CONSOLE
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The README's two requests, then a batch written at once; the last request
# is the one that an input ending at once would lose.
{
    printf '{"cmd":"ports"}\n{"id":1,"dest":"aseqdump","bytes":[144,60,100]}\n'
    i=2
    while [ "$i" -le 300 ]; do
        printf '{"id":%d,"dest":"Midi Through Port-0","bytes":[144,60,%d]}\n' "$i" $((i % 128))
        i=$((i + 1))
    done
} >"$work/in"

status=0
"$here/boot.sh" run "$1" "$2" <"$work/in" >"$work/out" 2>"$work/console" || status=$?
fail() {
    echo "try_test.sh: $1"
    echo "== output"; cat "$work/out"
    echo "== guest console"; cat "$work/console"
    exit 1
}
[ "$status" -eq 0 ] || fail "run ended with status $status"
grep -v '^{"ports":' "$work/out" >"$work/replies" || true
i=1
while [ "$i" -le 300 ]; do
    printf '{"id":%d,"ok":true}\n' "$i"
    i=$((i + 1))
done >"$work/expected"
cmp -s "$work/replies" "$work/expected" || fail "not one ok reply per request, in order"
# The start-up report and the ports command's, and any for setup changes.
[ "$(grep -c '^{"ports":' "$work/out")" -ge 2 ] || fail "a ports report is missing"
head -n 1 "$work/out" | grep -q '"name":"aseqdump"' || fail "the first report does not list aseqdump"
echo "try_test.sh: 300 requests, 300 replies in order"
