#!/usr/bin/env bash
# clang-format on all sources; clang-tidy and cppcheck on the program and the
# board simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
src=(middleware/osl/osl_mdev/src/*.cpp)
all=(middleware/osl/osl_mdev/src/*.cpp middleware/osl/osl_mdev/inc/*.h sim/*/*.cpp sim/*/*.h tests/*.cpp
     tests/fuzz/*.cpp)
clang-format --dry-run --Werror "${all[@]}"
# one file per run (the analyzer's va_list state leaks from one file into the
# next within a single run), two runs at once
printf '%s\0' "${src[@]}" sim/*/*.cpp | xargs -0 -P2 -n1 clang-tidy --quiet -p build/native 2>/dev/null
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --enable=warning,portability,performance \
  --inline-suppr -I middleware/osl/osl_mdev/inc "${src[@]}"
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --enable=warning,portability,performance \
  --inline-suppr -I middleware/osl/osl_mdev/inc -I sim/board -I sim/drives -I sim/driver -I sim/trace \
  -I sim/front sim/*/*.cpp
