#!/bin/sh
# The kernel path in a throwaway VM: every command line below runs here through
# the preload library, then in a Linux VM (Debian's kernel, busybox) through
# `ostrasim serve` and `run --kernel`, by turns with the dynamic and the static
# program; standard output, exit status, report files and trace must be
# identical (the readable trace too). ARCH=ppc: the board's own kind of Linux
# (32-bit big-endian PowerPC, kernel and busybox of scripts/ppc-vm.sh) with
# the PowerPC build (PPC_BUILD, default build/ppc), against the host's runs of
# the PowerPC program under qemu-ppc.
# Usage: [ARCH=ppc] tests/vm-bench.sh [BUILD_DIR]; ends with "N passed, N failed" (77: skipped).
# The VM runs this same script as its /init.
set -eu

# boards: NAME PRESET [statement on the description b]; every overwrite answers
# fixed progress counts and never runs, so that no answer depends on the time
boards="default default
two two
ssd ssd
fault default b['faults']=[{'node':'sda5','request':'ZTOSTRA_GET_SMARTATTR','errno':5},{'node':'sda','request':'open','errno':13,'times':1}]
nonode default b['drives']['sda']['nodes']=['sda']
noprobe two b['probe']={'sda':1}"

# command lines, BOARD ARGS...: in this order, each board keeping its state
cases="default 51 sda
default 53 sda
default 52 sda
default identify /dev/sda
default rotational sda
default 21 sda LL=1 LH=2 HL=3 HH=4
default 22 sda
default 23 sda LL=1 LH=2 HL=3 HH=4 UA=5 UB=6 UC=7 UD=8
default 24 sda
default 31 sda 1 ffff 12345678 5
default 32 sda
default 40 sda
default 41 sda
default 42 sda
default 43 sda
default 44 sda 12345
default 45 sda 6789
default ff sda
default ow sda
default ow_set_total sda 3
default ow_clear /dev/sda
default pp sda 50
default psb sda 5
default read sda 0 fff 3
default uncwrite sda 0 1000
default read sda 0 ff0 2
default 46 sda
default hdflush /dev/sda
default hdstandbyimd /dev/sda
default regr /dev/sda
default regw /dev/sda
default intr /dev/sda
default hdsleep /dev/sda
default 51 sda
default 12 sda
default sleepin /dev/sda
default sleepout /dev/sda
default 13 sda
default 53 sda
default 99 sda
default read sda
default 31 sda -1 100
two 51 sda
two 53 sda
two 21 sda sdb LL=1 LH=0x2 HL=ffffffff HH=0
two 22 sda sdb
two 31 sdb -1
two 32 sdb
two ff sdb
two 12 sda
two 13 sda
two identify /dev/sdb
ssd 52 sda
ssd 51 sda
ssd 46 sda
ssd 52 sda
ssd rotational sda
ssd 46 sdb
fault 51 sda
fault 53 sda
fault pp sda 50
fault 40 sda
nonode pp sda 50
nonode 51 sda
nonode hdflush /dev/sda5
noprobe 51 sdb
noprobe 53 sda
noprobe identify /dev/sdb"

# one SIM MODE BOARD PROGRAM ARGS...: the result of one command line
one() {
	: >"$3/trace.jsonl"
	rm -f "$3"/tmp/*
	set +e
	"$1" run $2 "$3" -- "$4" $5 >"$3.out" 2>/dev/null
	echo "status $?"
	set -e
	cat "$3.out"
	for f in "$3"/tmp/*; do
		if [ -e "$f" ]; then echo "--- ${f##*/}" && cat "$f"; fi
	done
	# as stored, but for the lines only the preload library sees, and the
	# process ids and sequence numbers
	echo "--- trace"
	grep -v '"front":"preload"' "$3/trace.jsonl" >"$3.trace" || true
	sed 's/"pid":[0-9]*,//; s/,"seq":[0-9]*//; s/"program":"ostrautil-static"/"program":"ostrautil"/' "$3.trace"
	# read by each process's byte order (that of its run header)
	mv "$3.trace" "$3/trace.jsonl" && "$1" trace "$3" 2>&1 | sed 's/ostrautil-static/ostrautil/g'
}

# run_board SIM MODE BOARD PROGRAM [PROGRAM2]: the board's command lines (the
# even ones with PROGRAM2), each one's result beside the board as N (its line)
run_board() {
	echo "$cases" | awk -v b="${3##*/}" '$1 == b { sub(/^[^ ]+ /, ""); print NR, $0 }' |
		while read -r n args; do
			if [ $((n % 2)) = 0 ]; then p=${5:-$4}; else p=$4; fi
			one "$1" "$2" "$3" "$p" "$args" >"${3%/*}/$n"
		done
}

