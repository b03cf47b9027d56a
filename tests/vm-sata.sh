#!/bin/sh
# Real drives: in the VM of tests/vm-bench.sh, QEMU's AHCI disks (a rotating
# one and a solid-state one, scratch images made here) are the drives of a
# board made with `ostrasim init --host`; the program's reports must agree
# field by field with smartctl and hdparm reading the same disk, its power
# commands leave the state hdparm reports, writing requests are refused; the
# link and port requests reach sysfs.  On a destructive board the overwrite
# function writes sda's partition 5: after the VM stops, exactly that range of
# the image holds the pattern and every other byte of both images is as made.
# Then the same disk images in a 32-bit big-endian PowerPC VM (kernel and
# busybox of scripts/ppc-vm.sh, the PowerPC build PPC_BUILD, default
# build/ppc): the program's identity, SMART report and identify dump there must
# equal the x86_64 VM's byte for byte.
# Usage: [PPC_BUILD=DIR] tests/vm-sata.sh [BUILD_DIR]; ends with "N passed, N failed[, 1 skipped]".
set -eu
# disks: NODE SG MODEL SERIAL ROTATION_RATE, then what the checks expect of it
disks="sda sg0 QEMU-ROTATING-7200 SATA0ROT01 7200 1
sdb sg1 QEMU-SOLID-STATE SATA0SSD01 1 0"
# sda's partition 5 (a logical one: extended partition from sector 2048, its
# boot record there, partition 5 from OW_START); the overwrite's pattern
OW_START=4096 OW_SECTORS=4096 OW_FIXDATA=abcd

if [ "$$" = 1 ]; then # inside the VM
	set +e
	/bin/busybox --install -s /bin
	mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
	for m in $(cat /modules); do insmod "/lib/$m.ko"; done
	# both disks, and the partition table of the first (whichever sdX the kernel names it)
	n=0 && while ! { [ -e /dev/sg1 ] && ls /dev/sd?5; } >/dev/null 2>&1 && [ $((n += 1)) -lt 600 ]; do sleep 0.1; done
	echo "vm up: $(cat /modules | xargs); $(ls /dev | grep -E '^(sg|sd)' | xargs)"
	serve() { # BOARD INIT-ARGS...: a new board, served
		b=$1 n=0 && shift && ostrasim init $b "$@" || return
		rm -f /dev/sd[a-z]* # the board's nodes take the names of the disks' block nodes
		ostrasim serve $b >$b.log 2>&1 &
		spid=$!
		while ! grep -q serving $b.log 2>/dev/null && [ $((n += 1)) -lt 1200 ]; do sleep 0.1; done
		cat $b.log
	}
	serve /run/b --host sda=/dev/sg0 --host sdb=/dev/sg1
	u() { ostrasim run --kernel /run/b -- ostrautil "$@" 2>&1; echo "status $?"; }
	dump() { # DISK: its identity, SMART report (and report file) and identify dump, for the host to compare
		echo "=== $1 begin" && u 53 $1 && rm -f /run/b/tmp/ostra_smart.info && u 51 $1
		echo "--- ostra_smart.info" && cat /run/b/tmp/ostra_smart.info
		u identify /dev/$1 && echo "=== $1 end"
	}
	for d in $(echo "$disks" | cut -d' ' -f1); do dump $d; done # before anything changes the drives' state
	[ "$(uname -m)" = x86_64 ] || poweroff -f # the PowerPC VM: no smartctl, hdparm
	# the same commands to QEMU's rotating disk and to a simulated drive behind
	# the stand-in SG_IO device, each by SG_IO; the host compares their answers
	ostrasim init /run/s0 >/dev/null && mkdir /run/s0/sgio && touch /run/s0/sgio/sda && export OSTRASIM_SGIO_BOARD=/run/s0
	ostrasim init /run/q --host sda=/dev/sg0 >/dev/null
	LD_PRELOAD=/lib/libsgio_standin.so ostrasim init /run/s --host sda=/run/s0/sgio/sda >/dev/null
	for b in q s; do
		for c in "ostrautil identify /dev/sda" "ostrautil 51 sda" "ostrautil hdflush /dev/sda" "smartctl -d ata -H /dev/sda" \
			"hdparm -C /dev/sda" "ostrautil hdstandbyimd /dev/sda" "hdparm -C /dev/sda"; do
			LD_PRELOAD=$([ $b = s ] && echo /lib/libsgio_standin.so) ostrasim run /run/$b -- $c >/dev/null 2>&1
		done
		echo "=== $b trace begin" && ostrasim trace /run/$b --raw && echo "=== $b trace end"
	done
	unset OSTRASIM_SGIO_BOARD
	pass=0 fail=0
	check() { # WHAT WANT GOT
		if [ "$2" = "$3" ]; then pass=$((pass + 1)); else fail=$((fail + 1)) && printf 'FAIL %s\n--- want\n%s\n--- got\n%s\n' "$1" "$2" "$3"; fi
	}
	echo "$disks" >/run/disks
	while read -r d sg model serial rate rot; do
		s=/dev/$sg
		check "$d 53" "Model=$model, SerialNo=$serial
