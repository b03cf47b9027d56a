#!/usr/bin/env bash
# Installs the build into a staging root and packages it; checks that the
# program lands in /usr/sbin for the build's architecture, stripped, with its
# manual page, and that the Debian package's control file says so.
# usage: check-package.sh BUILD_DIR ARCH
set -euo pipefail
build=$1 arch=$2
stage=$build/stage
rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --prefix /usr --strip >/dev/null
test -x "$stage/usr/sbin/ostrautil"
test -f "$stage/usr/share/man/man8/ostrautil.8"
test -f "$stage/usr/share/bash-completion/completions/ostrautil"
file "$stage/usr/sbin/ostrautil" | grep -q 'stripped' 
file "$stage/usr/sbin/ostrautil" | grep -v -q 'not stripped'
(cd "$build" && rm -f ostrautil_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/ostrautil_*_"$arch".deb)
info=$(dpkg-deb --info "$deb")
contents=$(dpkg-deb --contents "$deb")
grep -q "Architecture: $arch" <<<"$info"
grep -q "Package: ostrautil" <<<"$info"
grep -q "Depends: libc6" <<<"$info"
grep -q '\./usr/sbin/ostrautil$' <<<"$contents"
grep -q '\./usr/share/man/man8/ostrautil.8' <<<"$contents"
echo "$deb: ok"
