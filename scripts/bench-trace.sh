#!/usr/bin/env bash
# What a large trace costs: `ostrasim trace --last --brief`, a run of
# `ostrautil 51 sda` and the same run with a fault on one of its requests
# (counted, never failing) on a board whose trace.jsonl holds about MB
# megabytes (default 100), against the same on a fresh board; the best of
# three, in seconds.  Needs build/native.
# usage: scripts/bench-trace.sh [MB]
set -euo pipefail
cd "$(dirname "$0")/.."
mb=${1:-100}
S=$PWD/build/native/ostrasim U=$PWD/build/native/ostrautil
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for b in fresh large; do
  "$S" init "$work/$b" >/dev/null
  "$S" run "$work/$b" -- "$U" 51 sda >/dev/null
done
# the large board's trace: its run again and again, each copy another process
python3 - "$work/large/trace.jsonl" "$mb" <<'EOF'
import json, sys
path, mb = sys.argv[1], int(sys.argv[2])
lines = [json.loads(line) for line in open(path)]
seq, pid = lines[-1]["seq"], 1
with open(path, "a") as out:
    while out.tell() < mb << 20:
        pid += 1
        for line in lines:
            seq += 1
            out.write(json.dumps(dict(line, seq=seq, pid=pid), separators=(",", ":")) + "\n")
EOF
best() {
  local t b=999
  for _ in 1 2 3; do
    t=$( { TIMEFORMAT=%R; time "$@" >/dev/null 2>&1; } 2>&1)
    b=$(echo "$t $b" | awk '{ print ($1 < $2) ? $1 : $2 }')
  done
  echo "$b"
}
printf 'trace.jsonl: fresh %s bytes, large %s bytes\n' "$(stat -c %s "$work/fresh/trace.jsonl")" \
  "$(stat -c %s "$work/large/trace.jsonl")"
for b in fresh large; do
  brief=$(best "$S" trace "$work/$b" --last --brief) plain=$(best "$S" run "$work/$b" -- "$U" 51 sda)
  "$S" fault "$work/$b" add ZTOSTRA_GET_SMARTATTR --after 1000000000 >/dev/null
  printf '%-6s trace --last --brief %6s s   run 51 sda %6s s   with a fault %6s s\n' "$b" \
    "$brief" "$plain" "$(best "$S" run "$work/$b" -- "$U" 51 sda)"
done
