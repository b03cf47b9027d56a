#!/bin/sh
# The ztostra driver in the kernel, the unchanged program on real /dev/sdX:
# QEMU's AHCI controller with scratch disks made here (random contents, a
# partition 5), in the x86_64 VM of tests/vm-bench.sh (the module of
# scripts/kmod.sh, moved from ahci to ztostra by driver_override) and in the
# PowerPC VM of scripts/ppc-vm.sh (built in, ztostra claims the controller at
# boot).  The program's output and report files must be the same on both
# kernels byte for byte (identify texts aside, byte strings read as words);
# on x86_64 they must agree with smartctl, hdparm and sysfs.  Without the
# module parameter destructive no disk changes; with it the overwrite of sdc's
# partition 5 must leave sdc's image equal to sdd's, a copy on which
# ostrasim's SG_IO path ran the same commands, and only partition 5 differs
# from the original; sda and sdb never change.  rmmod in the middle of an
# overwrite (sde) stops it; the kernel logs no error, warning, BUG or oops.
# Usage: [PPC_BUILD=DIR] tests/vm-kmod.sh [BUILD_DIR]; ends with "N passed, N failed[, 1 skipped]".
set -eu
# NAME MODEL(_: a blank) SERIAL ROTATION_RATE MIB P5_SECTORS CONTENTS ARCHES (partition 5 from sector 4096)
disks="sda WDC_WD1600AAJS-22WAA0 SATA0ROT01 7200 16 4096 random x86_64,ppc
sdb QEMU-SOLID-STATE SATA0SSD01 1 16 4096 random x86_64,ppc
sdc QEMU-ROTATING-7200 SATA0ROT02 7200 16 4096 sda x86_64,ppc
sdd QEMU-ROTATING-7200 SATA0ROT03 7200 16 4096 sda x86_64
sde QEMU-SCRATCH SATA0SCR01 7200 132 262144 zero x86_64"

# the cases in order, COMMAND|OUTPUT (lines joined by blanks; "-": checked otherwise), each
# command's status 0; those of the program and its report files the same on both kernels
cases='x86_64 override ztostra|../../../bus/pci/drivers/ztostra
ahci_driver|ztostra
serials sda sdb sdc|SATA0ROT01 SATA0SSD01 SATA0ROT02
x86_64 serials sdd sde|SATA0ROT03 SATA0SCR01
sums|-
ostrautil 53 any|Model=WDC WD1600AAJS-22WAA0, SerialNo=SATA0ROT01 Model=QEMU-SOLID-STATE, SerialNo=SATA0SSD01
cat /tmp/ostra_serial.info|WDC WD1600AAJS-22WAA0 SATA0ROT01 QEMU-SOLID-STATE SATA0SSD01
ostrautil 51 any|space character - found. hdd maker information - found. hdd maker name - found. output hdd maker, hdd model.
cat /tmp/ostra_smart.info|-
ostrautil 52 sda|ostrautil_get_ssdlife() This device is not SSD.
ostrautil 52 sdb|ostrautil_get_ssdlife() ostrautil_smart_serch_id failed.
ostrautil identify /dev/sda|-
ostrautil identify /dev/sdb|-
ostrautil pp sda5 50|-
ostrautil pp sdb5 50|-
ostrautil rotational sda|1
ostrautil rotational sdb|0
ostrautil read sda 0 fff 3|
ostrautil psb sdb5 0|
ostrautil 40 sda|0
ostrautil ff sda|-------- owdata -------- mode = 0 fixdata = 0x0000 owsw = 0x0000 pranddata = 0x0000 trcount = 0
ostrautil 41 sda|
ostrautil 44 sda 1234|
ostrautil 45 sda 89abcdef|
ostrautil ff sda|-------- owdata -------- mode = 1 fixdata = 0x1234 owsw = 0x0000 pranddata = 0x89abcdef trcount = 0
ostrautil 42 sda|
ostrautil 40 sda|3
ostrautil 43 sda|
ostrautil 40 sda|0
ostrautil ow_set_total sda 3|-------- owdata -------- total = 12288 set total ------------------------
ostrautil ow_clear /dev/sda|
ostrautil 31 sdc 3 abcd 1234|ostrautil_issue_owfunc(160):ioctl() error
ostrautil 32 sdc|0
ostrautil uncwrite sdc 0 1000|ioctl() error
ostrautil 46 sdb|ioctl() error
ostrautil regr /dev/sda|
ostrautil regw /dev/sda|
ostrautil intr /dev/sda|
ostrautil hdflush /dev/sda5|
ostrautil hdstandbyimd /dev/sda|
sums|-
echo 1 >/sys/module/ztostra/parameters/destructive|
ostrautil 31 sdc 3 abcd 1234|
until_done ostrautil 32 sdc|100
ostrautil ff sdc|-------- owdata -------- mode = 3 fixdata = 0xabcd owsw = 0x0000 pranddata = 0x1234 trcount = 12288
timeout 20 ostrautil ow sdc|-
ostrautil uncwrite sdc 0 0|ioctl() error
ostrautil uncwrite sdc 0 1000|ioctl() error
ostrautil uncwrite sdc 0 2000|ioctl() error
ostrautil 46 sda|ioctl() error
ostrautil 46 sdb|ioctl() error
ostrautil 46 sdb5|ioctl() error
x86_64 smartctl -d sat -i /dev/sda|-
x86_64 smartctl -d sat -i /dev/sdb|-
x86_64 smartctl -d sat -A $(raw48) /dev/sda|-
x86_64 smartctl -d sat -A $(raw48) /dev/sdb|-
x86_64 hdparm --Istdout /dev/sda|-
x86_64 hdparm --Istdout /dev/sdb|-
x86_64 hdparm -I /dev/sda|-
x86_64 hdparm -I /dev/sdb|-
x86_64 cat /sys/block/sda/queue/rotational /sys/block/sdb/queue/rotational|1 0
x86_64 cat /sys/block/sda/sda5/start /sys/block/sda/sda5/size /sys/block/sdb/sdb5/start /sys/block/sdb/sdb5/size|-
x86_64 ostrasim init /run/d --host sda=/dev/$(ls /sys/block/sdd/device/scsi_generic) --destructive|-
x86_64 ostrasim run /run/d -- ostrautil 31 sda 3 abcd 1234|
x86_64 until_done ostrasim run /run/d -- ostrautil 32 sda|100
x86_64 ostrautil 31 sde 3 1111 2222|
x86_64 until_started ostrautil 32 sde|
x86_64 rmmod ztostra|
x86_64 insmod /lib/ztostra.ko|
x86_64 wait_for /dev/sde5|
x86_64 ostrautil 32 $(big)|0
ostrautil 12 any|
cat /sys/class/scsi_host/host1/link_power_management_policy|min_power
ostrautil read sda 0 0 1|ioctl() error
ostrautil 13 any|
cat /sys/class/scsi_host/host1/link_power_management_policy|max_performance
ostrautil read sda 0 0 1|
ostrautil hdsleep /dev/sdb|
ostrautil read sdb 0 0 1|ioctl() error
ostrautil 13 any|
ostrautil read sdb 0 0 1|
x86_64 rmmod ztostra|
dmesg -r -s 1048576|-'

