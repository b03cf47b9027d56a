#!/usr/bin/env bash
# Real disks, safely: a board made with init --host over the stand-in SG_IO
# device (a simulated solid-state drive whose media are the "disk image",
# d/state.json) writes only where it was told to, stays bound to its disk,
# and never leaves a password behind unsaid.  One case a line, as in
# tests/ostrasim.sh.
# usage: real-disks.sh OSTRASIM OSTRAUTIL STANDIN
S=$(realpath "$1") U=$(realpath "$2") L=$(realpath "$3") T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
pass=0 fail=0
testing() {
  local got
  got=$(cd "$T" && eval "$2" 2>&1 | sed "s|$T/||g")
  if [ "$got" == "$3" ]; then pass=$((pass + 1)); else
    fail=$((fail + 1)); printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$3" "$got"; fi
}
export OSTRASIM_SGIO_BOARD=$T/d ASAN_OPTIONS=verify_asan_link_order=0
edit() { jq "$2" "$1/board.json" >"$1/new" && mv "$1/new" "$1/board.json"; }
# the disk d (partition 5: sectors 1000-1999), and a board b bound to it
disk() { rm -rf d && "$S" init d --preset ssd >/dev/null && mkdir d/sgio && touch d/sgio/sda; }
bind() { rm -rf b && LD_PRELOAD=$L "$S" init b --host sda=$T/d/sgio/sda "$@" >/dev/null && edit b '.drives.sda.partitions = {"5": {"start": 1000, "sectors": 1000}}'; }
new() { disk && bind --destructive; }
run() { LD_PRELOAD=$L "$S" run b -- "$U" "$@"; }
media() { jq -c '.drives.sda.drive.media' d/state.json; }

testing bound "new; run 53 sda | tail -1" "Model=FLASHDISK FD-064GS2, SerialNo=FD0912A03417"
testing other-disk "new; edit d '.drives.sda.identify.serial = \"OTHER\"'; run 53 sda; $S show b | grep -c unbound" \
  "ostrasim: sda: d/sgio/sda is \"FLASHDISK FD-064GS2\" serial \"OTHER\", 125045424 sectors, partition 5 at 1000 (1000 sectors); the board was made for \"FLASHDISK FD-064GS2\" serial \"FD0912A03417\", 125045424 sectors, partition 5 at 1000 (1000 sectors); its requests fail until it is again (ostrasim init --force makes the board anew)
