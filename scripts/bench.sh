#!/usr/bin/env bash
# Footprint and speed of ostrautil, measured with public tools only (size,
# valgrind's callgrind, GNU time, hyperfine where installed), on the default
# simulated board.  Needs build/native and build/ppc (scripts/test.sh or the
# presets build them).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for p in valgrind time hyperfine; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
board=$work/board
build/native/ostrasim init "$board" >/dev/null
lib=$PWD/build/native/libostrasim.so
sim() { build/native/ostrasim run "$board" -- "$@"; }

echo "== stripped binary: text + data + bss (bytes)"
strip -o "$work/ostrautil.native" build/native/ostrautil
powerpc-linux-gnu-strip -o "$work/ostrautil.ppc" build/ppc/ostrautil
for t in native ppc; do
  size "$work/ostrautil.$t" | awk -v t="$t" 'NR == 2 { printf "%-7s text %6d  data %5d  bss %4d  text+data %6d  file %6d\n", t, $1, $2, $3, $1 + $2, 0 }' |
    sed "s/file      0/file $(stat -c %s "$work/ostrautil.$t")/"
done
for t in native ppc; do
  if readelf -d "build/$t/ostrautil" | grep -q 'libstdc++'; then echo "$t: loads libstdc++"; else echo "$t: needs only $(readelf -d "build/$t/ostrautil" | grep NEEDED | sed 's/.*\[\(.*\)\]/\1/' | tr '\n' ' ')"; fi
done

echo
echo "== instructions executed by the ostrautil process (native, callgrind; children excluded)"
echo "   main: everything main executes (program and C library, start-up excluded);"
echo "   program: main less what the simulator's interposed open/ioctl/system/... cost"
for cmd in "51 sda" "53 sda" "identify /dev/sda"; do
  # valgrind's own launcher is dynamic: it must hand the simulator on
  # shellcheck disable=SC2086
  OSTRASIM_BOARD=$board OSTRASIM_PRELOAD_INHERIT=1 LD_PRELOAD=$lib valgrind.bin --tool=callgrind \
    --trace-children=no --toggle-collect=main --callgrind-out-file="$work/cg.out" \
    build/native/ostrautil $cmd >/dev/null 2>"$work/cg.err"
  all=$(awk '/^totals:/ { print $2 }' "$work/cg.out")
  sim_ir=$(callgrind_annotate --inclusive=yes --threshold=100 "$work/cg.out" 2>/dev/null |
    awk '/:(open|open64|openat|__open_2|fopen|fopen64|system|ioctl|close) \[.*libostrasim/ {
           gsub(",", "", $1); s += $1 } END { print s + 0 }')
  printf '%-24s main %10d  program %9d\n' "ostrautil $cmd" "$all" $((all - sim_ir))
done

echo
echo "== peak resident memory (GNU time, KB)"
for t in native ppc; do
  for cmd in "51 sda" "identify /dev/sda"; do
    # shellcheck disable=SC2086
    rss=$( { /usr/bin/time -f '%M' build/native/ostrasim run "$board" -- "build/$t/ostrautil" $cmd >/dev/null; } 2>&1 | tail -1)
    printf '%-7s %-20s %6s KB (whole process; ppc includes qemu)\n' "$t" "$cmd" "$rss"
  done
done

echo
echo "== whole-command times on the same simulated drive"
if command -v hyperfine >/dev/null; then
  hyperfine -N --ignore-failure --warmup 3 --runs 30 --style basic \
    "build/native/ostrasim run $board -- build/native/ostrautil 51 sda" \
    "build/native/ostrasim run $board -- smartctl -d ata -A /dev/sda" \
    "build/native/ostrasim run $board -- build/native/ostrautil identify /dev/sda" \
    "build/native/ostrasim run $board -- hdparm -i /dev/sda" 2>&1 | grep -E 'Benchmark|Time'
else
  for c in "build/native/ostrautil 51 sda" "smartctl -d ata -A /dev/sda" \
           "build/native/ostrautil identify /dev/sda" "hdparm -i /dev/sda"; do
    start=$(date +%s%N)
    # shellcheck disable=SC2086
    for _ in $(seq 20); do build/native/ostrasim run "$board" -- $c >/dev/null 2>&1 || true; done
    end=$(date +%s%N)
    printf '%-45s %8.2f ms per run\n' "$c" "$(echo "($end - $start) / 20000000" | bc -l)"
  done
fi
