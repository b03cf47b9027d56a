# Sourced by the VM benches.  modules KDIR ROOT NAME...: the kernel modules
# NAME of the unpacked kernel package KDIR, after those they depend on (none
# when built in), into ROOT/lib; their load order in ROOT/modules.
modules() {
	kdir=$1 mroot=$2
	shift 2
	for m in "$@"; do module "$m"; done
}
module() {
	local f d
	f=$(find "$kdir/lib/modules" -name "$1.ko*" | head -1)
	[ -n "$f" ] && ! grep -qx "$1" "$mroot/modules" || return 0
	for d in $(strings "$f" | sed -n 's/^depends=//p' | tr , ' '); do module "$d"; done
	case $f in *.xz) xz -dc "$f" ;; *.zst) zstd -dc "$f" ;; *) cat "$f" ;; esac >"$mroot/lib/$1.ko"
	echo "$1" >>"$mroot/modules"
}