status 0" "$(u 53 $d | grep -Fx -e "Model=$model, SerialNo=$serial" -e "status 0")"
		check "$d 53, the preload front end" "$(u 53 $d)" "$(ostrasim run /run/b -- ostrautil 53 $d 2>&1; echo "status $?")"
		check "$d smartctl -i" "$model $serial" "$(smartctl -d sat -i $s | sed -n 's/^Device Model: *//p; s/^Serial Number: *//p' | xargs)"
		# the attributes: id, flags, value, worst, threshold, raw (48 bits) (the drive's own block)
		u 51 $d >/dev/null && awk -F, -v i=${sg#sg} 'NR > 1 && $2 == i && $6 != "000" {print $6, "0x" tolower(substr($4, 19, 4)), $7, $9, $8, $10}' \
			/run/b/tmp/ostra_smart.info | sed -E 's/(^| )0+([0-9])/\1\2/g' | while read -r a f v w t r; do echo "$a $f $v $w $t $(printf %d 0x$r)"; done >/run/51
		check "$d 51 attributes" "$(smartctl -d sat -A $(awk '{printf "-v %s,raw48 ", $1}' /run/51) $s | awk '$1 ~ /^[0-9]+$/ {print $1, $3, $4, $5, $6, $10}' | sed -E 's/(^| )0+([0-9])/\1\2/g')" "$(cat /run/51)"
		# identify words, as hdparm and smartctl (whose runs of zero words are one line)
		# read them; the texts come as byte strings, as the block layer hands them out
		texts() { awk '{w=$1; k=NR-1; if ((k>=10&&k<20)||(k>=23&&k<47)) w=substr(w,3,2) substr(w,1,2); print w}' | xargs; }
		id=$(u identify /dev/$d | sed -n 's/^id\[...\] //p' | sed 's/0x//g' | xargs)
		check "$d identify, hdparm" "$(hdparm --Istdout $s | grep -v : | tr -s ' \n' '\n\n' | grep . | texts)" "$id"
		check "$d identify, smartctl" "$(smartctl -d sat --identify=wn $s | awk '$1 ~ /^[0-9]+(-[0-9]+)?$/ && $2 ~ /^0x/ { split($1 "-" $1, r, "-")
			if ($2 == "0x00...") for (k = r[1]; k <= r[2]; k++) print "0000"; else for (k = 1; k <= split(substr($2, 3), v, ":"); k++) print v[k] }' | texts)" "$id"
		check "$d rotational" "$rot" "$(u rotational $d | head -c1)"
		check "$d hdparm rotation" "$([ "$rot" = 0 ] && echo 'Solid State Device' || echo "$rate")" "$(hdparm -I $s | sed -n 's/.*Rotation Rate: *//p')"
		check "$d read" "status 0" "$(u read $d 0 fff 3)"
		check "$d power mode, smartctl through the board" "$(smartctl -d sat -n standby -i $s | grep 'Power mode')" \
			"$(ostrasim run --kernel /run/b -- smartctl -d ata -n standby -i /dev/$d | grep 'Power mode')"
		# writing requests on a board not made --destructive; the controller's own tests
		for c in "uncwrite $d 0 1000|ioctl() error status 0" "46 $d|ioctl() error status 0" "31 $d 1 abcd 0|ostrautil_issue_owfunc(160):ioctl() error status 0" "regr /dev/$d|status 0"; do
			check "${c%|*}" "${c#*|}" "$(u ${c%|*} | xargs)"
		done
		# QEMU's disk answers CHECK POWER MODE "active" whatever it was told; after
		# SLEEP it aborts every command (hdparm then says standby), and the
		# board's driver sends it none until the port is initialised again
		for c in "hdstandbyimd /dev/$d|active/idle" "hdsleep /dev/$d|standby"; do
			check "$d ${c%|*}" "status 0 ${c#*|}" "$(u ${c%|*} | xargs) $(hdparm -C $s 2>/dev/null | sed -n 's/.*state is: *//p')"
		done
		check "$d asleep: refused until its port is reset" "ioctl() error status 0" "$(u read $d 0 0 1 | head -1) $(u 13 x | xargs)"
	done </run/disks
	# one server a board and a node name; a host that loops back to a served node is refused
	st() { "$@" >/dev/null 2>/run/err; echo "status $? $(head -1 /run/err)"; }
	check "second serve of the board" "status 2 ostrasim: /run/b: another ostrasim serve serves this board" "$(st ostrasim serve /run/b)"
	ostrasim init /run/x >/dev/null
	part=$(cat /sys/class/scsi_generic/sg0/device/block/*/*5/dev) && mknod /run/part b ${part%:*} ${part#*:}
	check "a partition node as host" "status 2 ostrasim: /run/part is a partition: name the disk's SCSI generic node (/dev/sgN)" "$(st ostrasim init /run/y --host sda=/run/part)"
	check "serve of the same node names" "status 2 ostrasim: /dev/sda exists (a character device: another serve's?): a program would reach it, not the board; remove it first" "$(st ostrasim serve /run/x)"
	ln -s /dev/sda /run/loop && sed -i 's|"/dev/sg0"|"/run/loop"|' /run/b/board.json
	check "a host looping back to serve: kept the board before" "Model=QEMU-ROTATING-7200, SerialNo=SATA0ROT01 said so" \
		"$(u 53 sda | grep ROTATING) $(grep -q 'sda.host: resolves to /dev/sda, a node this server serves' /run/b.log && echo said so)"
	sed -i 's|"/run/loop"|"/dev/sg0"|' /run/b/board.json

	check "52 sda" "ostrautil_get_ssdlife() This device is not SSD. status 0" "$(u 52 sda | xargs)"
	check "52 sdb" "ostrautil_get_ssdlife() ostrautil_smart_serch_id failed. status 0" "$(u 52 sdb | xargs)"
	# the link: its power policy in sysfs; port initialisation resets the device
	lpm=/sys/class/scsi_host/host0/link_power_management_policy
	for c in "12 x|min_power" "sleepout /dev/sda|max_performance" "sleepin /dev/sda|min_power" "13 x|max_performance"; do
		check "${c%|*}" "status 0 ${c#*|}" "$(u ${c%|*} | xargs) $(cat $lpm)"
	done
	ups() { dmesg | grep -c 'ata[12]: SATA link up'; }
	scans() { ostrasim trace /run/b | grep -c 'port: .*/scan <- 0 0 0$'; }
	before=$(ups) scanned=$(scans) && check "13 again: sleep-out, then each port reset" "status 0" "$(u 13 x | xargs)"
	check "its trace: two port scans" 2 "$(($(scans) - scanned))"
	check "the kernel: both links reset" 2 "$(($(ups) - before))"
	ostrasim trace /run/b | grep -c 'ata:' | sed 's/^/ATA commands traced: /'
	# a destructive board on the scratch disks: the commands the emulated disks lack
	# end with the program's message; the overwrite function writes partition 5
	# of sda (the host then checks the image)
	kill $spid && wait $spid && mknod /dev/sda b 8 0
	check "serve beside a real block node" "status 2 ostrasim: /dev/sda exists (a block device): a program would reach it, not the board; remove it first" "$(st ostrasim serve /run/x)"
	serve /run/d --host sda=/dev/sg0 --host sdb=/dev/sg1 --destructive
	u() { ostrasim run --kernel /run/d -- ostrautil "$@" 2>&1; echo "status $?"; }
	check "destructive uncwrite" "ioctl() error status 0" "$(u uncwrite sda 0 1000 | xargs)"
	check "its trace: WRITE UNCORRECTABLE EXT aborted" 1 "$(ostrasim trace /run/d | grep -c 'ata: command 45 features 55 .*: status 41 error 04;')"
	for c in "sda|a rotating drive" "sdb|no security feature set"; do
		check "46 ${c%|*}" "ioctl() error status 0" "$(u 46 ${c%|*} | xargs)"
		check "its trace: ${c#*|}" 1 "$(ostrasim trace /run/d | grep -c "refused: ${c#*|}")"
	done
	check "31: mode 3 started on sda5, $OW_SECTORS sectors" "status 0" "$(u 31 sda 3 $OW_FIXDATA 1234 | xargs)"
	n=0 && while [ "$(u 32 sda | xargs)" != "100status 0" ] && [ $((n += 1)) -lt 50 ]; do sleep 0.2; done
	check "32: done" "100status 0" "$(u 32 sda | xargs)"
	check "ff: trcount" "trcount = $((3 * OW_SECTORS))" "$(u ff sda | grep trcount | xargs)"
	check "its trace: WRITE DMA EXT in three passes" "$((3 * OW_SECTORS))" "$(ostrasim trace /run/d | sed -n 's/.*ata: command 35 features 00 count \(....\) .* status 50 error 00\( (\([0-9]*\) commands.*\)\?$/\1 \3/p' |
		while read -r n k; do echo $((0x$n * ${k:-1})); done | awk '{s += $1} END {print s}')"
	# partition 5 moved (EBR at 2048, start relative to it at +8 of its first entry):
	# the board made for the old one refuses the disk until it is back
	blk=$(cat /sys/class/scsi_generic/sg0/device/block/*/dev) && mknod /run/blk b ${blk%:*} ${blk#*:}
	ebr=$((2048 * 512 + 446 + 8))
	part() { printf "$1" | dd of=/run/blk bs=1 seek=$ebr conv=notrunc 2>/dev/null && blockdev --rereadpt /run/blk; }
	part '\000\020\000\000' # 4096: the partition from 6144
	check "partition 5 moved: refused" "ioctl() error status 0 1" "$(u 32 sda | xargs) $(grep -c 'partition 5 at 6144 (4096 sectors); the board was made for .*partition 5 at 4096' /run/d.log)"
	part '\000\010\000\000' && check "partition 5 back" "100status 0" "$(u 32 sda | xargs)"
	# the disks deleted and found again the other way round: sg0 is the other disk
	kill $spid && wait $spid
	for h in 0 1; do echo 1 >/sys/class/scsi_device/$h:0:0:0/device/delete; done
	for h in 1 0; do echo "- - -" >/sys/class/scsi_host/host$h/scan; n=0 && while [ ! -e /dev/sg$((1 - h)) ] && [ $((n += 1)) -lt 100 ]; do sleep 0.1; done; done
	check "renumbered: sg0 is the solid-state disk" "QEMU-SOLID-STATE" "$(cat /sys/class/scsi_generic/sg0/device/model | xargs)"
	# the disks' block nodes come after their sg nodes (serve refuses a name that is
	# taken); the log emptied first, so that the wait below never reads the last server's
	n=0 && while ! [ -b /dev/sda ] || ! [ -b /dev/sdb ]; do [ $((n += 1)) -lt 100 ] || break; sleep 0.1; done
	: >/run/d.log
	rm -f /dev/sd[a-z]* && ostrasim serve /run/d >/run/d.log 2>&1 &
	spid=$! n=0 && while ! grep -q serving /run/d.log && [ $((n += 1)) -lt 100 ]; do sleep 0.1; done
	check "renumbered: refused, both disks named" "status 0 1" "$(u 53 sda | tail -1) $(grep -c '/dev/sg0 is "QEMU-SOLID-STATE" serial "SATA0SSD01".*the board was made for "QEMU-ROTATING-7200"' /run/d.log)"
	check "renumbered: no write" "ioctl() error status 0" "$(u uncwrite sda 0 1000 | xargs)"
	check "renumbered: no overwrite" "ostrautil_issue_owfunc(140):ioctl() error status 0" "$(u 31 sda 1 3333 0 | xargs)"
	echo "$pass passed, $fail failed"
	poweroff -f
fi

# --- on the host: images, initramfs and VM of each arch, the comparison ----------
build=$(realpath "${1:-build/native}") ppc=$(realpath -m "${PPC_BUILD:-build/ppc}")
cache=${OSTRAUTIL_VM_CACHE:-/var/cache/ostrautil-vm}
start=$(date +%s) work=$(mktemp -d) skipped=
trap 'rm -rf "$work"' EXIT
kdir=$(ls -d "$cache"/linux-image-*-amd64 2>/dev/null | head -1)
[ -n "$kdir" ] || { echo "no kernel in $cache (tests/vm-bench.sh fetches it)" && echo "0 passed, 1 failed" && exit 1; }
vmdir=$("$(dirname "$0")/../scripts/ppc-vm.sh") || { echo "0 passed, 1 failed" && exit 1; }
. "$(dirname "$0")/vm-modules.sh"
drives=$(echo "$disks" | while read -r d sg model serial rate rot; do
	truncate -s 64M "$work/$d.img"
	[ "$d" = sdb ] || python3 - "$work/$d.img" $OW_START $OW_SECTORS <<-'EOF'
		import struct, sys
		def table(lba, kind, start, sectors):  # a boot record with one entry
		    f.seek(lba * 512 + 446)
		    f.write(struct.pack('<B3sB3sII', 0, b'', kind, b'', start, sectors))
		    f.seek(lba * 512 + 510)
		    f.write(b'\x55\xaa')
		start, sectors = int(sys.argv[2]), int(sys.argv[3])
		with open(sys.argv[1], 'r+b') as f:
		    table(0, 0x05, 2048, start + sectors - 2048)
		    table(2048, 0x83, start - 2048, sectors)
	EOF
	cp --sparse=always "$work/$d.img" "$work/$d.orig"
	echo "-drive if=none,id=$d,format=raw,file=$work/$d.img -device ide-hd,drive=$d,bus=ahci.${sg#sg},model=$model,serial=$serial,rotation_rate=$rate"
done)
vm() { # ARCH: its initramfs (this script as /init, busybox, the programs and their libraries), boots it
	root=$work/root.$1 && mkdir -p "$root/bin" "$root/sbin" "$root/lib" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/run"
	: >"$root/modules" && cp "$0" "$root/init" && ln -s busybox "$root/bin/sh"
	if [ "$1" = ppc ]; then # all built in; no overlays: `run --kernel` binds the probe script over this
		kernel=$vmdir/vmlinux && touch "$root/sbin/check_scsi_devfile.sh" && cp "$vmdir/busybox" "$root/bin/"
		for f in "$ppc/ostrasim" "$ppc/ostrautil"; do
			cp "$f" "$root/bin/"
			for l in $(powerpc-linux-gnu-readelf -d "$f" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do cp -L "/usr/powerpc-linux-gnu/lib/$l" "$root/lib/"; done
		done
		set -- qemu-system-ppc -M ppce500 -cpu e500mc
	else
		modules "$kdir" "$root" fuse cuse overlay ahci sg sd_mod
		kernel=$(ls "$kdir"/boot/vmlinuz-*) && cp /bin/busybox "$root/bin/"
		mkdir -p "$root/lib/ostrasim" && cp "$build/libostrasim.so" "$root/lib/ostrasim/" # the preload front end
		cp "$build/libsgio_standin.so" "$root/lib/"
		for f in "$build/ostrasim" "$build/ostrautil" "$(command -v smartctl)" "$(command -v hdparm)" "$build/libostrasim.so" "$build/libsgio_standin.so"; do
			[ "${f%.so}" = "$f" ] && cp "$f" "$root/bin/"
			ldd "$f" 2>/dev/null | grep -o '/[^ ]*' | xargs -r -I{} cp -L --parents {} "$root/" || true
		done
		set -- qemu-system-x86_64 -accel tcg -smp 1 # KVM here is often unusable; TCG boots it in seconds
	fi
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$root.gz"
	timeout 900 "$@" -m 512 -nographic -no-reboot -kernel "$kernel" -initrd "$root.gz" -append "console=ttyS0 quiet panic=-1 mitigations=off" \
		-device ahci,id=ahci $drives </dev/null 2>&1 | tr -d '\r' | grep -v '^\[' || true
}
vm x86_64 | tee "$work/x86_64" | sed "/^=== .* begin\$/,/^=== .* end\$/d" && echo "x86_64 VM: $(($(date +%s) - start)) s"
result=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/x86_64" | tail -1 | grep . || echo "0 passed, 1 failed")
pass=${result%% *} fail=$(echo "${result#* passed, }" | cut -d' ' -f1)
if [ ! -x "$ppc/ostrasim" ]; then
	echo "SKIPPED: the PowerPC VM: no PowerPC ostrasim ($ppc)" && skipped=1
else
	t=$(date +%s) && { vm ppc >"$work/ppc" || true; } && echo "PowerPC VM: $(($(date +%s) - t)) s"
	part() { sed -n "/^=== $1 begin\$/,/^=== $1 end\$/p" "$work/$2"; } # DISK ARCH
	# each disk's reports read through the big-endian kernel must be the x86_64's;
	# the identify texts are byte strings (the kernel's own identify hands them
	# out so on both), so that their words, read in the PowerPC's byte order,
	# are the x86_64's byte-swapped: swapped back here
	for d in $(echo "$disks" | cut -d' ' -f1); do
		part $d x86_64 >"$work/want"
		part $d ppc | awk '/^id\[/ { b = substr($1, 4, 3) + 0; for (i = 2; i <= 9; i++) { k = b + i - 2
			if ((k >= 10 && k < 20) || (k >= 23 && k < 47)) $i = "0x" substr($i, 5, 2) substr($i, 3, 2) } } 1' >"$work/got"
		if [ -s "$work/want" ] && diff -u "$work/want" "$work/got"; then pass=$((pass + 1)); else
			fail=$((fail + 1)) && echo "FAIL $d: the PowerPC VM's reports differ from the x86_64 VM's" && sed -n '/vm up/,$p' "$work/ppc"
		fi
	done
fi
# QEMU's disk and the simulated drive: the same status and error registers
# (the count where the command answers in it), valid checksums, and the
# identify fields both define
qemu=$(python3 - "$work/x86_64" <<-'EOF'
	import json, re, sys
	con = open(sys.argv[1]).read()
	def parts(b):
	    lines = [json.loads(t) for t in re.search(f'=== {b} trace begin\\n(.*?)=== {b} trace end', con, re.S).group(1).splitlines()]
	    # status bits 4, 2, 1 are obsolete (seek complete, ...) or command dependent
	    # the count of CHECK POWER MODE and the LBA of SMART RETURN STATUS are answers too
	    regs = [(c, f, n if c == 'e5' else l if (c, f) == ('b0', 'da') else '', int(st, 16) & 0xE9, e)
	            for t in lines for a in t.get('ata', [])
	            for c, f, n, l, st, e in re.findall(r'command (..) features (..) count (....) lba (\w+) .*status (..) error (..)', a)]
	    pages = {t['request']: bytes.fromhex(t['after']) for t in lines if t.get('request') in ('ZTOSTRA_GET_IDENTDATA', 'ZTOSTRA_GET_SMARTATTR', 'ZTOSTRA_GET_SMARTTHRS')}
	    w = [int.from_bytes(pages['ZTOSTRA_GET_IDENTDATA'][2 * k:2 * k + 2], 'little') for k in range(256)]
	    checks = {'attribute page checksum': sum(pages['ZTOSTRA_GET_SMARTATTR']) % 256 == 0,
	              'threshold page checksum': sum(pages['ZTOSTRA_GET_SMARTTHRS']) % 256 == 0,
	              'identify: an ATA device (word 0 bit 15 clear)': w[0] >> 15 == 0,
	              'identify: LBA (word 49 bit 9)': w[49] >> 9 & 1 == 1,
	              'identify: 48-bit (word 83 bit 10) and its sectors (100-103)': w[83] >> 10 & 1 == (sum(w[100:104]) != 0),
	              'identify: 28-bit sectors (60-61) as the 48-bit count allows': w[60] | w[61] << 16 == min(sum(w[100 + k] << 16 * k for k in range(4)), 0x0FFFFFFF),
	              'identify: SMART supported and enabled (words 82, 85 bit 0)': w[82] & w[85] & 1 == 1,
	              'identify: integrity word (255)': w[255] & 0xFF != 0xA5 or sum(pages['ZTOSTRA_GET_IDENTDATA'][:512]) % 256 == 0}
	    return regs, checks
	(qr, qc), (sr, sc) = parts('q'), parts('s')
	bad = [f'{k}: QEMU {qc[k]}, simulated {sc[k]}' for k in qc if not (qc[k] and sc[k])]
	# QEMU's disk keeps no power mode: it answers CHECK POWER MODE "active" (FFh)
	# in stand-by too, where the simulated drive answers 00h as the standard has it
	known = (('e5', '00', '00ff', 0x40, '00'), ('e5', '00', '0000', 0x40, '00'))
	bad += [f'QEMU {q}, simulated {s}' for q, s in zip(qr, sr) if q != s and (q, s) != known]
	bad += [f'{len(qr)} and {len(sr)} commands'] if len(qr) != len(sr) or len(qr) < 9 else []
	print('QEMU and the simulated drive: ' + ('agree' if not bad else 'FAIL ' + '; '.join(bad)))
	EOF
)
echo "$qemu"
[ "$qemu" = "QEMU and the simulated drive: agree" ] && pass=$((pass + 1)) || fail=$((fail + 1))
# the images: sda's partition 5 holds the pattern, every other byte is as made
image=$(python3 - "$work" $OW_START $OW_SECTORS $OW_FIXDATA <<-'EOF'
	import sys
	work, start, sectors, fix = sys.argv[1], int(sys.argv[2]) * 512, int(sys.argv[3]) * 512, sys.argv[4]
	a, b = (open(f'{work}/sda.{x}', 'rb').read() for x in ('orig', 'img'))
	bad = [what for what, ok in (('outside partition 5', a[:start] + a[start + sectors:] == b[:start] + b[start + sectors:]),
	                              ('partition 5', b[start:start + sectors] == bytes.fromhex(fix) * (sectors // 2)),
	                              ('sdb', open(f'{work}/sdb.img', 'rb').read() == open(f'{work}/sdb.orig', 'rb').read())) if not ok]
	print('images: ' + ('as expected' if not bad else 'FAIL ' + ', '.join(bad)))
	EOF
)
echo "$image"
[ "$image" = "images: as expected" ] && pass=$((pass + 1)) || fail=$((fail + 1))
echo "vm-sata time: $(($(date +%s) - start)) s"
echo "$pass passed, $fail failed${skipped:+, 1 skipped}"
[ "$fail" = 0 ]
