#!/bin/sh
# The board's kind of Linux for the VM benches: a 32-bit big-endian PowerPC
# kernel for QEMU's ppce500 machine with an e500mc core (everything built in,
# no modules; the ztostra driver of kmod/ among them, linked before ahci so
# that it claims AHCI controllers first) and a static busybox, built from
# Debian's linux-source-6.1 and busybox source packages (fetched into the work
# directory, never installed).  Cached outside the checkout under a key of the
# kernel configuration (scripts/ppc-vm-kernel.config), the driver's sources,
# the two source versions and the recipe's number below (to be raised with
# each change of how they are built), so that a change of any of them builds
# anew (about 7 minutes on 2 cores, at a lower priority than whatever else
# runs: the tests it is built for).
# Prints the directory that holds vmlinux and busybox; exits 1 with the reason
# when they cannot be had.
# Usage: scripts/ppc-vm.sh [CACHE_ROOT]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=${1:-${OSTRAUTIL_PPC_VM:-/var/cache/ostrautil-ppc-vm}}
config=$here/ppc-vm-kernel.config recipe=2
driver="$here/../kmod/Kbuild $here/../kmod/*.[ch] $here/../middleware/osl/osl_mdev/inc/ata.h"
fail() { echo "ppc-vm: $*" >&2 && exit 1; }
linux=$(apt-cache policy linux-source-6.1 | sed -n 's/^ *Candidate: //p')
busybox=$(apt-cache showsrc busybox 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1)
[ -n "$linux" ] && [ "$linux" != "(none)" ] || fail "no linux-source-6.1 package known to apt (apt-get update?)"
[ -n "$busybox" ] || fail "no busybox source package known to apt (scripts/install-deps.sh adds the source entries)"
key=$({ cat "$config" $driver && echo "$linux $busybox $recipe"; } | sha256sum | cut -c1-16)
out=$root/$key
[ -e "$out/vmlinux" ] && [ -e "$out/busybox" ] && echo "$out" && exit 0

mkdir -p "$root"
exec 9>"$root/.lock" # one build at a time; a second caller waits for the first
flock 9
[ -e "$out/vmlinux" ] && [ -e "$out/busybox" ] && echo "$out" && exit 0
work=$(mktemp -d "$root/.build.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
log=$root/build.log # kept: the last build's
: >"$log"
echo "ppc-vm: building Linux $linux and busybox $busybox for PowerPC into $out (log: $log)" >&2
apt-get download -q linux-source-6.1 >>"$log" 2>&1 || fail "apt-get download linux-source-6.1 failed"
dpkg-deb --fsys-tarfile linux-source-6.1_*.deb | tar -xO ./usr/src/linux-source-6.1.tar.xz | tar -xJ ||
	fail "cannot unpack linux-source-6.1"
rm linux-source-6.1_*.deb
# the driver, linked before ahci: its PCI driver registers first
mkdir linux-source-6.1/drivers/ata/ztostra && cp $driver linux-source-6.1/drivers/ata/ztostra/
sed -i 's|^obj-$(CONFIG_SATA_AHCI)\t\t+= ahci.o|obj-$(CONFIG_SATA_AHCI)\t\t+= ztostra/\n&|' linux-source-6.1/drivers/ata/Makefile
k="nice make -C linux-source-6.1 ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu- -j$(nproc)"
cp "$config" linux-source-6.1/.config
{ $k olddefconfig && $k vmlinux; } >>"$log" 2>&1 || { tail -30 "$log" >&2 && fail "the kernel build failed"; }
grep -q '^CONFIG_PPC_QEMU_E500=y' linux-source-6.1/.config || fail "the configuration lost PPC_QEMU_E500"
grep -q " zt_ioctl$" linux-source-6.1/System.map || fail "the kernel was built without the ztostra driver"
mkdir -p out && powerpc-linux-gnu-strip -o out/vmlinux linux-source-6.1/vmlinux
rm -rf linux-source-6.1

apt-get source -qq busybox >>"$log" 2>&1 || fail "apt-get source busybox failed (no source entry? scripts/install-deps.sh adds one)"
b="nice make -C $(ls -d busybox-*/) CROSS_COMPILE=powerpc-linux-gnu- -j$(nproc)"
{
	$b defconfig &&
		sed -i 's/^# CONFIG_STATIC is not set$/CONFIG_STATIC=y/; s/^CONFIG_TC=y$/# CONFIG_TC is not set/' busybox-*/.config &&
		$b oldconfig </dev/null && $b busybox
} >>"$log" 2>&1 || { tail -30 "$log" >&2 && fail "the busybox build failed"; }
cp busybox-*/busybox out/ && powerpc-linux-gnu-readelf -h out/busybox | grep -q 'PowerPC' &&
	! powerpc-linux-gnu-readelf -l out/busybox | grep -q INTERP || fail "busybox is not a static PowerPC program"
cp "$config" out/kernel.config && echo "linux-source-6.1 $linux, busybox $busybox" >out/versions
mv out "$out"
echo "$out"
