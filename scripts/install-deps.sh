#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing;
# with package names, only those (scripts/demo.sh names what it needs).
# usage: scripts/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=(cmake make g++ g++-powerpc-linux-gnu qemu-user nlohmann-json3-dev
          googletest libgtest-dev libgmock-dev smartmontools hdparm
          clang-format clang-tidy cppcheck groff file dpkg-dev lintian clang libclang-rt-dev python3
          pkg-config libfuse3-dev qemu-system-x86 busybox-static cpio
          qemu-system-ppc meson ninja-build xz-utils)
[ "$#" -eq 0 ] || packages=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
