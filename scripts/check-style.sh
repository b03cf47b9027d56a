#!/usr/bin/env bash
# clang-format on all sources; clang-tidy and cppcheck on the program.
set -euo pipefail
cd "$(dirname "$0")/.."
src=(middleware/osl/osl_mdev/src/*.cpp)
all=(middleware/osl/osl_mdev/src/*.cpp middleware/osl/osl_mdev/inc/*.h sim/*.cpp sim/*.h tests/*.cpp tests/*.h)
clang-format --dry-run --Werror "${all[@]}"
clang-tidy --quiet -p build/native "${src[@]}" 2>/dev/null
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --enable=warning,portability,performance \
  --inline-suppr -I middleware/osl/osl_mdev/inc "${src[@]}"
