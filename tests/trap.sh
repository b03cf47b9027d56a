#!/usr/bin/env bash
# Nothing past the simulated board.  In a private mount namespace whose /dev
# holds plain files standing for the host's nodes, every spelling of a board
# path, every child the program starts and every static program reaches the
# board or is refused; the stand-ins stay as they were.  One case a line:
#   testing NAME COMMAND EXPECTED   (COMMAND runs in a scratch directory)
# usage: trap.sh OSTRASIM OSTRAUTIL BUILD [POWERPC_BUILD]
S=$(realpath "$1") U=$(realpath "$2") N=$(realpath "$3") P=$(realpath "${4:-/nonexistent}")
if [ -z "${TRAP_NS:-}" ]; then
  unshare -m true 2>/dev/null || { echo "SKIPPED: no private mount namespace (unshare -m, as root)"; exit 77; }
  TRAP_NS=1 exec unshare -m "$0" "$@"
fi
set -u
SH=${TRAP_SH:-sh} # the shell whose children are tested
# the host's nodes: plain files; /tmp and the scratch folder /mnt: tmpfs
d=$(mktemp -d) && mount -t tmpfs none "$d" && mount -t tmpfs none /mnt && cd /mnt || exit 1
for n in null zero urandom; do touch "$d/$n" && mount --bind "/dev/$n" "$d/$n"; done
for n in sda sda5 sdb; do echo "host $n" >"$d/$n"; done
ln -s /proc/self/fd "$d/fd" && mount --move "$d" /dev && mount -t tmpfs none /tmp
pass=0 fail=0
testing() {
  local got
  got=$(cd /mnt && eval "$2" 2>&1; for n in sda sda5 sdb; do [ "$(cat /dev/$n)" = "host $n" ] || echo "host $n changed"; done)
  if [ "$got" == "$3" ]; then pass=$((pass + 1)); else
    fail=$((fail + 1)); printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$3" "$got"; fi
}
"$S" init b >/dev/null
# the program's output and status, then what the trace of its run saw:
# opens, refusals and children's headers
r() {
  "$S" run /mnt/b -- "$@"; echo "status $?"
  "$S" trace /mnt/b --last --brief | sed -n 's/^ *[0-9]* \(open\|refused\) *\([^ :]*\).*/\1 \2/p; s/^run \([^ ]*\).*(a child.*/child \1/p; s/^run \([^ ]*\).*(in the same.*/exec \1/p'
}
have() { [ -x "$1" ] || return 0; testing "${@:2}"; } # rows of a program the build may lack
st() { "$@" >/dev/null 2>err; local r=$?; head -1 err; echo "status $r"; }
# k: a board with nodes sdc and sdc5, character devices 1:3 and 1:5 here;
# served DIR RECORD COMMAND...: DIR's serve record ("NODE MAJOR:MINOR" lines)
# under the lock serve holds, while the command runs
"$S" init k >/dev/null && sed -i 's/"sda/"sdc/g' k/board.json && mknod /dev/sdc c 1 3 && mknod /dev/sdc5 c 1 5
served() {
  printf "$2" >"$1/serve.lock"
  python3 -c 'import fcntl, os, subprocess, sys
fd = os.open(sys.argv[1], os.O_RDWR); fcntl.lockf(fd, fcntl.LOCK_EX); sys.exit(subprocess.call(sys.argv[2:]))' "$1/serve.lock" "${@:3}"
}
ok='sdc 1:3\nsdc5 1:5\n'