/dev/sda5 ioctl error. ret = -1, errno= 5
ostrautil_get_serial() ostrautil_get_identify failed.
1"
testing other-disk-no-write "new; edit d '.drives.sda.identify.serial = \"OTHER\"'; run uncwrite sda 0 1000 2>/dev/null; media" "ioctl() error
null"
testing rebound "new; edit d '.drives.sda.identify.serial = \"OTHER\"'; run 53 sda >/dev/null 2>&1; LD_PRELOAD=$L $S init b --force --host sda=$T/d/sgio/sda >/dev/null; run 53 sda | tail -1" "Model=FLASHDISK FD-064GS2, SerialNo=OTHER"
testing inside-partition-5 "new; run uncwrite sda 0 3e7; run uncwrite sda 0 3e8; run uncwrite sda 0 7cf; run uncwrite sda 0 7d0; media" "ioctl() error
ioctl() error
[[1000,1,\"uncorrectable\"],[1999,1,\"uncorrectable\"]]"
testing outside-partition-5 "new; for s in '0 7d1' '0 f4240' 'ffffffff ffffffff'; do run uncwrite sda \$s; done; media" "ioctl() error
ioctl() error
ioctl() error
null"
# a failed command's registers: descriptor sense has its LBA, fixed sense keeps the one sent
testing failed-read "new; run uncwrite sda 0 3e8; for f in descriptor fixed; do OSTRASIM_SGIO_SENSE=\$f run read sda 0 3e0 1; done
  $S trace b | grep -o 'command c8 .* error 40'" "ioctl() error
ioctl() error
command c8 features 00 count 0010 lba 0000000003e8 device 40: status 51 error 40
command c8 features 00 count 0010 lba 0000000003e0 device 40: status 51 error 40"
testing destructive-now "new; edit b '.destructive = false'; run uncwrite sda 0 3e8; $S trace b | grep -c 'refused: .*destructive'; media" "ioctl() error
1
null"
testing not-destructive "disk; bind; run 46 sda; run 31 sda 1 abcd 0; jq -c .drives.sda.drive d/state.json" "ioctl() error
ostrautil_issue_owfunc(160):ioctl() error
null"
# the overwrite writes all of partition 5 and nothing else
testing overwrite "new; edit b '.clock = \"virtual\"'; run 31 sda 3 abcd 1234 && run ow sda >/dev/null; media" '[[1000,1000,"fixed",43981]]'
# the security erase: SG_IO calls 1 identify (the open's check), 2 identify,
# 3 SET PASSWORD, 4 ERASE PREPARE, 5 ERASE UNIT or DISABLE PASSWORD, 6 DISABLE
erase() { OSTRASIM_SGIO_FAIL=$1 run 46 sda; $S show b | grep password; jq -c .drives.sda.drive.security d/state.json; }
testing erase-clean "new; erase ''; jq .drives.sda.drive.erases d/state.json" "null
1"
testing set-password-unsent "new; erase 3:5; run 53 sda >/dev/null; $S show b | grep -c password" "ioctl() error
  password: may be set: the security erase failed, and so did DISABLE PASSWORD
null
0"
testing answer-lost "new; erase 3:lost" "ioctl() error
null"
testing prepare-and-disable-fail "new; erase 4:5,5:5; run 53 sda >/dev/null; $S trace b | grep -A3 ' clear ' | grep -c 'command f6 .*status 50'
  jq -c .drives.sda.drive.security d/state.json" "ioctl() error
  password: may be set: the security erase failed, and so did DISABLE PASSWORD
{\"enabled\":true,\"level\":\"high\",\"password\":\"6f7374726173696d000000000000000000000000000000000000000000000000\"}
1
null"
testing killed-midway "new; (erase 4:kill) >/dev/null 2>&1; $S show b | grep -c 'busy\\|password'; run 53 sda >/dev/null; $S show b | grep -c 'busy\\|password'
  jq -c .drives.sda.drive.security d/state.json" "2
0
null"
# a long erase leaves the board to others; its drive is busy meanwhile
testing erase-busy "new; OSTRASIM_SGIO_FAIL=5:slow run 46 sda & until $S show b | grep -q busy; do sleep 0.1; done
  run 53 sda; wait; $S show b | grep -c busy" "/dev/sda5 ioctl error. ret = -1, errno= 16
ostrautil_get_serial() ostrautil_get_identify failed.
0"
# a busy mark dies with its holder: a run killed in the erase and never
# reaped (a zombie: its parent sleeps without waiting), or a mark whose pid
# another process has now
testing busy-zombie "new; (OSTRASIM_SGIO_FAIL=5:slow LD_PRELOAD=$L $S run b -- $U 46 sda >/dev/null 2>&1 & echo \$! >pid; exec sleep 30) & holder=\$!
  until $S show b | grep -q busy; do sleep 0.1; done; kill -9 \$(cat pid); until grep -q zombie /proc/\$(cat pid)/status; do sleep 0.1; done
  run 53 sda | tail -1; $S show b | grep -c 'busy\\|password'; kill \$holder" "Model=FLASHDISK FD-064GS2, SerialNo=FD0912A03417
0"
testing busy-pid-reused "new; run 53 sda >/dev/null; jq '.drives.sda.busy = {\"pid\": 1, \"command\": \"x\"}' b/state.json >s && mv s b/state.json
  run 53 sda | tail -1; $S show b | grep -c busy" "Model=FLASHDISK FD-064GS2, SerialNo=FD0912A03417
0"
# a run killed once the drive wrote: the trace still holds the write
testing killed-after-write "new; (OSTRASIM_SGIO_FAIL=2:kill run uncwrite sda 0 3e8) >/dev/null 2>&1; $S trace b | grep ' write '; media" "    3 write  sda    command 45 features 55 count 0001 lba 0000000003e8 device 40: no answer traced
[[1000,1,\"uncorrectable\"]]"
# records before effects: a program that fills the board folder's file system
# (a small tmpfs), and the trace's room left with short lines, then asks for
# a write (and leaves with no more lines): it is refused, the disk left as it
# was, the trace whole
fill='import fcntl, os, struct
fd, err = os.open("/dev/sda", os.O_RDWR), os.dup(2)
os.dup2(os.open("/dev/null", os.O_WRONLY), 2)
try:
    f = os.open("fill", os.O_WRONLY | os.O_CREAT)
    while os.write(f, bytes(65536)): pass
except OSError: pass
try:
    while True: fcntl.ioctl(fd, 0x0F00)
except OSError: os.dup2(err, 2)
try: fcntl.ioctl(fd, 0x0F09, struct.pack("=III512x", 1, 0, 1000))
except OSError as e: os.write(1, os.strerror(e.errno).encode() + b"\n")
os._exit(0)'
full() { unshare -m sh -c "mount -t tmpfs -o size=1m none s && cp -a b s && cd s && LD_PRELOAD=$L $S run b -- /usr/bin/python3 -c '$fill'; $S trace b | grep -c UNCWRITE"; }
if mkdir -p "$T/s" && unshare -m mount -t tmpfs none "$T/s" 2>/dev/null; then
  testing no-room-no-write "new; full; media" "ostrasim: cannot write s/b/trace.jsonl: No space left on device: sda: WRITE UNCORRECTABLE EXT of sectors 1000-1000 refused
Input/output error
0
null"
else echo "SKIPPED no-room-no-write: mount -t tmpfs is not permitted here"; fi
# the board folder is the simulator's own; hosts must be devices named plainly
testing init-not-a-board "mkdir -p u/dev && touch u/dev/mine; $S init u --force; ls u/dev" "ostrasim: u is not empty and holds no board: init writes a new or empty folder, or with --force a board
mine"
testing dev-symlink "new; mkdir -p mine && touch mine/x; rm -r b/dev; ln -s ../mine b/dev; run 53 sda; ls mine" "ostrasim: b/dev is a symbolic link, not a folder of the board's own: remove it
x"
testing host-relative "new; edit b '.drives.sda.host = \"d/sgio/sda\"'; run 53 sda" "ostrasim: b/board.json: drives.sda.host: d/sgio/sda: must be an absolute path (/dev/sgN)"
testing host-empty "new; edit b '.drives.sda.host = \"\"'; run 53 sda" "ostrasim: b/board.json: drives.sda.host: must be an absolute path (/dev/sgN)"
testing total-of-2e63 "rm -rf e; $S init e >/dev/null; jq '.drives.sda.partitions[\"5\"].sectors = 9223372036854775808' e/board.json >n && mv n e/board.json
  $S run e -- $U ow_set_total sda 3 >/dev/null; $S run e -- $U 32 sda; echo; grep -c '\"total\": 9223372036854[0-9]\{6\}' e/state.json" "0
1"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
