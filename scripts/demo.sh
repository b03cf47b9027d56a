#!/usr/bin/env bash
# Builds ostrautil and the board simulator, lays out the default simulated
# board and runs the SMART report on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 >/dev/null
board=build/demo-board
rm -rf "$board"
build/native/ostrasim init "$board"
set -x
build/native/ostrasim run "$board" -- build/native/ostrautil 51 sda
cat "$board/tmp/ostra_smart.info"
build/native/ostrasim trace "$board"
