#!/usr/bin/env bash
# The board folder is the simulator's own: whatever is planted at one of its
# names (a symbolic link to a file outside, a hard link of it, a FIFO) is
# refused with one line naming it, or replaced, never written through, never
# waited on; a refusal changes nothing in the folder; the file outside keeps
# its text and mode.  Then the layout under a folder swapped for a link, a
# state that cannot be saved, and the trace read from its end.  Everything
# runs twice: the second time the kernel says it has no openat2 (ENOSYS), so
# that the walk of O_NOFOLLOW opens is the one used.
# usage: board-files.sh OSTRASIM OSTRAUTIL
S=$(realpath "$1") U=$(realpath "$2") T=$(mktemp -d)
trap 'umount "$T/m" 2>/dev/null; rm -rf "$T"' EXIT
export ASAN_OPTIONS=verify_asan_link_order=0
pass=0 fail=0
# helpers: a run without openat2, and two names that change places until killed
cat >"$T/no-openat2" <<'EOF2'
import os, sys, seccomp
f = seccomp.SyscallFilter(seccomp.ALLOW)
f.add_rule(seccomp.ERRNO(38), "openat2")
f.load()
os.execvp(sys.argv[1], sys.argv[1:])
EOF2
cat >"$T/swap" <<'EOF2'
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
a, b = (p.encode() for p in sys.argv[1:3])
while True:
    libc.renameat2(-100, a, -100, b, 2)  # RENAME_EXCHANGE
EOF2
testing() {
  local got
  got=$(cd "$T" && eval "$2" 2>&1 | sed "s|$T/||g")
  if [ "$got" == "$3" ]; then pass=$((pass + 1)); else
    fail=$((fail + 1)); printf 'FAIL %s%s\n--- expected\n%s\n--- got\n%s\n' "$wrap" "$1" "$3" "$got"; fi
}
# shellcheck disable=SC2086 # $wrap: none, or the words of a wrapper
sim() { timeout 20 $wrap "$S" "$@"; }
# a board whose files init --force would all write anew
(cd "$T" && "$S" init tpl >/dev/null && jq '.comment = "mine"' tpl/board.json >x && mv x tpl/board.json &&
  echo '{"seq": 1}' | tee tpl/state.json >tpl/trace.jsonl) || exit 1
new() { rm -rf b && cp -a "$T/tpl" b; }
# the file outside the board, and what it must still be
outside() { printf 'precious\n' >out && chmod 640 out; }
kept() { [ "$(stat -c %a out):$(cat out)" == "640:precious" ] || echo "out changed: $(stat -c %a out):$(cat out)"; }
# the folder's names, kinds, modes and file contents
snap() { (cd b && find . -printf '%p %y %m %n\n' | sort && find . -type f -exec md5sum {} + | sort); }
plant() {
  rm -rf "b/$1"
  case $2 in
  link) ln -s "$T/out" "b/$1" ;;
  hard) ln out "b/$1" ;;
  fifo) mkfifo "b/$1" ;;
  esac
}
declare -A kind=([link]="a symbolic link" [hard]="a file with 2 names (a hard link)" [fifo]="a FIFO")
declare -A cmd=([run]="run b -- $U 12 sda" [init]="init b --force" [show]="show b" [trace]="trace b"
  [raw]="trace b --raw --last" [clear]="trace b --clear")
# planted FILES KINDS COMMANDS EXPECT: each command on a fresh board with each
# kind planted at each file.  EXPECT "file" or "folder": refused in one line,
# status 2 (run: 125), nothing in the folder changed (run's bad probe log
# fails the probe: the program ends with 255); "unused": left alone;
# "replaced": now a file of the board's own; status 0 for both
planted() {
  local f k c line status
  for f in $1; do for k in $2; do for c in $3; do
    line="" status=0
    case $4 in file | folder) line="ostrasim: b/$f is ${kind[$k]}, not a $4 of the board's own: remove it" status=2 ;; esac
    [ "$status:$c" == 2:run ] && status=125
    [ "$f:$c" == probe.log:run ] && status=255
    testing "$f-$k-$c" "new; outside; plant $f $k; before=\$(snap); sim ${cmd[$c]} 2>&1 >/dev/null | head -1; echo status \${PIPESTATUS[0]}; kept
      case $status in 2 | 125) [ \"\$(snap)\" == \"\$before\" ] || echo folder changed ;; esac
      [ $4 != replaced ] || { [ -f b/$f ] && [ ! -L b/$f ] && [ \$(stat -c %h b/$f) == 1 ]; } || echo not replaced" "${line:+$line$'\n'}status $status"
  done; done; done
}

