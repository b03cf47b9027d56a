#!/usr/bin/env bash
# Installs what the demo needs, builds ostrautil and the board simulator,
# runs the SMART report on a simulated board and shows the report and the
# requests the program made.  Package manager and build output go to logs
# under build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
demo=build/demo board=build/demo/board
gap=""
step() { printf '%s== %s\n' "$gap" "$*" && gap=$'\n'; }
mkdir -p "$demo"

step "Installing what the demo needs (log: $demo/install.log)"
scripts/install-deps.sh cmake make g++ pkg-config python3 nlohmann-json3-dev libfuse3-dev \
  libgtest-dev >"$demo/install.log" 2>&1 || { tail -20 "$demo/install.log"; exit 1; }

step "Building ostrautil and ostrasim (log: $demo/build.log)"
{ cmake --preset native && cmake --build --preset native -j2 --target ostrautil ostrasim; } \
  >"$demo/build.log" 2>&1 || { tail -20 "$demo/build.log"; exit 1; }
echo "build/native/ostrautil, build/native/ostrasim"

step "A simulated board: ostrasim init $board"
rm -rf "$board"
build/native/ostrasim init "$board"

step "The SMART report: ostrasim run $board -- ostrautil 51 sda"
build/native/ostrasim run "$board" -- build/native/ostrautil 51 sda

step "The report it wrote, $board/tmp/ostra_smart.info"
cat "$board/tmp/ostra_smart.info"

step "What it asked the driver: ostrasim trace $board --last --brief"
build/native/ostrasim trace "$board" --last --brief

step "Next"
echo "Try: build/native/ostrasim trace $board (records decoded), build/native/ostrasim help,"
echo "man doc/ostrasim.1, and README.md: putting ostrautil on the board, real drives."
