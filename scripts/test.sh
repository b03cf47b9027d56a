#!/usr/bin/env bash
# Installs what is missing, then builds and tests everything: the PowerPC
# build (unit tests under qemu-ppc), the native build (unit tests, the case
# table on the native and the PowerPC binary, the fault walk), the sanitizer
# build, the fuzz build (its seeds and regression inputs, then a short fuzzing
# run) and the style and static checks of the program and the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=2

step() { printf '\n=== [%d s] %s\n' "$SECONDS" "$*"; }

# ppc first: the native build's case table also runs the PowerPC binary
for preset in ppc native asan fuzz; do
  step "$preset: build and tests"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset"
done
step "kernel path: the board's nodes as CUSE devices in a Linux VM"
tests/vm-bench.sh build/native
step "the same on the board's kind of kernel: 32-bit big-endian PowerPC, in a VM"
ARCH=ppc tests/vm-bench.sh build/native
step "real drives: QEMU's SATA disks behind a board made with --host"
tests/vm-sata.sh build/native
step "a short fuzzing run (ASan, UBSan), beside the program checks"
scripts/fuzz.sh 45 >build/fuzz/run.out 2>&1 &
fuzz=$!
trap 'kill "$fuzz" 2>/dev/null || true' EXIT

step "program checks: no C++ runtime, style, static analysis"
for bin in build/native/ostrautil build/ppc/ostrautil; do
  if readelf -d "$bin" | grep -q 'libstdc++'; then
    echo "$bin loads the C++ runtime library" >&2
    exit 1
  fi
done
scripts/check-style.sh
step "the fuzzing run"
wait "$fuzz" || { cat build/fuzz/run.out; exit 1; }
cat build/fuzz/run.out
echo "all checks passed in $SECONDS s"
