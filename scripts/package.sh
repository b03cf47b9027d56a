#!/usr/bin/env bash
# Makes one Debian package from a build's install component:
#   ostrautil  the board's package from the PowerPC build (build/ppc); from
#              the native build (build/native) the PC's, to run under ostrasim
#   ostrasim   developers' machines, from the native build (build/native),
#              with the PowerPC build's preload library
#   ztostra-dkms  the driver's sources for DKMS (any build directory), by
#              dpkg-buildpackage with contrib/debian/rules; libahci's ahci.h
#              from the cache of scripts/kmod.sh
# Descriptions, changelog, copyright and lintian overrides: contrib/debian.
# usage: scripts/package.sh ostrautil|ostrasim|ztostra-dkms BUILD_DIR  (the .deb lands in BUILD_DIR)
set -euo pipefail
pkg=$1
build=$(realpath "$2")
src=$(cd "$(dirname "$0")/.." && pwd)
if [ "$pkg" = ztostra-dkms ]; then
  work=$build/dkms && rm -rf "$work" && mkdir -p "$work/src/kmod" "$work/src/doc"
  cp -r "$src/contrib/debian" "$work/src/" && cp "$src/doc/ztostra.4" "$work/src/doc/"
  cp "$src"/kmod/Kbuild "$src"/kmod/*.[ch] "$src/middleware/osl/osl_mdev/inc/ata.h" \
     "$("$src/scripts/kmod.sh" --source)/ahci.h" "$work/src/kmod/"
  (cd "$work/src" && dpkg-buildpackage -A -us -uc >../build.log 2>&1) || { cat "$work/build.log" >&2; exit 1; }
  deb=$(ls "$work"/ztostra-dkms_*_all.deb) && mv "$deb" "$build/" && echo "$build/${deb##*/}"
  exit 0
fi
case $pkg in
ostrautil) arch=$(file -b "$build/ostrautil" | grep -q PowerPC && echo powerpc || dpkg --print-architecture) ;;
ostrasim) arch=amd64 ;;
*) echo "usage: $0 ostrautil|ostrasim|ztostra-dkms BUILD_DIR" >&2 && exit 2 ;;
esac
work=$build/deb
root=$work/debian/$pkg
rm -rf "$work"
mkdir -p "$work/debian" "$root/DEBIAN"
ln -s "$src/contrib/debian/control" "$src/contrib/debian/changelog" "$work/debian/"
DESTDIR=$root cmake --install "$build" --prefix /usr --component "$pkg" >/dev/null

# stripped as Debian strips; the host's own binaries get their dependencies
native=()
while IFS= read -r f; do
  case $(file -b "$f") in
  ELF*PowerPC*) powerpc-linux-gnu-strip -R .comment -R .note --strip-unneeded "$f"
                [ $arch = powerpc ] && native+=("$f") ;;
  ELF*) strip -R .comment -R .note --strip-unneeded "$f" && native+=("$f") ;;
  esac
done < <(find "$root/usr" -type f)
find "$root/usr/share/man" -type f -exec gzip -9n {} +
doc=$root/usr/share/doc/$pkg
install -d "$doc"
install -m 644 "$src/contrib/debian/copyright" "$doc/"
gzip -9nc "$src/contrib/debian/changelog" >"$doc/changelog.gz"
if [ -f "$src/contrib/debian/$pkg.lintian-overrides" ]; then
  install -D -m 644 "$src/contrib/debian/$pkg.lintian-overrides" "$root/usr/share/lintian/overrides/$pkg"
fi

cd "$work"
export DEB_HOST_ARCH=$arch
if [ $arch = powerpc ]; then
  # the board's C library as the cross tools carry it; its shlibs name the
  # package with the architecture (libc6:powerpc), which is libc6 on the board
  dpkg-shlibdeps -Tdebian/$pkg.substvars -l/usr/powerpc-linux-gnu/lib "${native[@]#"$work/"}"
  sed -i 's/:powerpc\b//g' debian/$pkg.substvars
else
  dpkg-shlibdeps -Tdebian/$pkg.substvars "${native[@]#"$work/"}"
fi
dpkg-gencontrol -p"$pkg" -P"debian/$pkg" -Tdebian/$pkg.substvars
(cd "$root" && find usr -type f -exec md5sum {} + | sort -k2 >DEBIAN/md5sums)
dpkg-deb --root-owner-group -Zxz --build "$root" "$build" >/dev/null
echo "$build/${pkg}_$(dpkg-parsechangelog -l debian/changelog -S Version)_$arch.deb"
