#!/usr/bin/env bash
# Fails when the program's object ($1, its calls of the system renamed to
# fuzz_<name>) still calls into the C library through anything but the
# functions without effect outside the process; the sanitizers' own
# references do not count.
set -euo pipefail
object=$1
pure=" printf puts putchar snprintf fprintf fputc fputs fwrite fflush strlen strnlen strcmp "
pure+="strncmp strchr memset memcpy memmove memcmp stdout free __errno_location "
bad=0
for sym in $(nm --undefined-only --format=posix "$object" | awk 'NF >= 2 { print $1 }' | sort -u); do
  case $sym in
    fuzz_*|__asan*|__ubsan*|__sanitizer*|__sancov*|__start_*|__stop_*|_ZTVN10__cxxabiv1*) continue ;;
  esac
  [[ $pure == *" $sym "* ]] && continue
  echo "the program calls $sym, which the fuzz harness does not answer" >&2
  bad=1
done
exit $bad
