#!/usr/bin/env bash
# Fails when the program's modules (archive $1) call into the C library
# through anything but the functions the fuzz harness answers (the rest of
# the arguments) and the ones without effect outside the process.
set -euo pipefail
archive=$1
shift
wrapped=" $* "
pure=" printf puts putchar snprintf fprintf fputc fputs fwrite fflush strlen strnlen strcmp "
pure+="strncmp strchr memset memcpy memmove memcmp stdout free __errno_location "
defined=$(nm --defined-only --format=posix "$archive" 2>/dev/null | awk 'NF >= 2 { print $1 }' | sort -u)
bad=0
for sym in $(nm --undefined-only --format=posix "$archive" 2>/dev/null | awk 'NF >= 2 { print $1 }' | sort -u); do
  case $sym in __asan*|__ubsan*|__sanitizer*|__sancov*|__start_*|__stop_*|_ZTVN10__cxxabiv1*) continue ;; esac
  grep -qxF -- "$sym" <<<"$defined" && continue
  [[ $wrapped == *" $sym "* || $pure == *" $sym "* ]] && continue
  echo "the program calls $sym, which the fuzz harness does not answer" >&2
  bad=1
done
exit $bad