if [ "$$" = 1 ]; then # inside the VM
	/bin/busybox --install -s /bin
	echo "vm up"
	mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
	for m in $(cat /modules); do insmod "/lib/$m.ko"; done
	if [ "${1:-}" = check ]; then echo "vm ok" && poweroff -f; fi
	for b in $(ls /boards); do
		cp -r "/boards/$b" "/run/$b"
		: >/serve.log # not the previous board's "serving"
		ostrasim serve "/run/$b" >/serve.log 2>&1 &
		pid=$!
		while ! grep -q serving /serve.log && kill -0 $pid; do sleep 0.05; done
		run_board ostrasim --kernel "/run/$b" /bin/ostrautil /bin/ostrautil-static
		kill $pid && wait $pid || { echo "serve $b: $(cat /serve.log)" && echo "$b" >>/run/serve-failed; }
	done
	# the probe script logged into each board folder, nowhere else
	pass=0 fail=0
	for b in $(ls /boards); do [ -s "/run/$b/probe.log" ] || echo "$b" >>/run/probe-lost; done
	if [ ! -e /probe.log ] && [ ! -e /run/probe-lost ]; then pass=1; else
		fail=1 && echo "FAIL probe logs: $(ls /probe.log 2>&1) lost: $(cat /run/probe-lost 2>&1)"
	fi
	# serve reads the description again at every open: an added fault applies
	# to the next program; a description that cannot be used (a drive whose
	# host is a node it serves, which run accepts) leaves the one before in
	# force, and says so
	cp -r /boards/default /run/reload && : >/serve.log
	ostrasim serve /run/reload >/serve.log 2>&1 &
	pid=$!
	while ! grep -q serving /serve.log && kill -0 $pid; do sleep 0.05; done
	faulted() { ostrasim run --kernel /run/reload -- /bin/ostrautil 51 sda >/dev/null 2>&1; grep -c '"injected":[0-9]' /run/reload/trace.jsonl || true; }
	sed -i 's/"faults": \[\]/"faults": [{"request": "ZTOSTRA_GET_SMARTATTR"}]/' /run/reload/board.json
	got="$(faulted) $(sed -i 's|^\( *\)"sda": {$|\1"sda": {"host": "/dev/sda",|' /run/reload/board.json && faulted) $(grep -c '"op":"reload"' /run/reload/trace.jsonl || true)"
	kill $pid && wait $pid || true
	if [ "$got" = "1 2 1" ] && grep -q 'sda.host: resolves to /dev/sda, a node this server serves.*(kept the previous description)' /serve.log; then
		pass=$((pass + 1))
	else
		fail=$((fail + 1)) && echo "FAIL serve's reload: faults injected, then, reload lines: $got (want 1 2 1); $(cat /serve.log)"
	fi
	for f in /expected/*; do
		n=${f##*/}
		if diff -u "$f" "/run/$n" >/run/diff; then
			pass=$((pass + 1))
		else
			fail=$((fail + 1))
			echo "FAIL $(echo "$cases" | sed -n "${n}p") ($([ $((n % 2)) = 0 ] && echo static || echo dynamic) build)" && cat /run/diff
		fi
	done
	[ ! -e /run/serve-failed ] || fail=$((fail + $(wc -l </run/serve-failed)))
	echo "$pass passed, $fail failed"
	poweroff -f
fi

# --- on the host: the preload runs, the initramfs, the VM ------------------------
start=$(date +%s)
build=$(realpath "${1:-build/native}")
arch=${ARCH:-x86_64} bin=$build
if [ "$arch" = ppc ]; then
	bin=$(realpath "${PPC_BUILD:-build/ppc}")
	[ -x "$bin/ostrasim" ] || { echo "SKIPPED: no PowerPC ostrasim ($bin)" && exit 77; }
	vmdir=$("$(dirname "$0")/../scripts/ppc-vm.sh") || { echo "0 passed, 1 failed" && exit 1; }
fi
cache=${OSTRAUTIL_VM_CACHE:-/var/cache/ostrautil-vm}
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/lib" "$root/sbin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/run"
echo "$boards" | while read -r b preset edit; do
	"$build/ostrasim" init "$root/boards/$b" --preset "$preset"
	python3 -c "import json, sys; p = sys.argv[1]; b = json.load(open(p)); $edit
