#!/bin/sh
# The ztostra driver as a module of the kernel the VM bench boots (Debian's
# current linux-image-amd64): builds build/kmod/ztostra.ko against that
# kernel's linux-headers package (scripts/install-deps.sh installs it) and
# prints its path.  The driver needs libahci's private header ahci.h, which no
# headers package carries: it comes from Debian's linux-source-6.1 of the
# same version, fetched once (never installed) into a cache with the tree's
# checkpatch.pl and its data files.
# Usage: scripts/kmod.sh           build; prints the module's path
#        scripts/kmod.sh --source  fetches the cache if needed; prints its directory
#        scripts/kmod.sh --kernel  prints the kernel package's name (linux-image-...)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
root=${OSTRAUTIL_LINUX_SRC:-/var/cache/ostrautil-linux-src}
fail() { echo "kmod: $*" >&2 && exit 1; }
kpkg() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-.*\)/\1/p' | head -1; }
pkg=$(kpkg)
[ -n "$pkg" ] || fail "apt knows no linux-image-amd64 (apt-get update?)"
[ "${1:-}" != --kernel ] || { echo "$pkg" && exit 0; }
kver=${pkg#linux-image-}
version=$(dpkg-query -W -f '${Version}' "linux-headers-$kver" 2>/dev/null) ||
	fail "linux-headers-$kver is not installed (scripts/install-deps.sh installs it)"

# the files of linux-source-6.1 the driver and the style check need
src=$root/$version
files="drivers/ata/ahci.h scripts/checkpatch.pl scripts/spelling.txt scripts/const_structs.checkpatch"
if [ ! -e "$src/checkpatch.pl" ]; then
	mkdir -p "$root" && exec 9>"$root/.lock" && flock 9
	if [ ! -e "$src/checkpatch.pl" ]; then
		work=$(mktemp -d "$root/.fetch.XXXXXX") && trap 'rm -rf "$work"' EXIT
		(cd "$work" && apt-get download -q "linux-source-6.1=$version" >/dev/null 2>&1) ||
			fail "apt-get download linux-source-6.1=$version failed"
		dpkg-deb --fsys-tarfile "$work"/linux-source-6.1_*.deb | tar -xO ./usr/src/linux-source-6.1.tar.xz |
			tar -xJ -C "$work" $(for f in $files; do echo "linux-source-6.1/$f"; done) ||
			fail "cannot unpack linux-source-6.1"
		mkdir -p "$work/out" && for f in $files; do cp "$work/linux-source-6.1/$f" "$work/out/"; done
		mv "$work/out" "$src"
	fi
fi
[ "${1:-}" != --source ] || { echo "$src" && exit 0; }

out=$here/build/kmod
mkdir -p "$out"
cp -p "$here"/kmod/Kbuild "$here"/kmod/*.[ch] "$here/middleware/osl/osl_mdev/inc/ata.h" "$src/ahci.h" "$out/"
nice make -s -C "/usr/src/linux-headers-$kver" M="$out" CONFIG_DEBUG_INFO_BTF_MODULES= modules >&2 || fail "the module's build failed"
echo "$out/ztostra.ko"
