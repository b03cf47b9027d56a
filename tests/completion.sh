#!/usr/bin/env bash
# The bash completions against a made-up sysfs and board: each line the
# words typed (a trailing blank starts a new word) and what is offered for
# the last one.
# usage: completion.sh OSTRAUTIL_COMPLETION OSTRASIM_COMPLETION OSTRASIM
set -u
# shellcheck source=/dev/null
. "$1" && . "$2"
OSTRAUTIL_SYSFS=$(mktemp -d) S=$3
trap 'rm -rf "$OSTRAUTIL_SYSFS"' EXIT
mkdir -p "$OSTRAUTIL_SYSFS"/block/{sda/sda1,sda/sda5,sdb,loop0} "$OSTRAUTIL_SYSFS"/b/{b1/dev,nob}
touch "$OSTRAUTIL_SYSFS"/b/b1/{board.json,dev/sda,dev/sda5,dev/sdb}
fail=0
t() {
  read -ra COMP_WORDS <<<"$1"
  [[ $1 == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$1 COMP_POINT=${#1}
  if [ "${COMP_WORDS[0]}" = ostrautil ]; then _ostrautil; else _ostrasim; fi
  [ "${COMPREPLY[*]}" = "$2" ] || { echo "'$1': got '${COMPREPLY[*]}', want '$2'"; fail=1; }
}
B=$OSTRAUTIL_SYSFS/b
t "$S " 'init run serve trace show watch fault requests presets keys help --help --version'
t "$S init x --preset " 'default ssd two'
# option values: bash breaks words at "=" and readline replaces what follows it
t "$S init x --preset=" 'default ssd two'
COMP_WORDBREAKS=' ' t "$S init x --preset=t" '--preset=two'
t "$S init x --host " 'sda= sdb='
t "$S init x --host=s" 'sda= sdb='
t "$S init x --host sdb=/dev/nul" '/dev/null'
COMP_WORDBREAKS=' ' t "$S init x --host=sdb=/dev/nul" '--host=sdb=/dev/null'
t "$S init x --host sda=" "$(ls -d /dev/sg* 2>/dev/null | xargs)"
t "$S init --preset two $B/" "$B/b1 $B/nob"
t "$S watch $B/b1 --interval=" '0.5 1 2 5'
t "$S watch $B/" "$B/b1 $B/nob/"
t "$S trace $B/b1 --" '--brief --clear --last --raw --help'
t "$S show $B/" "$B/b1 $B/nob/"
t "$S run $B/b1 -- ostrautil 51 " 'sda sdb'
t "$S run --kernel $B/b1 -- ostrautil pp " 'sda5'
OSTRASIM_BOARD=$B/b1 OSTRAUTIL_SYSFS='' t 'ostrautil identify ' '/dev/sda /dev/sdb /dev/sda5'
t "$S help tr" 'trace'
t "$S fault $B/b1 " 'add list clear'
t "$S fault $B/b1 add ZTOSTRA_GET_SMARTA" 'ZTOSTRA_GET_SMARTATTR'
t "$S requests " ''
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
