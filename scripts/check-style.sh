#!/usr/bin/env bash
# clang-format on all sources; clang-tidy and cppcheck on the program and the
# board simulator; the kernel's checkpatch.pl on the driver (from the cache of
# linux-source-6.1 files that scripts/kmod.sh keeps: no network once it is
# filled).
set -euo pipefail
cd "$(dirname "$0")/.."
src=(middleware/osl/osl_mdev/src/*.cpp)
all=(middleware/osl/osl_mdev/src/*.cpp middleware/osl/osl_mdev/inc/*.h sim/*/*.cpp sim/*/*.h tests/*.cpp
     tests/fuzz/*.cpp)
clang-format --dry-run --Werror "${all[@]}"
# one file per run (the analyzer's va_list state leaks from one file into the
# next within a single run), two runs at once; a file is not checked again
# while its text, the project's headers, the compile commands and the
# checker's and the compiler's packages are those of a run that passed it
passed=build/native/tidy-passed
common=$({ dpkg-query -W clang-tidy 'libstdc++-*-dev' libc6-dev nlohmann-json3-dev libfuse3-dev
           cat .clang-tidy build/native/compile_commands.json middleware/osl/osl_mdev/inc/*.h sim/*/*.h; } | sha256sum)
mkdir -p "$passed"
for f in "${src[@]}" sim/*/*.cpp; do
  key=$({ echo "$common" && cat "$f"; } | sha256sum | cut -d' ' -f1)
  [ -e "$passed/$key" ] || printf '%s\0' "$f" "$passed/$key"
done | xargs -0 -r -P2 -n2 sh -c 'clang-tidy --quiet -p build/native "$0" 2>/dev/null && touch "$1"'
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --enable=warning,portability,performance \
  --inline-suppr -I middleware/osl/osl_mdev/inc "${src[@]}"
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --enable=warning,portability,performance \
  --inline-suppr -I middleware/osl/osl_mdev/inc -I sim/board -I sim/drives -I sim/driver -I sim/trace \
  -I sim/front sim/*/*.cpp
# the driver: no error and no warning of checkpatch.pl
checkpatch=$(scripts/kmod.sh --source)/checkpatch.pl
for f in kmod/*; do perl "$checkpatch" --no-tree --terse --show-types -f "$f"; done | grep -E 'ERROR|WARNING' && exit 1
exit 0
