#!/usr/bin/env bash
# ostrasim as its users meet it: the command line, hostile boards and states,
# runs at once, killed runs, the installed layout.  One case a line:
#   testing NAME COMMAND EXPECTED   (COMMAND runs in a scratch directory)
# usage: ostrasim.sh OSTRASIM OSTRAUTIL [POWERPC_BUILD]
S=$(realpath "$1") U=$(realpath "$2") P=$(realpath "${3:-/nonexistent}") T=$(mktemp -d) D=$(realpath "${0%/*}/..")
trap 'rm -rf "$T"' EXIT
pass=0 fail=0
testing() {
  local got
  got=$(cd "$T" && eval "$2" 2>&1)
  if [ "$got" == "$3" ]; then pass=$((pass + 1)); else
    fail=$((fail + 1)); printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$3" "$got"; fi
}
# a fresh default board b, edited by a jq filter
new() { rm -rf b && "$S" init b >/dev/null && edit "${1:-.}"; }
edit() { jq "$1" b/board.json >b/new && mv b/new b/board.json; }
# first line of standard error and the status, the scratch path left out
st() { "$@" >/dev/null 2>err; local r=$?; head -1 err | sed "s|$T/||g"; echo "status $r"; }
run() { "$S" run b -- "$U" "$@"; }
seqs() { jq -r .seq b/trace.jsonl | awk '$1 <= last { print "repeat " $1 } { last = $1 }'; }
lines() { wc -l <b/trace.jsonl; }
refused() { testing "$1" "new '$2'; st $S run b -- $U 51 sda; ls b/dev" "ostrasim: b/board.json: $3
status 125
sda
sda5"; }

testing help "$S --help | head -1; echo \$?" "usage: ostrasim init DIR [--preset NAME] [--force] [--host NAME=DEVICE]...
0"
# every command of the help: its usage first, -h anywhere the same, nothing written
commands=$("$S" help | sed -n 's/^\(usage:\| \) *ostrasim \([a-z]\+\).*/\2/p')
testing cmd-help "mkdir e && cd e && for c in $(echo $commands); do $S \$c --help | head -1; $S \$c x -h | cmp -s - <($S help \$c) || echo \$c; done | cut -d' ' -f3; ls; cd .. && rmdir e" "$commands"
testing commands-listed "echo '$commands' | head -6 | xargs" "init run serve trace show watch"
# usage errors: what is wrong, then where help is; 2, but run's 125 as env(1)'s
testing usage-form "for c in 'init b --preset' 'trace b --frob' 'show b --json=1' 'init b --h' 'run b --kernel=1 -- x' frob; do $S \$c; echo \$?; done 2>&1 | sed '/^Try/!s/ (commands.*//' | uniq -c" "      1 ostrasim init: option '--preset' requires a value
      1 Try 'ostrasim init --help'.
      1 2
      1 ostrasim trace: unknown option '--frob'
      1 Try 'ostrasim trace --help'.
      1 2
      1 ostrasim show: option '--json' takes no value
      1 Try 'ostrasim show --help'.
      1 2
      1 ostrasim init: option '--h' is ambiguous (--host, --help)
      1 Try 'ostrasim init --help'.
      1 2
      1 ostrasim run: option '--kernel' takes no value
      1 Try 'ostrasim run --help'.
      1 125
      1 ostrasim: unknown command frob
      1 Try 'ostrasim --help'.
      1 2"
testing within-80-columns "{ $S keys; $S presets; $S help; for c in \$($S help | grep -o 'ostrasim [a-z]*' | cut -c10-); do $S help \$c; done; } | awk 'length > 80'" ""
# run: the program's own status, else env(1)'s: 125 (ostrasim's), 126 (cannot run it), 127 (not found)
testing status-own "new; st $S run b -- sh -c 'echo x >&2; exit 2'" "x
status 2"
testing status-run-usage "st $S run b" "ostrasim run: no '--' before the program
status 125"
testing status-no-board "st $S run nob -- $U 51 sda" "ostrasim: nob: no board here (ostrasim init nob makes one)
status 125"
testing status-not-executable "new; touch p; st $S run b -- ./p" "ostrasim: cannot run ./p: Permission denied
status 126"
testing status-not-found "new; st $S run b -- nosuch" "ostrasim: cannot run nosuch: no such program in PATH
status 127"
testing options-anywhere "$S init --force --preset=two b | cut -d: -f1; $S init b --preset ssd --force >/dev/null; $S show --json b | jq -r '.sda.smart.attributes, .sda.port.state'" "made board b from preset two
13
ready"
testing init-says "rm -rf b; $S init b --preset two" "made board b from preset two: sda simulated, nodes /dev/sda /dev/sda5; sdb simulated, nodes /dev/sdb /dev/sdb5"
testing version-operand "st $S --version x" "ostrasim: --version takes no operand
status 2"
testing version "$S --version" "ostrasim 1.0.0"
listed=$(echo $commands | sed 's/ /, /g')
testing no-command "st $S" "ostrasim: no command (commands: $listed)
status 2"
testing unknown-command "st $S frob" "ostrasim: unknown command frob (commands: $listed)
status 2"
testing unknown-preset "st $S init nope --preset nope; ls -d nope" "ostrasim init: no preset nope (presets: default, ssd, two)
status 2
ls: cannot access 'nope': No such file or directory"
testing init-refuses "new; st $S init b" "ostrasim: b already holds a board (--force writes a new one)
status 2"
testing init-force "new '.clock = \"virtual\"'; $S init b --force >/dev/null; jq -r .clock b/board.json" real
testing init-force-bad-option "new '.clock = \"virtual\"'; $S init b --force --presets two 2>/dev/null; jq -r .clock b/board.json" virtual
# the write gate's sums never wrap: past partition 5 (1000-1999) nothing is written
testing gate-past-partition-5 "new '.drives.sda.partitions[\"5\"] = {\"start\": 1000, \"sectors\": 1000}'
  for s in '0 3e7' '0 7d0' '0 7d1' '0 f4240' 'ffffffff ffffffff' '0 7cf'; do run uncwrite sda \$s; done; $S show b | grep media" "ioctl() error
ioctl() error
ioctl() error
ioctl() error
ioctl() error
  media: 0x7cf uncorrectable;"
# every request name stands in the request table alone
testing request-names-once "grep -rn '\"\(ZTOSTRA\|HDIO\)_\|\"SG_IO\"' $D/sim" ""
testing init-host-open "st $S init h --host sda=/dev/nonexistent" "ostrasim: /dev/nonexistent: No such file or directory
status 2"
testing init-host-relative "st $S init h --host sda=dev/sg0" "ostrasim: dev/sg0: must be an absolute path (/dev/sgN)
status 2"
testing init-host-name-first "st $S init h --host sda=/dev/nonexistent --host sdz9=/dev/null" "ostrasim init: --host sdz9=/dev/null: sdz9 is not a drive name (sd and one letter)
status 2"
testing init-host-twice "st $S init h --host sda=/dev/null --host sda=/dev/zero" "ostrasim init: --host sda given twice
status 2"
testing init-destructive-alone "st $S init h --destructive; ls h" "ostrasim init: --destructive is for --host drives (a preset's simulated drives are written anyway)
status 2
ls: cannot access 'h': No such file or directory"
testing init-cannot-write "st $S init /proc/none/b" "ostrasim: /proc/none/b: No such file or directory
status 2"
testing trace-missing "st $S trace nowhere" "ostrasim: nowhere: no board here (ostrasim init nowhere makes one)
status 2"
testing show-missing "mkdir -p empty; st $S show empty" "ostrasim: empty: no board here (ostrasim init empty makes one)
status 2"
testing trace-clear "new; run 33 sda >/dev/null; last=\$(lines); $S trace b --clear; lines; run 33 sda >/dev/null
  [ \$(jq -s '.[0].seq' b/trace.jsonl) -gt \$last ] && echo numbers go on" "0
numbers go on"

refused misspelt-key '.drives.sda.identfy = {}' "drives.sda.identfy: unknown key (known: nodes, capacity, rotational, partitions, overwrite, identify, smart, sysfs, drive_file, host)"
refused faults-type '.faults = 5' "faults: must be an array, not a number"
refused clock-type '.clock = 3' "clock: must be a string, not a number"
refused clock-value '.clock = "fast"' 'clock: must be "real" or "virtual", not "fast"'
refused rate-negative '.drives.sda.overwrite.rate = -100' "drives.sda.overwrite.rate: must be 1 to 1000000000000, not -100"
refused rate-zero '.drives.sda.overwrite.rate = 0' "drives.sda.overwrite.rate: must be 1 to 1000000000000, not 0"
refused rate-huge '.drives.sda.overwrite.rate = 1e308' "drives.sda.overwrite.rate: must be a whole number, not 1e+308"
refused node-path '.drives.sda.nodes += ["../../x"]' "drives.sda.nodes[2]: ../../x is not sda or one of its partitions"
testing host-missing "new '.drives.sda.host = \"/dev/sda5\"'; st $S serve b" "ostrasim: b/board.json: drives.sda.host: /dev/sda5: No such file or directory
status 2"
refused probe-name '.probe["a;b"] = 1' "probe.a;b: not a plain drive name (letters, digits, '.', '_', '-')"
refused sysfs-path '.drives.sda.sysfs["../x"] = "1"' "drives.sda.sysfs.../x: not a relative path of plain names"
refused drive-file '.drives.sda.drive_file = "/dev/zero" | del(.drives.sda.identify, .drives.sda.smart)' "drives.sda.drive_file: drive file /dev/zero is not a file of at most 64 KiB"
refused fault-request '.faults = [{"request": "NOPE"}]' "faults[0].request: no request NOPE"
refused fault-request-near '.faults = [{"request": "ZTOSTRA_GET_SMARTATR"}]' "faults[0].request: no request ZTOSTRA_GET_SMARTATR (did you mean ZTOSTRA_GET_SMARTATTR?)"
refused fault-node '.faults = [{"request": "open", "node": "sdq"}]' "faults[0].node: no node sdq on this board (nodes: sda, sda5)"
refused fault-errno '.faults = [{"request": "open", "errno": "EBOGUS"}]' "faults[0].errno: no errno EBOGUS (a name as EIO, or 0 to 4095)"
refused fault-id-twice '.faults = [{"id": 3, "request": "open"}, {"id": 3, "request": "open"}]' "faults[1].id: fault 3 is faults[0] already"
refused fault-old-keys '.faults = [{"request": "open", "from": 2}]' "faults[0].from: unknown key (known: id, request, node, result, errno, after, times)"
testing duplicate-key "new; sed -i '1a\\  \"clock\": \"virtual\",' b/board.json; st $S show b" "ostrasim: b/board.json:3:3: key \"clock\" given twice (first at 2:3)
status 2"
# faults from the command line: counted in the state from the moment added
injected() { $S trace b --last --brief | grep -o 'injected by fault [0-9]*'; }
testing fault-round-trip "new; $S fault b add ZTOSTRA_GET_SMARTATTR --node sda5 --times 1; $S fault b add open --errno 13 --result -1
  $S fault b list; $S fault b clear 1; $S fault b list; $S fault b clear; $S fault b list; jq -c .faults b/board.json" "added fault 1: ZTOSTRA_GET_SMARTATTR on sda5 -> -1 EIO, the first call; armed, 0 calls seen
added fault 2: open on any node -> -1 EACCES, every call; armed, 0 calls seen
fault 1: ZTOSTRA_GET_SMARTATTR on sda5 -> -1 EIO, the first call; armed, 0 calls seen
fault 2: open on any node -> -1 EACCES, every call; armed, 0 calls seen
cleared fault 1: ZTOSTRA_GET_SMARTATTR on sda5 -> -1 EIO, the first call; armed, 0 calls seen
fault 2: open on any node -> -1 EACCES, every call; armed, 0 calls seen
cleared fault 2: open on any node -> -1 EACCES, every call; armed, 0 calls seen
no faults
[]"
testing fault-after-times "new; $S fault b add ZTOSTRA_HDD_FLUSH_CACHE --after 2 --times 2 >/dev/null
  for i in 1 2 3 4 5 6; do run hdflush /dev/sda | grep -c error; done; $S show b | tail -1" "0
0
1
1
0
0
  fault 1: ZTOSTRA_HDD_FLUSH_CACHE on any node -> -1 EIO, 2 calls after the first 2; spent, 6 calls seen"
testing fault-counted-from-add "new; run hdflush /dev/sda; $S fault b add ZTOSTRA_HDD_FLUSH_CACHE --after 1 --times 1 >/dev/null
  run hdflush /dev/sda; $S trace b --clear; run hdflush /dev/sda; injected; run hdflush /dev/sda; injected; $S fault b list" "ostrautil_issue_ioctl(213):ioctl() error
injected by fault 1
fault 1: ZTOSTRA_HDD_FLUSH_CACHE on any node -> -1 EIO, 1 call after the first 1; spent, 3 calls seen"
testing fault-by-hand "new '.faults = [{\"request\": \"ZTOSTRA_HDD_FLUSH_CACHE\", \"errno\": \"ENOSPC\"}, {\"request\": \"open\", \"node\": \"sda5\", \"errno\": 28}]'
  run hdflush /dev/sda; run hdflush /dev/sda5; $S trace b --brief | grep injected; $S fault b add open --node sda >/dev/null; jq -c '.faults[]' b/board.json" "ostrautil_issue_ioctl(213):ioctl() error
/dev/sda5 open error
    3 ioctl  sda    ZTOSTRA_HDD_FLUSH_CACHE -> -1 ENOSPC (No space left on device) [injected by fault 1]
    7 open   sda5   -> -1 ENOSPC (No space left on device) [injected by fault 2]
{\"id\":1,\"request\":\"ZTOSTRA_HDD_FLUSH_CACHE\",\"errno\":\"ENOSPC\"}
{\"id\":2,\"request\":\"open\",\"node\":\"sda5\",\"errno\":\"ENOSPC\"}
{\"id\":3,\"request\":\"open\",\"node\":\"sda\"}"
testing fault-add-refused "new; cp b/board.json o; st $S fault b add ZTOSTRA_GET_SMARTATR; st $S fault b add open --node sdq; st $S fault b add open --times 0
  st $S fault b clear 4; st $S fault b list --node sda; cmp o b/board.json && echo unchanged" "ostrasim: fault add: no request ZTOSTRA_GET_SMARTATR (did you mean ZTOSTRA_GET_SMARTATTR?)
status 2
ostrasim: fault add: --node: no node sdq on this board (nodes: sda, sda5)
status 2
ostrasim: fault add: --times: must be 1 to 18446744073709551615, not 0
status 2
ostrasim: fault clear: no fault 4 (faults: none)
status 2
ostrasim fault: --node goes with add only
status 2
unchanged"
testing fault-keeps-the-rest "new; jq --indent 3 '{drives, faults, comment: \"mine\"}' b/board.json >x && mv x b/board.json; cp b/board.json o
  $S fault b add open >/dev/null; diff o b/board.json | grep '^[<>]'; $S fault b clear >/dev/null; cmp o b/board.json && echo same
  jq 'del(.faults)' o >b/board.json; $S fault b add open >/dev/null; tail -5 b/board.json" '<    "faults": [],
>    "faults": [
>       {"id": 1, "request": "open"}
>    ],
same
  "comment": "mine",
  "faults": [
    {"id": 2, "request": "open"}
  ]
}'
testing fault-ids-by-hand "new '.faults = [{\"request\": \"open\", \"node\": \"sda\"}, {\"request\": \"open\", \"node\": \"sda5\"}]'
  run hdflush /dev/sda5; edit '.faults |= reverse'; $S fault b list" "/dev/sda5 open error
fault 2: open on sda5 -> -1 EIO, every call; armed, 1 call seen
fault 1: open on sda -> -1 EIO, every call; armed, 0 calls seen"
testing fault-state-refused "new; echo '{\"faults\": {\"seen\": {\"x\": 1}}}' >b/state.json; st $S fault b list" "ostrasim: b/state.json: faults.seen.x: not a fault's id (1 to 999999) (remove b/state.json to start the driver afresh)
status 2"
# both front ends read board.json again at each open of a node
testing reload-at-open "new; $S run b -- /usr/bin/python3 -c 'import json, os
os.close(os.open(\"/dev/sda\", os.O_RDONLY)); d = json.load(open(\"b/board.json\"))
d[\"faults\"] = [{\"request\": \"open\"}]; open(\"b/board.json\", \"w\").write(json.dumps(d))
try: os.open(\"/dev/sda\", os.O_RDONLY)
except OSError as e: print(e.strerror)'; $S trace b --brief | grep -c injected" "Input/output error
1"
testing requests "$S requests | awk 'NR > 2 { print \$1 } length > 80 { print \"wide:\", \$0 }' | diff - <(sed -n 's/.*ZT_REQUEST(\([A-Z][A-Za-z0-9_]*\).*/\1/p' $D/kmod/ztostra_core.c)" ""
refused model-length '.drives.sda.identify.model = "'"$(printf %041d 0)"'"' "drives.sda.identify.model: must be at most 40 characters long"
testing truncated "new; head -c 60 b/board.json >x; mv x b/board.json; st $S run b -- $U 51 sda" "ostrasim: b/board.json:3:40: not valid JSON (truncated or edited?)
status 125"
testing board-unreadable "new; rm b/board.json; mkdir b/board.json; st $S run b -- $U 51 sda" "ostrasim: b/board.json is a folder, not a file of the board's own: remove it
status 125"
hint="(remove b/state.json to start the driver afresh)"
testing state-truncated "new; echo '{\"drives\": {' >b/state.json; st $S show b" "ostrasim: b/state.json:2:1: not valid JSON (truncated or edited?) $hint
status 2"
testing state-type "new; echo '{\"drives\": {\"sda\": {\"drive\": {\"power\": 5}}}}' >b/state.json; st $S run b -- $U 51 sda" "ostrasim: b/state.json: drives.sda.drive.power: must be a string, not a number $hint
status 125"
testing state-in-run "new; echo '{\"seq\": -1}' >b/state.json; OSTRASIM_BOARD=$T/b LD_PRELOAD=${S%/*}/libostrasim.so $U hdsleep /dev/sda 2>&1 | sed 's|$T/||g' | uniq -c" "      1 ostrasim: b/state.json: seq: must be 0 to 18446744073709551615, not -1 $hint
      1 /dev/sda open error"
testing non-utf8-node "new; run hdsleep $'/dev/sd\\xff'; echo \$?; jq -r 'select(.node) | .node' b/trace.jsonl | sort -u" "/dev/sd"$'\xff'" open error
0
sd\\xff"
testing non-utf8-word "new; run 22 $'sd\\xe9' | tail -1; echo \$?" "/dev/sd"$'\xe9'" open error
0"
testing read-only "new; cp b/state.json s0; run 51 sda >/dev/null; run 53 sda >/dev/null; cmp s0 b/state.json && $S show b | grep -c power" 1
testing show-no-lock "new; run 12 sda >/dev/null; rm -f b/state.lock; mkdir b/state.lock; st $S show b" "status 0"
testing runs-at-once "new; for i in 1 2 3 4 5 6 7 8; do run 51 sda >/dev/null 2>>e & run ow_clear sda >/dev/null 2>>e & wait; done
  cat e; seqs; jq -c 'select(.op == \"exit\") | .open' b/trace.jsonl | sort | uniq -c" "     16 []"
testing lib-missing "new; OSTRASIM_LIB=/nonexistent st $S run b -- $U 51 sda" "ostrasim: no simulator library at /nonexistent (OSTRASIM_LIB names one)
status 125"
testing brief-last "new; run 53 sda >/dev/null; run 51 sda >/dev/null; $S trace b --last --brief >x; $S init c >/dev/null
  $S run c -- $U 51 sda >/dev/null; $S trace c --brief --last | diff x - && sed -n 1,3p x" "run ostrautil 51 sda (little-endian)
    1 open   sda5   -> ok
    2 ioctl  sda5   ZTOSTRA_GET_IDENTDATA -> 0: id 512 bytes"
testing brief-errno "new '.drives.sda.rotational = 1'; run 46 sda >/dev/null; $S trace b --brief | grep ERASE" "    3 ioctl  sda    ZTOSTRA_SSD_SECURITY_ERASE -> -1 EOPNOTSUPP (Operation not supported); refused: a rotating drive"
# every refusal says why, in both views: an asleep link, an unknown request, no record
testing reason-asleep "new; run 12 any >/dev/null; run 53 any >/dev/null; $S trace b --last --brief | grep IDENTITY; $S trace b --last | grep refused" "    2 ioctl  sda5   HDIO_GET_IDENTITY -> -1 EIO (Input/output error); refused: the link is asleep: sleep-out wakes it, then a port reset readies the drive
        refused: the link is asleep: sleep-out wakes it, then a port reset readies the drive"
testing reason-request "new; $S run b -- python3 -c 'import fcntl, os
fd = os.open(\"/dev/sda\", os.O_RDONLY)
for code in 0x1234, 0x030d:
    try: fcntl.ioctl(fd, code, 0)
    except OSError as e: print(e.strerror)'; $S trace b --last --brief | grep -o 'refused.*'" "Inappropriate ioctl for device
Bad address
refused: no request of the driver has this code
refused: no argument record (a null pointer)"
# and so does every failed request of the golden traces: refused, injected, or the drive's error
testing reasons-golden "awk 'function flush() { if (f) print name; f = 0 } /^ *[0-9]+ |^run / { flush() }
  /^ *[0-9]+ (ioctl|open) .* -> -1 / && !/\[injected( by fault [0-9]+)?\]/ { f = 1; name = FILENAME \": \" \$0 }
  /refused:|ata: .*status .[13579bdf] / { f = 0 } END { flush() }' $D/tests/expected/*.trace* $D/tests/expected/trace.{native,ppc}.txt" ""
# the live view: show brings the board's time to now, writing what the overwrite has due
# (a virtual clock moved by the program's sleep); watch moves it by the interval
vnew() { new '.clock = "virtual" | .drives.sda.partitions["5"] = {"start": 1000, "sectors": 3000} | .drives.sda.overwrite.rate = 1000'; run 31 sda 1 ffff 0 >/dev/null; }
testing show-brings-to-now "vnew; $S run b -- sleep 2; $S show b | grep -e 'overwrite: r' -e media; $S trace b --brief | tail -1" "  overwrite: running, count 66, trcount 2000 of 3000, started at 0; 1000 sectors/s; virtual clock at 2.000 s
  media: 0x3e8-0xbb7 fixed 0xffff;
   19 show   sda    the overwrite to the board's time: 2000 sectors written"
testing show-idle-reads-only "new; run 51 sda >/dev/null; cp b/state.json s0; n=\$(lines); $S show b >/dev/null; cmp s0 b/state.json && [ \$(lines) = \$n ] && echo same" same
testing watch-plain "vnew; timeout 20 $S watch b --interval 0.8 | sed 's/.*overwrite //'; echo status \${PIPESTATUS[0]}" "running 0% (0 of 3000)
running 26% (800 of 3000)
running 53% (1600 of 3000)
running 80% (2400 of 3000)
finished 100% (3000 of 3000)
status 0"
testing watch-failed "vnew; edit '.destructive = false'; timeout 20 $S watch b --interval 0.1 2>&1 | tail -1; echo status \${PIPESTATUS[0]}" "sda: port ready, link up, power active; overwrite failed after 0 of 3000 (refused: the board does not allow writes (board.json: \"destructive\" is not true))
status 1"
testing watch-unreadable "vnew; echo '{' >b/state.json; st $S watch b" "ostrasim: b/state.json:2:1: not valid JSON (truncated or edited?) (remove b/state.json to start the driver afresh)
status 2"
testing watch-term "new; $S watch b >out & until [ -s out ]; do sleep 0.05; done; kill -TERM \$!; wait \$!; echo status \$?; cat out" "status 0
sda: port ready, link up, power active; overwrite not started"
testing watch-interval "st $S watch b --interval 0.05" "ostrasim watch: --interval wants seconds, 0.1 to 3600, not 0.05
status 2"
testing failed-run-keeps-dev "new; st $S run b -- /no/such; ls b/dev" "ostrasim: cannot run /no/such: No such file or directory
status 127
sda
sda5"
testing killed-commit "new; run 12 sda >/dev/null; n=\$(lines); printf '{\"seq\":999,\"commit\":999}\n{\"se' >>b/trace.jsonl
  run 33 sda >/dev/null; seqs; grep -c '\"seq\":999' b/trace.jsonl; [ \$(lines) -gt \$n ] && echo appended" "0
appended"
testing keys-typed "$S keys | awk '/^[^ ]/ && (NF < 3 || \$2 !~ /^(text|number|boolean|array|object)\$/)' | wc -l" 0
testing keys-documented "$S keys | grep -o '^[^ ]*' | diff - <(sed -n '/^\.SH BOARD FILE/,/^\.SH [^B]/s/^\.B //p' $D/doc/ostrasim.1 | tr -d '\\\\')" ""
[ -e /dev/cuse ] || testing serve-no-cuse "new; st $S serve b" "ostrasim: cannot open /dev/cuse for sda: No such file or directory (load the CUSE module: modprobe cuse)
status 1"
if [ -n "$P" ] && [ -e "$P/libostrasim.so" ]; then
  testing no-qemu "new; st env PATH=/nonexistent $S run b -- $P/ostrautil 53 sda" "ostrasim: cannot run qemu-ppc: No such file or directory (Debian package qemu-user)
status 126"
  testing no-ppc-libc "new; OSTRASIM_PPC_SYSROOT=/nonexistent st $S run b -- $P/ostrautil 53 sda" "ostrasim: no PowerPC C library at /nonexistent (Debian package libc6-powerpc-cross; OSTRASIM_PPC_SYSROOT names another)
status 126"
  testing installed-ppc "cmake --install ${S%/*} --prefix inst >/dev/null; new; inst/bin/ostrasim run b -- $P/ostrautil 53 sda | tail -1" "Model=WDC WD1600AAJS-22WAA0, SerialNo=WD-WCAS21234567"
fi
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
