#!/usr/bin/env bash
# The manual pages render without a single warning, and ostrautil(8) explains
# under DIAGNOSTICS every message the program prints (each message's longest
# literal part must be there).
set -euo pipefail
status=0
src=$(dirname "$0")/../middleware/osl/osl_mdev/src
diag=$(MANWIDTH=3000 man -l "$(dirname "$0")/../doc/ostrautil.8" 2>/dev/null | col -b | tr -s ' ' |
  sed -n '/^DIAGNOSTICS/,/^EXIT STATUS/p')
while IFS= read -r m; do
  part=$(awk -F'%[-0-9.l]*[a-zA-Z]' '{ for (i = 1; i <= NF; i++) if (length($i) > length(p)) p = $i; print p }' <<<"$m")
  grep -qF -- "$part" <<<"$diag" || { echo "ostrautil.8: DIAGNOSTICS lacks \"$m\""; status=1; }
done < <(grep -ho 'printf("[^"]*' "$src"/*.cpp | sed 's/^printf("//; s/\\n$//' |
  grep -E 'error|fail|nvalid|not |Unknown|found|stripping|output hdd' | sort -u)
for page in "$@"; do
  out=$(groff -ww -z -man "$page" 2>&1)
  if [ -n "$out" ]; then
    echo "$page: $out"
    status=1
  fi
done
exit $status