passes=("")
if /usr/bin/python3 -c 'import seccomp' 2>/dev/null; then passes+=("/usr/bin/python3 $T/no-openat2 "); else
  echo "SKIPPED: the runs without openat2 (no python3-seccomp)"; fi
for wrap in "${passes[@]}"; do
  planted board.json "link hard fifo" "run show" file
  planted board.json hard init file
  planted state.json "link hard fifo" "run show init" file
  planted state.lock "link hard fifo" "run init clear" file
  planted trace.jsonl "link hard fifo" "run trace raw clear init" file
  planted probe.log "link hard fifo" "run init" file
  planted "busy.lock serve.lock" "link hard fifo" init file
  planted "dev sys sbin tmp" "link fifo" "run init" folder
  # names the simulator no longer writes, and the laid-out files it replaces
  planted "state.json.tmp .board.json.new .state.json.new .trace.jsonl.new" "link hard fifo" "run init" unused
  planted "dev/sda dev/sda5 sys/block/sda/queue/rotational sbin/check_scsi_devfile.sh" "link hard fifo" "run init" replaced
  testing drive-file-beneath "new; outside; jq '.drives.sda.drive_file = \"../out\"' b/board.json >x; mv x b/board.json; sim run b -- $U 51 sda" \
    "ostrasim: b/board.json: drives.sda.drive_file: b/../out: not a path of plain names beneath the board folder"
  testing board-folder-link "new; ln -s b l; sim run l -- $U 51 sda; sim init l --force" "ostrasim: l is a symbolic link, not a board folder
ostrasim: l is no folder (a symbolic link, or a file)"
  # the layout while dev/ and a link to a folder outside change places (renameat2
  # RENAME_EXCHANGE) as fast as they can: whatever run sees, the folder outside
  # keeps its one file
  testing dev-swapped "new; mkdir -p mine && echo x >mine/x && ln -sfn ../mine b/other
    /usr/bin/python3 $T/swap b/dev b/other & for i in \$(seq 30); do sim run b -- $U 53 sda >/dev/null 2>&1; done; kill \$!; wait
    ls -A mine; cat mine/x" "x
x"
done
wrap=

# a state that cannot be saved (no inode left for its new file) ends a run
# waiting on a virtual clock instead of polling forever
mkdir "$T/m"
if mount -t tmpfs -o size=4m,nr_inodes=64 tmpfs "$T/m" 2>/dev/null; then
  testing enospc-clock "cd m && new && jq '.clock = \"virtual\"' b/board.json >x && mv x b/board.json
    $S run b -- $U 31 sda 1 abcd 0 >/dev/null; for i in \$(seq 64); do touch f\$i 2>/dev/null || break; done
    timeout 30 $S run b -- $U ow sda >/dev/null; echo status \$?" \
    "ostrasim: cannot write m/b/state.json: No space left on device: the board's clock cannot advance, the run ends
status 125"
else
  echo "SKIPPED: enospc-clock (no tmpfs mount permitted)"
fi
# the last run found from the end: past a header longer than a read, with
# another process's lines after it
long=$(printf 'x%.0s' {1..70000})
testing last-long-header "new; $S run b -- $U 53 sda >/dev/null; $S run b -- $U $long >/dev/null; $S run b -- $U 33 sda >/dev/null
  jq -c 'select(.op == \"run\") | .pid = 1' b/trace.jsonl | tail -2 | head -1 >x && cat x >>b/trace.jsonl && $S trace b --last --brief | cut -c1-30 | uniq -c
  $S trace b --last --raw | cmp - x && echo same" "      1 run ostrautil xxxxxxxxxxxxxxxx
same"
testing last-none "new; $S trace b --last; echo status \$?; echo '{\"seq\": 1, \"op\": \"open\"' >b/trace.jsonl; $S trace b --last; echo status \$?" "status 0
status 0"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
