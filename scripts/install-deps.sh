#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing,
# and adds source entries (deb-src twins of the Debian entries, where there are
# none): the PowerPC builds of libfuse3 and busybox use `apt-get source`.
# With package names, only those (scripts/demo.sh names what it needs; no
# source entries then).
# usage: scripts/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=(cmake make g++ g++-powerpc-linux-gnu qemu-user nlohmann-json3-dev
          googletest libgtest-dev libgmock-dev smartmontools hdparm
          clang-format clang-tidy cppcheck groff file dpkg-dev lintian clang libclang-rt-dev python3 python3-seccomp jq
          pkg-config libfuse3-dev qemu-system-x86 busybox-static cpio
          qemu-system-ppc meson ninja-build xz-utils bc bison flex libelf-dev libssl-dev
          debhelper dh-dkms)
[ "$#" -eq 0 ] || packages=("$@")
export DEBIAN_FRONTEND=noninteractive
update=
if [ "$#" -eq 0 ] && ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d; then
  src=/etc/apt/sources.list.d/ostrautil-src
  if [ -e /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$src.sources"
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$src.list"
  fi
  echo "added the source entries $(ls "$src".*)"
  update=1
fi
# the headers of the kernel the VM benches boot, for the driver (scripts/kmod.sh)
headers() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-/linux-headers-/p' | head -1; }
if [ "$#" -eq 0 ]; then
  [ -n "$(headers)" ] || { apt-get update -qq && update=; }
  packages+=($(headers))
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ -n "$update" ] || [ "${#missing[@]}" -gt 0 ]; then
  apt-get update -qq
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
