#!/usr/bin/env bash
# The bash completion against a made-up sysfs: each line the words typed
# (a trailing blank starts a new word) and what is offered for the last one.
set -u
# shellcheck source=/dev/null
. "$1"
OSTRAUTIL_SYSFS=$(mktemp -d)
trap 'rm -rf "$OSTRAUTIL_SYSFS"' EXIT
mkdir -p "$OSTRAUTIL_SYSFS"/block/{sda/sda1,sda/sda5,sdb,loop0}
fail=0
t() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _ostrautil
  [ "${COMPREPLY[*]}" = "$2" ] || { echo "'$1': got '${COMPREPLY[*]}', want '$2'"; fail=1; }
}
t 'ostrautil 5' '51 52 53'
t 'ostrautil ow' 'ow ow_clear ow_set_total'
t 'ostrautil 51 ' 'sda sdb'
t 'ostrautil 52 sd' 'sda sdb'
t 'ostrautil 46 ' 'sda sdb'
t 'ostrautil 46 sda ' ''
t 'ostrautil 31 sda ' '1 3 -1'
t 'ostrautil 31 sda 1 ' ''
t 'ostrautil ow_set_total sdb ' '1 3'
t 'ostrautil pp ' 'sda1 sda5'
t 'ostrautil identify ' '/dev/sda /dev/sdb /dev/sda1 /dev/sda5'
t 'ostrautil regw /dev/sdb' '/dev/sdb'
t 'ostrautil 21 sda ' 'sda sdb LL= LH= HL= HH='
t 'ostrautil 21 sda LL=1 LH=2 ' 'HL= HH='
t 'ostrautil 23 sdb LL=1 U' 'UA= UB= UC= UD='
t 'ostrautil 22 sda ' 'sda sdb'
rm -rf "$OSTRAUTIL_SYSFS"/block/sd*
t 'ostrautil 51 ' ''
t 'ostrautil 21 ' ''
t 'ostrautil identify /' ''
exit $fail
