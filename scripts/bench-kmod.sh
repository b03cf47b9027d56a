#!/bin/sh
# Speed of the ztostra driver's overwrite function against dd, in the x86_64 VM
# of tests/vm-bench.sh (QEMU TCG, the module of scripts/kmod.sh): a scratch disk
# with a partition 5 of 256 MiB is written ROUNDS times by turns with
#   dd if=/dev/zero of=/dev/sda5 bs=1M oflag=direct   (GNU dd: its own time)
#   ostrautil 31 sda 1 abcd 1234                      (one pass of fixed data:
#                                                      the driver's own time)
# and once in mode 3 (three passes, the middle one pseudo-random data).
# Prints each time, the medians and their ratio dd / overwrite (1: as fast).
# A benchmark, not a test.  Usage: scripts/bench-kmod.sh [BUILD_DIR] [ROUNDS]
set -eu
if [ "$$" = 1 ]; then # inside the VM
	/bin/busybox --install -s /bin
	mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
	for m in $(cat /modules); do insmod "/lib/$m.ko"; done
	insmod /lib/ztostra.ko destructive=1
	n=0 && while [ ! -e /dev/sda5 ] && [ $((n += 1)) -lt 300 ]; do sleep 0.1; done
	printf '#!/bin/sh\n[ "$1" = sda ] && exit 1\nexit 0\n' >/sbin/check_scsi_devfile.sh && chmod +x /sbin/check_scsi_devfile.sh
	ow() { # MODE: the run, waited for; the driver's time of it
		ostrautil 31 sda "$1" abcd 1234 && while [ "$(ostrautil 32 sda)" != 100 ]; do usleep 10000; done
		dmesg | sed -n 's/.*sda: overwrite done: .* in \([0-9]*\) ms$/\1/p' | tail -1
	}
	echo && for i in $(seq "$(cat /rounds)"); do
		echo "dd $(/usr/local/bin/dd if=/dev/zero of=/dev/sda5 bs=1M oflag=direct 2>&1 | sed -n 's/.*copied, \([0-9.]*\) s.*/\1/p')"
		echo "ow $(ow 1)"
	done
	echo "mode3 $(ow 3)"
	poweroff -f
fi
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-build/native}") rounds=${2:-5}
work=$(mktemp -d) && trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
kdir=${OSTRAUTIL_VM_CACHE:-/var/cache/ostrautil-vm}/$("$here/scripts/kmod.sh" --kernel)
ko=$("$here/scripts/kmod.sh" 2>/dev/null)
root=$work/root && mkdir -p "$root/bin" "$root/sbin" "$root/lib" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
. "$here/tests/vm-modules.sh"
: >"$root/modules" && modules "$kdir" "$root" libahci sd_mod
cp "$0" "$root/init" && cp "$ko" "$root/lib/" && cp /bin/busybox "$root/bin/" && ln -s busybox "$root/bin/sh" && echo "$rounds" >"$root/rounds"
mkdir -p "$root/usr/local/bin" && cp /bin/dd "$root/usr/local/bin/" # GNU dd (busybox takes /bin/dd)
cp "$build/ostrautil" "$root/bin/"
for f in "$build/ostrautil" /bin/dd; do ldd "$f" | grep -o '/[^ ]*' | xargs -r -I{} cp -L --parents {} "$root/"; done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"
python3 - "$work/disk.img" <<-'EOF'
	import struct, sys
	with open(sys.argv[1], 'wb') as f:  # partition 5: 256 MiB from sector 4096
	    f.truncate((256 + 4) << 20)
	    for lba, kind, begin, n in ((0, 5, 2048, 2048 + (256 << 11)), (2048, 0x83, 2048, 256 << 11)):
	        f.seek(lba * 512 + 446)
	        f.write(struct.pack('<B3sB3sII', 0, b'', kind, b'', begin, n) + bytes(48) + b'\x55\xaa')
EOF
timeout 900 qemu-system-x86_64 -accel tcg -smp 1 -m 512 -nographic -no-reboot -kernel "$(ls "$kdir"/boot/vmlinuz-*)" \
	-initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1" -device ahci,id=ahci \
	-drive "if=none,id=d,format=raw,file=$work/disk.img" -device ide-hd,drive=d,bus=ahci.0 </dev/null 2>&1 |
	tr -d '\r' | tee "$work/console" | grep -E '^(dd|ow|mode3) ' >"$work/times" || true
python3 - "$work/times" <<-'EOF'
	import statistics, sys
	t = {}
	for line in open(sys.argv[1]):
	    k, v = line.split()
	    t.setdefault(k, []).append(float(v) / (1000 if k != 'dd' else 1))
	dd, ow = statistics.median(t['dd']), statistics.median(t['ow'])
	print('dd of 256 MiB, s:       ' + ' '.join(f'{x:.3f}' for x in t['dd']) + f'  (median {dd:.3f})')
	print('overwrite, mode 1, s:   ' + ' '.join(f'{x:.3f}' for x in t['ow']) + f'  (median {ow:.3f})')
	print(f'overwrite, mode 3, s:   {t["mode3"][0]:.3f} (768 MiB, one pass of pseudo-random data)')
	print(f'ratio dd / overwrite:   {dd / ow:.2f}')
EOF
