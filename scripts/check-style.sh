#!/usr/bin/env bash
# clang-format, clang-tidy and cppcheck on the program's sources.
set -euo pipefail
cd "$(dirname "$0")/.."
src=(middleware/osl/osl_mdev/src/*.cpp)
hdr=(middleware/osl/osl_mdev/inc/*.h)
clang-format --dry-run --Werror "${src[@]}" "${hdr[@]}"
clang-tidy --quiet -p build/native "${src[@]}" 2>/dev/null
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --enable=warning,portability,performance \
  --inline-suppr -I middleware/osl/osl_mdev/inc "${src[@]}"
