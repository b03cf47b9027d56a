#!/usr/bin/env bash
# Makes the build's Debian packages (ostrautil from either build, ostrasim
# and ztostra-dkms from the native one) and checks what each holds, its control file, and that
# lintian finds neither an error nor a warning in it.  With both, ostrasim(1)'s
# examples run as written in a root the two packages are unpacked into (all
# but the CUSE ones, which need the kernel module and root).
# usage: check-package.sh BUILD_DIR ostrautil|ostrasim|ztostra-dkms...
set -euo pipefail
build=$1 && shift
root=$(mktemp -d) && trap 'rm -rf "$root"' EXIT
debs=()
want() { grep -qxE -- "$1" <<<"$2" || { echo "$deb: no line '$1' in:"$'\n'"$2"; exit 1; }; }
for pkg in "$@"; do
  deb=$("$(dirname "$0")/../scripts/package.sh" "$pkg" "$build")
  info=$(dpkg-deb --field "$deb" Package Architecture Depends Recommends)
  files=$(dpkg-deb --contents "$deb" | awk '{ print $1, $6 }' | grep -v '/$')
  case $pkg in
  ostrautil)
    want "Architecture: $(file -b "$build/ostrautil" | grep -q PowerPC && echo powerpc || echo amd64)" "$info"
    want 'Depends: libc6 \(>= 2\.[0-9]+\)' "$info"
    for f in -rwxr-xr-x\ ./usr/sbin/ostrautil -rw-r--r--\ ./usr/share/man/man8/ostrautil.8.gz \
             -rw-r--r--\ ./usr/share/bash-completion/completions/ostrautil; do want "$f" "$files"; done ;;
  ostrasim)
    want 'Architecture: amd64' "$info"
    want 'Depends: libc6 \(>= 2\.[0-9]+\), libfuse3-3 \(>= [0-9.]+\), libgcc-s1 \(>= [0-9.]+\), libstdc\+\+6 \(>= [0-9]+\)' "$info"
    want 'Recommends: qemu-user, libc6-powerpc-cross' "$info"
    for f in -rwxr-xr-x\ ./usr/bin/ostrasim -rw-r--r--\ ./usr/lib/ostrasim/libostrasim.so \
             -rw-r--r--\ ./usr/lib/ostrasim/powerpc/libostrasim.so -rw-r--r--\ ./usr/share/man/man1/ostrasim.1.gz \
             -rw-r--r--\ ./usr/share/bash-completion/completions/ostrasim; do
      want "$f" "$files"
    done ;;
  ztostra-dkms)
    want 'Architecture: all' "$info" && want 'Depends: dkms \(>= [0-9.]+\)' "$info"
    for f in dkms.conf Kbuild ahci.h ata.h ztostra.h ztostra_core.c ztostra_core.h ztostra_host.c ztostra_ow.c ztostra_req.c; do
      want "-rw-r--r-- ./usr/src/ztostra-1.0.0/$f" "$files"
    done
    want '-rw-r--r-- ./usr/share/man/man4/ztostra.4.gz' "$files" ;;
  esac
  want "-rw-r--r-- ./usr/share/doc/$pkg/copyright" "$files"
  want "-rw-r--r-- ./usr/share/doc/$pkg/changelog.gz" "$files"
  dpkg-deb -x "$deb" "$root"
  debs+=("$deb")
done
# one lintian for all of them: its start costs more than a package's checks
lintian --info --fail-on error,warning "${debs[@]}" 2>&1 | { grep -v 'running with root privileges' || true; }
printf '%s: ok\n' "${debs[@]}"
[ -x "$root/usr/bin/ostrasim" ] && [ -x "$root/usr/sbin/ostrautil" ] || exit 0
# the examples, with the installed paths under the unpacked root
zcat "$root/usr/share/man/man1/ostrasim.1.gz" | sed -n '/^\.SH EXAMPLES/,/^\.SH/p' |
  sed -n '/^\.EX/,/^\.EE/{/^\./d;/^#/d;/serve\|kernel\|kill/d;s/\\-/-/g;p}' >"$root/examples"
(cd "$root" && PATH=$root/usr/bin:$PATH && sed "s|/usr/|$root/usr/|g" examples | bash -e >examples.out 2>&1) ||
  { echo "ostrasim(1) EXAMPLES failed:"; cat "$root/examples" "$root/examples.out"; exit 1; }
echo "ostrasim(1) EXAMPLES: $(wc -l <"$root/examples") lines run"
