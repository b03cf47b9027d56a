#!/usr/bin/env bash
# The readable trace of commands that send every record the program knows
# matches its golden file tests/expected/trace.TARGET.txt; for native also
# that of stored lines of standard clients and odd records (trace.input.jsonl).
# usage: trace.sh OSTRASIM TARGET OSTRAUTIL
set -eu
[ -x "$3" ] || { echo "SKIPPED: no $3"; exit 77; }
sim=$1 target=$2 util=$3 b=$(mktemp -d)/board
trap 'rm -rf "$(dirname "$b")"' EXIT
"$sim" init "$b" --preset ssd >/dev/null
sed -i 's/"clock": "real"/"clock": "virtual"/' "$b/board.json"
while read -r args; do "$sim" run "$b" -- "$util" $args >/dev/null 2>&1 || true; done <<'END'
51 sda
52 sda
identify /dev/sda
45 sda 12345678
31 sda 1 ffff 12345678
32 sda
ow_set_total sda 1000
pp sda 5
uncwrite sda 0 100
rotational sda
23 sda LL=1 LH=2 HL=3 HH=4 UA=5 UB=6 UC=7 UD=8
END
"$sim" trace "$b" | diff -u "$(dirname "$0")/expected/trace.$target.txt" -
[ "$target" != native ] || { cp "$(dirname "$0")/expected/trace.input.jsonl" "$b/trace.jsonl" && "$sim" trace "$b" | diff -u "$(dirname "$0")/expected/trace.decoded.txt" -; }
