#!/usr/bin/env bash
# Installs what is missing, then builds and tests everything: the PowerPC
# build (unit tests under qemu-ppc), the native build (unit tests, the case
# table on the native and the PowerPC binary, the fault walk), the sanitizer
# build (the same on its own binary), the fuzz build (its seeds and regression
# inputs, then a short fuzzing run), the VM benches (the kernel path on x86_64
# and on the board's kind of Linux, QEMU's SATA disks, the ztostra driver) and
# the style and static checks.
#
# After the builds, six lanes run at once (the machine's two cores are kept
# busy to the end): the native build's tests; the other builds' tests; the
# x86_64 VM steps; the PowerPC kernel (built on first use, cached), its VM
# bench and the kernel driver's VM test (both kernels), then the C++ runtime
# check; the style and static checks; the fuzzing run.  Each step's output is
# shown when it ends (a build's only when it fails).  The last lines give each
# step's time, name every skipped and every failed check and count all checks:
# a test of a ctest run, a counted check of a VM bench, any other step is one
# check.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
out=build/test
summary() { echo "$1 passed, $2 failed, $3 skipped"; }
scripts/install-deps.sh || { echo "installing the packages failed" && summary 0 1 0 && exit 1; }
rm -rf "$out" && mkdir -p "$out"

# count KIND NAME STATUS: the step's checks as lines "pass|fail|skip NAME[: why]"
count() {
  local kind=$1 name=$2 rc=$3 log=$out/$2.log line
  case $kind in
  ctest) # each test of the run, from its JUnit file
    python3 - "$out/$name.xml" "$name" "$rc" <<-'EOF'
	import sys, xml.etree.ElementTree as ET
	path, step, rc = sys.argv[1], sys.argv[2], int(sys.argv[3])
	try:
	    cases = ET.parse(path).getroot().iter("testcase")
	except (OSError, ET.ParseError):
	    cases = None
	if cases is None:
	    print(f"fail {step}: no test results (exit status {rc})")
	    sys.exit()
	for c in cases:
	    name = f"{step}: {c.get('name')}"
	    if c.get("status") == "run":
	        print(f"pass {name}")
	    elif c.get("status") in ("notrun", "disabled") and c.find("skipped") is not None:
	        lines = [l for l in (c.findtext("system-out") or "").splitlines() if l.strip()]
	        why = next((l for l in reversed(lines) if "skip" in l.lower()), lines[-1] if lines else "no reason given")
	        print(f"skip {name}: {why.strip()}")
	    else:
	        print(f"fail {name}")
	EOF
    ;;
  bench) # its own closing line "N passed, N failed[, N skipped]"; 77: skipped whole
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$' "$log" | tail -1)
    if [ "$rc" = 77 ]; then
      echo "skip $name: $(grep -m1 SKIPPED "$log" || echo 'no reason given')"
    elif [ -z "$line" ]; then
      echo "fail $name: no closing count (exit status $rc)"
    else
      set -- $line
      for _ in $(seq "$1"); do echo "pass $name"; done
      for _ in $(seq "$3"); do echo "fail $name"; done
      for _ in $(seq "${5:-0}"); do echo "skip $name: $(grep -m1 SKIPPED "$log" || echo 'no reason given')"; done
      [ "$rc" = 0 ] || [ "$3" != 0 ] || echo "fail $name: exit status $rc"
    fi ;;
  *) [ "$rc" = 0 ] && echo "pass $name" || echo "fail $name: exit status $rc" ;;
  esac
}

# step KIND NAME TITLE COMMAND...: runs COMMAND (its output in build/test/NAME.log),
# counts its checks and shows how it went
step() {
  local kind=$1 name=$2 title=$3 start=$SECONDS rc=0
  shift 3
  if [ "$kind" = ctest ]; then set -- "$@" --output-junit "$PWD/$out/$name.xml"; fi
  "$@" >"$out/$name.log" 2>&1 </dev/null || rc=$?
  count "$kind" "$name" "$rc" >"$out/$name.res"
  printf '%4d %4d %4d s  %s\n' "$start" "$SECONDS" $((SECONDS - start)) "$title" >>"$out/times"
  {
    flock 9
    printf '\n=== [%d s] %s: %d s, %d passed, %d failed, %d skipped\n' "$SECONDS" "$title" \
      $((SECONDS - start)) "$(grep -c ^pass "$out/$name.res")" "$(grep -c ^fail "$out/$name.res")" \
      "$(grep -c ^skip "$out/$name.res")"
    if [ "$kind" != build ] || [ "$rc" != 0 ]; then cat "$out/$name.log"; fi
  } 9>"$out/.print"
  return "$rc"
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j2; }
runtime() { # the program must not load the C++ runtime library
  for bin in build/native/ostrautil build/ppc/ostrautil; do
    if readelf -d "$bin" | grep -q 'libstdc++'; then echo "$bin loads the C++ runtime library" && return 1; fi
  done
}

# ppc first: the native build's case table also runs the PowerPC binary
for preset in ppc native asan fuzz; do step build "build-$preset" "$preset: build" build "$preset"; done

# the lanes, each in a process group of its own, ended with the script
set -m
trap 'for j in $(jobs -p); do kill -- -"$j" 2>/dev/null; done; exit 130' INT TERM

step check fuzz-run "a short fuzzing run (ASan, UBSan)" scripts/fuzz.sh 30 &
{
  step bench vm-x86_64 "kernel path: the board's nodes as CUSE devices in a Linux VM" tests/vm-bench.sh build/native
  step bench vm-sata "real drives: QEMU's SATA disks behind a board made with --host" tests/vm-sata.sh build/native
} &
{
  step check ppc-vm "the PowerPC kernel and busybox (scripts/ppc-vm.sh, cached)" scripts/ppc-vm.sh
  step bench vm-ppc "the same on the board's kind of kernel: 32-bit big-endian PowerPC, in a VM" \
    env ARCH=ppc tests/vm-bench.sh build/native
  step bench vm-kmod "the ztostra driver in both kernels: the program on the disks' own nodes" \
    tests/vm-kmod.sh build/native
  step check runtime "program checks: no C++ runtime" runtime
} &
step check style "style and static analysis" scripts/check-style.sh &
step ctest ctest-native "native: tests" ctest --preset native &
for preset in asan ppc fuzz; do step ctest "ctest-$preset" "$preset: tests" ctest --preset "$preset"; done &
wait

echo
echo "=== step times (start, end, duration)"
sort -n "$out/times"
cat "$out"/*.res >"$out/results"
grep '^skip' "$out/results" | sed 's/^skip /skipped: /'
grep '^fail' "$out/results" | sed 's/^fail /FAILED: /'
echo "total: $SECONDS s"
summary "$(grep -c ^pass "$out/results")" "$(grep -c ^fail "$out/results")" "$(grep -c ^skip "$out/results")"
! grep -q ^fail "$out/results"
