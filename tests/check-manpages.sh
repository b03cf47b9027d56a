#!/usr/bin/env bash
# The manual pages render without a single warning.
set -euo pipefail
status=0
for page in "$@"; do
  out=$(groff -ww -z -man "$page" 2>&1)
  if [ -n "$out" ]; then
    echo "$page: $out"
    status=1
  fi
done
exit $status