if [ "$$" = 1 ]; then # inside the VM: each case's output as a section for the host
	set +e
	/bin/busybox --install -s /bin
	mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
	wait_for() { n=0 && while [ ! -e "$1" ] && [ $((n += 1)) -lt 300 ]; do sleep 0.1; done; }
	until_done() { n=0 && while [ "$("$@")" != 100 ] && [ $((n += 1)) -lt 100 ]; do sleep 0.1; done && "$@"; }
	until_started() { n=0 && while [ "$("$@")" = 0 ] && [ $((n += 1)) -lt 200 ]; do sleep 0.05; done; }
	x86_64() { [ "$(uname -m)" = x86_64 ] && "$@"; }
	sums() { md5sum /dev/sda /dev/sdb /dev/sdc; }
	serials() { for d in "$@"; do tr -cd 0-9A-Z </sys/block/$d/device/vpd_pg80 && echo; done; }
	ahci_driver() { for p in /sys/bus/pci/devices/*; do grep -q 0x010601 $p/class && basename "$(readlink $p/driver)"; done; }
	big() { grep -l 270336 /sys/block/sd?/size | cut -d/ -f4; }
	override() { # DRIVER: the controller moved to it from ahci, as on a PC (ztostra(4))
		pci=$(ls /sys/bus/pci/drivers/ahci | grep ^0000) && echo "$pci" >/sys/bus/pci/drivers/ahci/unbind
		echo "$1" >"/sys/bus/pci/devices/$pci/driver_override" && echo "$pci" >/sys/bus/pci/drivers_probe
		wait_for /sys/block/sde/sde5 && wait_for /dev/sde5 && readlink "/sys/bus/pci/devices/$pci/driver"
	}
	raw48() { seq 1 255 | sed 's/.*/-v &,raw48/'; }
	for m in $(cat /modules); do insmod "/lib/$m.ko"; done
	wait_for "/dev/$(cat /disks)5"
	[ ! -e /lib/ztostra.ko ] || insmod /lib/ztostra.ko # ahci has the controller: ztostra claims nothing yet
	printf '#!/bin/sh\ncase $1 in sda|sdb) [ -b /dev/$1 ] && exit 1;; esac\nexit 0\n' >/sbin/check_scsi_devfile.sh
	chmod +x /sbin/check_scsi_devfile.sh
	echo && echo "$cases" | while IFS='|' read -r c want; do
		case $c in x86_64*) [ "$(uname -m)" = x86_64 ] || continue ;; esac
		echo "=== $c" && eval "$c" 2>&1 </dev/null
		printf '\nstatus %d\n' $?
	done
	poweroff -f
fi

