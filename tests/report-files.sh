#!/usr/bin/env bash
# Report files planted against the board.  Whatever other than a regular file
# sits at a report file's name (a symbolic link to a file, a dangling one, one
# to a device node, a FIFO, a directory, a socket) stays exactly as it was:
# the command neither follows it nor waits on it, and prints its own
# open-failure message.  A regular file there is rewritten as a new one would
# be written, keeping its own mode.
# usage: report-files.sh OSTRASIM PROGRAM...  (PowerPC: OSTRASIM_PPC_LIB set)
set -euo pipefail
sim=$1
shift
export ASAN_OPTIONS=verify_asan_link_order=0
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "$prog $cmd $kind: $*"; fail=1; }
run() { timeout 30 "$sim" run "$work/board" -- "$prog" "$cmd" sda >"$work/out" 2>&1 || bad "status $?"; }
# the name and what it leads to, as ls and the target's contents tell
snap() { ls -ld --time-style=+ "$name" | cut -d' ' -f1,5-; ls -A "$name" 2>/dev/null || true; cat "$work/target" 2>&1 || true; }
plant() {
  case $kind in
  link) echo "root:x:0:0::/root:/bin/sh" >"$work/target" && ln -s "$work/target" "$name" ;;
  dangling) ln -s "$work/target" "$name" ;;
  device) ln -s /dev/null "$name" ;;
  fifo) mkfifo "$name" ;;
  directory) mkdir "$name" && touch "$name/kept" ;;
  socket) python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$name" ;;
  regular) head -c 5000 /dev/zero | tr '\0' x >"$name" && chmod 600 "$name" ;;
  esac
}
for prog in "$@"; do
  [ -x "$prog" ] || { echo "SKIPPED: no $prog"; exit 77; }
  rm -rf "$work/board"
  "$sim" init "$work/board" --preset ssd >/dev/null
  # command, report file, then the lines it prints when the file cannot be opened
  while IFS='|' read -r cmd file msg; do
    name=$work/board/tmp/$file
    kind=new
    rm -rf "$work/board/tmp/"* "$work/target"
    run
    mv "$name" "$work/fresh" && mv "$work/out" "$work/fresh.out"
    [ "$(stat -c %a "$work/fresh")" = 644 ] || bad "a new report file's mode is not 644"
    for kind in link dangling device fifo directory socket regular; do
      rm -rf "$work/board/tmp/"* "$work/target"
      plant
      before=$(snap)
      run
      if [ $kind = regular ]; then
        cmp -s "$name" "$work/fresh" || bad "report file differs from a new one"
        cmp -s "$work/out" "$work/fresh.out" || bad "output differs: $(cat "$work/out")"
        [ "$(stat -c %a "$name")" = 600 ] || bad "mode changed"
        continue
      fi
      [ "$(snap)" = "$before" ] || bad "changed: $before -> $(snap)"
      [ "$(cat "$work/out")" = "$(printf "$msg")" ] || bad "printed: $(cat "$work/out")"
    done
  done <<'CASES'
51|ostra_smart.info|space character - found.\nhdd maker name - not found.\nostrautil_output_smartattr() : hdd smart information file open failure - /tmp/ostra_smart.info.\nostrautil_output_smartattr() error
53|ostra_serial.info|ostrautil_output_serial_init() : hdd ssd serial file init open failure - /tmp/ostra_serial.info.\nostrautil_get_serial() ostrautil_output_serial_init failed.
52|ostra_ssd_life.info|ostrautil_output_erasecount_init() : hdd ssd life file init open failure - /tmp/ostra_ssd_life.info.\nostrautil_get_ssdlife() ostrautil_output_erasecount_init failed.
CASES
done
exit $fail
