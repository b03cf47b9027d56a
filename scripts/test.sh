#!/usr/bin/env bash
# Installs what is missing, then builds and tests everything: the PowerPC
# build (unit tests under qemu-ppc), the native build (unit tests, end-to-end
# tests against the native and the PowerPC binary), the sanitizer build, the
# fuzz build (its seeds and regression inputs, then a short fuzzing run) and
# the style and static checks of the program and the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=2

step() { printf '\n=== %s\n' "$*"; }

step "PowerPC build"
cmake --preset ppc >/dev/null
cmake --build --preset ppc -j"$jobs"
ctest --preset ppc

step "native build, end-to-end tests on both targets"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
ctest --preset native

step "kernel path: the board's nodes as CUSE devices in a Linux VM"
tests/vm-bench.sh build/native

step "sanitizer build (ASan, UBSan)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan

step "fuzz build: seeds and regression inputs, then a short fuzzing run (ASan, UBSan)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
ctest --preset fuzz
scripts/fuzz.sh 150

step "program checks: no C++ runtime, style, static analysis"
for bin in build/native/ostrautil build/ppc/ostrautil; do
  if readelf -d "$bin" | grep -q 'libstdc++'; then
    echo "$bin loads the C++ runtime library" >&2
    exit 1
  fi
done
scripts/check-style.sh
echo "all checks passed"