# --- on the host: the disks, both VMs, the comparisons ----------------------------
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-build/native}") ppc=$(realpath -m "${PPC_BUILD:-build/ppc}")
start=$(date +%s) work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
fail() { echo "$*" && echo "0 passed, 1 failed" && exit 1; }
kdir=${OSTRAUTIL_VM_CACHE:-/var/cache/ostrautil-vm}/$("$here/scripts/kmod.sh" --kernel)
[ -d "$kdir" ] || fail "no kernel in $kdir (tests/vm-bench.sh fetches it)"
ko=$("$here/scripts/kmod.sh") || fail "the module's build failed"
. "$here/tests/vm-modules.sh"
echo "$disks" | while read -r d model serial rate mib p5 contents arches; do
	python3 - "$work/$d.img" "$mib" "$p5" "$contents" <<-'EOF'
		import random, struct, sys
		path, mib, sectors, contents = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
		with open(path, 'wb') as f:
		    if contents == 'random':
		        f.write(random.Random(path[-7:]).randbytes(mib << 20))
		    elif contents != 'zero':
		        f.write(open(path[:-7] + contents + '.orig', 'rb').read())
		    f.truncate(mib << 20)
		    for lba, kind, begin, n in ((0, 5, 2048, 2048 + sectors), (2048, 0x83, 2048, sectors)):
		        f.seek(lba * 512 + 446)  # an extended partition at 2048, its logical partition 5 at 4096
		        f.write(struct.pack('<B3sB3sII', 0, b'', kind, b'', begin, n) + bytes(16 * 3) + b'\x55\xaa')
	EOF
	cp --sparse=always "$work/$d.img" "$work/$d.orig"
done
vm() { # ARCH: its initramfs (this script as /init, busybox, the programs), boots it with its disks
	arch=$1
	root=$work/root.$1 && mkdir -p "$root/bin" "$root/sbin" "$root/lib" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/run"
	: >"$root/modules" && cp "$0" "$root/init" && ln -s busybox "$root/bin/sh"
	echo "$disks" | grep "$1" | tail -1 | cut -d' ' -f1 >"$root/disks"
	if [ "$1" = ppc ]; then
		cp "$vmdir/busybox" "$ppc/ostrautil" "$root/bin/" && kernel=$vmdir/vmlinux
		for l in ld.so.1 $(powerpc-linux-gnu-readelf -d "$ppc/ostrautil" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
			cp -L "/usr/powerpc-linux-gnu/lib/$l" "$root/lib/"
		done
		set -- qemu-system-ppc -M ppce500 -cpu e500mc
	else
		modules "$kdir" "$root" ahci sd_mod sg && cp "$ko" "$root/lib/" && cp /bin/busybox "$root/bin/" && kernel=$(ls "$kdir"/boot/vmlinuz-*)
		mkdir -p "$root/lib/ostrasim" && cp "$build/libostrasim.so" "$root/lib/ostrasim/"
		for f in "$build/ostrasim" "$build/ostrautil" "$(command -v smartctl)" "$(command -v hdparm)" "$build/libostrasim.so"; do
			[ "${f%.so}" = "$f" ] && cp "$f" "$root/bin/"
			ldd "$f" 2>/dev/null | grep -o '/[^ ]*' | xargs -r -I{} cp -L --parents {} "$root/" || true
		done
		set -- qemu-system-x86_64 -accel tcg -smp 1
	fi
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$root.gz"
	set -- "$@" -device ahci,id=ahci && n=0
	for d in $(echo "$disks" | grep "$arch" | cut -d' ' -f1); do # its disks, on the controller's ports in order
		set -- "$@" -drive "if=none,id=$d,format=raw,file=$work/$d.img" -device "$(echo "$disks" |
			awk -v d=$d -v n=$n '$1 == d { gsub("_", " ", $2); printf "ide-hd,drive=%s,bus=ahci.%d,model=%s,serial=%s,rotation_rate=%s", d, n, $2, $3, $4 }')"
		n=$((n + 1))
	done
	timeout 900 "$@" -m 512 -nographic -no-reboot -kernel "$kernel" -initrd "$root.gz" \
		-append "console=ttyS0 quiet panic=-1 mitigations=off log_buf_len=1M" </dev/null 2>&1 | tr -d '\r' >"$work/$arch" || true
	echo "$arch VM: $(($(date +%s) - start)) s"
}
vm x86_64
mv "$work/sdc.img" "$work/sdc.x86_64" && cp "$work/sda.orig" "$work/sdc.img" # the PowerPC VM's: a fresh copy
if [ ! -x "$ppc/ostrautil" ]; then
	echo "SKIPPED: the PowerPC VM: no PowerPC ostrautil ($ppc)"
elif vmdir=$("$here/scripts/ppc-vm.sh"); then
	vm ppc
fi
echo "vm-kmod time: $(($(date +%s) - start)) s"
python3 "$here/tests/vm-kmod.py" "$work" "$disks" "$cases"