for d in b['drives'].values(): d['overwrite'] = dict(d.get('overwrite', {}), counts=[30, 60, 100]); d['overwrite'].pop('rate', None)
json.dump(b, open(p, 'w'), indent=1)" "$root/boards/$b/board.json"
	mkdir -p "$root/expected" && cp -r "$root/boards/$b" "$work/$b"
	run_board "$build/ostrasim" "" "$work/$b" "$bin/ostrautil"
done
mv "$work"/[0-9]* "$root/expected/"
# every command line must have started the program (a run header in its trace)
if grep -L '"op":"run"' "$root"/expected/* | grep -q .; then
	echo "the host runs did not start the program:" && grep -L '"op":"run"' "$root"/expected/*
	echo "0 passed, 1 failed" && exit 1
fi

if [ "$arch" = ppc ]; then # all built in: no modules
	kernel=$vmdir/vmlinux pkg="Linux 6.1 ppce500" && cp "$vmdir/busybox" "$root/bin/"
	: >"$root/modules"
	# no overlays in this kernel: `run --kernel` binds the board's probe script over this
	touch "$root/sbin/check_scsi_devfile.sh"
else # (the x86_64 VM)
# Debian's current kernel, unpacked into the cache (never installed)
kpkg() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-.*\)/\1/p' | head -1; }
pkg=$(kpkg || true)
[ -n "$pkg" ] || { apt-get update -qq && pkg=$(kpkg); }
if [ ! -d "$cache/$pkg" ]; then
	mkdir -p "$cache" && (cd "$cache" && apt-get download -q "$pkg" 2>/dev/null) ||
		{ echo "cannot fetch the kernel package $pkg" && echo "0 passed, 1 failed" && exit 1; }
	dpkg-deb -x "$cache/${pkg}"_*.deb "$cache/$pkg.tmp" && mv "$cache/$pkg.tmp" "$cache/$pkg"
fi
kernel=$(ls "$cache/$pkg"/boot/vmlinuz-*)
: >"$root/modules"
. "$(dirname "$0")/vm-modules.sh"
modules "$cache/$pkg" "$root" fuse cuse overlay
cp /bin/busybox "$root/bin/"
fi
cp "$0" "$root/init"
ln -s busybox "$root/bin/sh"
for f in ostrasim ostrautil ostrautil-static; do
	cp "$bin/$f" "$root/bin/"
	if [ "$arch" = ppc ]; then # its libraries (the loader ld.so.1 among them)
		for l in $(powerpc-linux-gnu-readelf -d "$bin/$f" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
			[ -e "$root/lib/$l" ] || cp -L "/usr/powerpc-linux-gnu/lib/$l" "$root/lib/"
		done
	else
		ldd "$bin/$f" 2>/dev/null | grep -o '/[^ ]*' | xargs -r -I{} cp -L --parents {} "$root/" || true
	fi
done
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

vm() { # ACCEL TIMEOUT ARGS: boots the VM, its console on standard output
	accel=$1 && shift
	if [ "$arch" = ppc ]; then
		timeout "$1" qemu-system-ppc -M ppce500 -cpu e500mc -m 512 -nographic -no-reboot \
			-kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS0 panic=-1 quiet $2" \
			</dev/null 2>&1 || true
		return
	fi
	timeout "$1" qemu-system-x86_64 -accel "$accel" $([ "$accel" = kvm ] && echo -cpu host) -smp 1 -m 512 \
		-nographic -no-reboot -kernel "$kernel" -initrd "$work/initrd.gz" \
		-append "console=ttyS0 quiet panic=-1 mitigations=off $2" </dev/null 2>&1 || true
}
accel=tcg
# KVM where asked for (OSTRAUTIL_VM_KVM=1) and it boots: a KVM guest here can
# hang in its firmware, and the probe alone costs up to 10 s
if [ "${OSTRAUTIL_VM_KVM:-}" = 1 ] && [ "$arch" = x86_64 ] && [ -w /dev/kvm ] && vm kvm 10 check | grep -q "vm ok"; then accel=kvm; fi
echo "host runs: $(($(date +%s) - start)) s; VM: $pkg, $accel, initramfs $(($(stat -c %s "$work/initrd.gz") / 1024)) KiB"
vm "$accel" 900 "" | tr -d '\r' | tee "$work/console" | sed -n '/vm up/,$p' | grep -v '^\[' || true
echo "bench time: $(($(date +%s) - start)) s"
result=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/console" || echo "0 passed, 1 failed")
echo "$result"
[ "${result#* passed, }" = "0 failed" ]
