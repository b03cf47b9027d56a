#!/bin/sh
# libfuse3 for the PowerPC simulator: Debian's fuse3 source, cross-built as a
# static library with meson, cached outside the checkout. Prints the cache
# directory (include/, lib/libfuse3.a); exits 1 with the reason when it
# cannot be had.
# Usage: scripts/ppc-fuse3.sh [CACHE_DIR]
set -eu
cache=${1:-${OSTRAUTIL_PPC_FUSE3:-/var/cache/ostrautil-ppc-fuse3}}
if [ -e "$cache/lib/libfuse3.a" ]; then echo "$cache" && exit 0; fi
fail() { echo "ppc-fuse3: $*" >&2 && exit 1; }
command -v meson >/dev/null || fail "meson is missing"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source -qq fuse3 >/dev/null 2>&1 ||
	fail "apt-get source fuse3 failed (no source entry? scripts/install-deps.sh adds one)"
src=$(ls -d fuse3-*/)
cat >cross.txt <<'EOF'
[binaries]
c = 'powerpc-linux-gnu-gcc'
cpp = 'powerpc-linux-gnu-g++'
ar = 'powerpc-linux-gnu-ar'
strip = 'powerpc-linux-gnu-strip'
pkg-config = 'false'

[host_machine]
system = 'linux'
cpu_family = 'ppc'
cpu = 'ppc'
endian = 'big'
EOF
meson setup --cross-file cross.txt -Ddefault_library=static -Dexamples=false -Dutils=false \
	-Dtests=false -Duseroot=false --prefix=/ --libdir=lib "$src/build" "$src" >meson.log 2>&1 ||
	{ cat meson.log >&2 && fail "meson setup failed"; }
ninja -C "$src/build" -j2 >>meson.log 2>&1 || { tail -30 meson.log >&2 && fail "build failed"; }
DESTDIR="$work/out" meson install -C "$src/build" --no-rebuild >>meson.log 2>&1 ||
	{ tail -30 meson.log >&2 && fail "install failed"; }
mkdir -p "$(dirname "$cache")"
rm -rf "$cache.tmp" && cp -r "$work/out" "$cache.tmp" && mv "$cache.tmp" "$cache"
echo "$cache"