# every spelling of a node is the board's node
testing dot "echo x | r dd of=/dev/./sda status=none" "status 0
open sda"
testing slashes "echo x | r dd of=//dev//sda5 status=none" "status 0
open sda5"
testing dotdot "r cat /dev/../dev/sda" "status 0
open sda"
testing relative "cd /tmp && r cat ../dev/sda" "status 0
open sda"
testing dirfd "r /usr/bin/python3 -c 'import os; print(os.read(os.open(\"sda\", os.O_RDONLY, dir_fd=os.open(\"/dev\", 0)), 9))'" "b''
status 0
open sda"
testing stat "r stat -c %s /dev/./sda/../sda" "0
status 0"
testing identify "r $U identify /dev//sda | grep -v '^id\['" "==== ahci(/dev//sda) identify ====
status 0
open sda"
testing host-disk "b=\$(ls /sys/block | head -1); mknod /mnt/disk b \$(tr : ' ' </sys/block/\$b/dev); r dd if=/mnt/disk count=0 status=none" "ostrasim: /mnt/disk: a block device of the host's, not a node of the board's
dd: failed to open '/mnt/disk': Permission denied
status 1
refused /mnt/disk"
testing board-link "echo out >/mnt/out && ln -s /mnt/out b/tmp/ostra_x; r $SH -c 'echo in >/tmp/ostra_x; chmod 600 /tmp/ostra_x' 2>/dev/null | grep status; rm b/tmp/ostra_x; cat /mnt/out; stat -c %a /mnt/out" "status 1
out
644"
# children keep the library, whatever their environment
testing child "r $SH -c 'cat /dev/sda; echo x | dd of=/dev/sdb status=none'" "dd: failed to open '/dev/sdb': No such file or directory
status 1
child cat
open sda
child dd
open sdb"
testing child-env "r $SH -c 'unset LD_PRELOAD OSTRASIM_BOARD; env -i cat /dev/sda; true'" "status 0
child cat
open sda"
testing exec "r $SH -c 'exec env cat /dev/sda'" "status 0
exec cat
open sda"
have $N/ostrautil-static child-static "r $SH -c '$N/ostrautil-static identify /dev/sda'" "ostrasim: $N/ostrautil-static: a static program: the preload library cannot reach it (through the kernel: ostrasim serve /mnt/b, then ostrasim run --kernel /mnt/b -- PROGRAM)
sh: 1: $N/ostrautil-static: Permission denied
status 126
child sh
refused $N/ostrautil-static"
have $N/ostrautil-static static "st $S run b -- $N/ostrautil-static identify /dev/sda" "ostrasim: $N/ostrautil-static: a static program: the preload library cannot reach it (through the kernel: ostrasim serve b, then ostrasim run --kernel b -- PROGRAM)
status 126"
have $P/ostrautil-static ppc-static "st $S run b -- $P/ostrautil-static identify /dev/sda" "ostrasim: $P/ostrautil-static: a static program: the preload library cannot reach it (through the kernel: ostrasim serve b, then ostrasim run --kernel b -- PROGRAM)
status 126"
have $P/exec_child ppc-child "r $P/exec_child $P/exec_child cat /dev/sda" "status 0
exec cat
open sda"
# run --kernel: on the nodes serve made for this board only; the probe logs into the board
testing kernel-unserved "st $S run --kernel k -- true" "ostrasim: k is not being served: start \`ostrasim serve k\` (root, the cuse module), then run --kernel
status 125"
testing kernel-not-its-node "st served k 'sdc 1:3\nsdc5 1:7\n' $S run --kernel k -- true" "ostrasim: /dev/sdc5 is not the node \`ostrasim serve k\` made: a program would reach it, not the board
status 125"
testing kernel-node-added "st served k 'sdc 1:3\n' $S run --kernel k -- true" "ostrasim: k: /dev/sdc5 is not served (board.json changed?): restart \`ostrasim serve k\`
status 125"
testing kernel-probe-log "served k '$ok' $S run --kernel k -- sh -c '/sbin/check_scsi_devfile.sh sdc; echo \$?'; cat k/probe.log" "1
sdc"
testing kernel-tmp-program "cp $U /tmp/prog; st served k '$ok' $S run --kernel k -- /tmp/prog 51 sdc" "ostrasim: cannot run /tmp/prog: No such file or directory (the board's tmp is mounted over /tmp: put the program elsewhere)
status 127"
testing kernel-tmp-board "cp -r k /tmp; st served /tmp/k '$ok' $S run --kernel /tmp/k -- true" "ostrasim: /tmp/k lies under /tmp, /sbin or /sys/block, which the board's own folders cover under --kernel: use a board folder elsewhere
status 125"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
