#!/usr/bin/env bash
# smartctl -d ata -a, hdparm -i and hdparm -I read every drive of every preset
# board to the end and agree with the program's reports: model and serial
# (0x53), firmware (identify words 23-26, low byte first on this host) and the
# SMART attributes (0x51).
# usage: clients.sh OSTRASIM OSTRAUTIL; exit 77 (skipped) without the tools
set -u
export PATH=$PATH:/usr/sbin:/sbin
sim=$1 util=$2 tmp=$(mktemp -d) failed=0
trap 'rm -rf "$tmp"' EXIT
for t in smartctl hdparm; do command -v $t >/dev/null || { echo "SKIPPED: no $t"; exit 77; }; done
run() { "$sim" run "$tmp/$p" -- "$@" 2>&1; }
has() { grep -qxF -- "$2" <<<"$3" || { printf 'FAIL %s %s %s: %s\n not in: %s\n' "$p" "$d" "$1" "$2" "$3"; failed=1; }; }
ids() { awk -F': +' '/(Device Model|Model Number|Serial Number|Firmware Version|Firmware Revision):/ {sub(/ +$/, "", $2); s = s $2 "|"} END {print s}'; }
attrs() { awk '$10 ~ /^0x/ {printf "%d %d %d %d %s;", $1, $4, $5, $6, substr($10, 3)} END {print ""}'; }
presets=$("$sim" presets | cut -d' ' -f1) && [ -n "$presets" ] || exit 1
for p in $presets; do
	"$sim" init "$tmp/$p" --preset "$p" >/dev/null && run "$util" 53 sda >/dev/null && run "$util" 51 sda >/dev/null
	report=$(awk -F, 'NR > 1 && $6 + 0 {printf "%d %d %d %d %s;", $6, $7, $9, $8, tolower($10)} NR > 1 && (NR - 1) % 30 == 0 {print ""}' "$tmp/$p/tmp/ostra_smart.info")
	for d in $(ls "$tmp/$p/dev" | grep -x 'sd[a-z]'); do
		fw=$(run "$util" identify /dev/$d | sed -n 's/^id\[...\]//p' | xargs -n1 | sed -n 24,27p | while read -r w; do printf "$(printf '\\x%02x\\x%02x' $((w & 255)) $((w >> 8)))"; done | sed 's/ *$//')
		want=$(paste -d'|' - - <"$tmp/$p/tmp/ostra_serial.info" | awk -v fw="$fw" '{print $0 "|" fw "|"}')
		sc=$(run smartctl -d ata -a -v N,hex48 /dev/$d); s=$?; hi=$(run hdparm -i /dev/$d); s="$s $?"; hI=$(run hdparm -I /dev/$d)
		has "exit status of smartctl -a, hdparm -i, hdparm -I" "$s $?" "0 0 0"
		has "smartctl -a identity" "$(ids <<<"$sc")" "$want"
		has "hdparm -i identity" "$(sed -n 's/^ Model=\(.*\), FwRev=\(.*\), SerialNo=\(.*\)$/\1|\3|\2|/p' <<<"$hi")" "$want"
		has "hdparm -I identity" "$(ids <<<"$hI")" "$want"
		has "smartctl -a attributes" "$(attrs <<<"$sc")" "$report"
	done
done
exit $failed
