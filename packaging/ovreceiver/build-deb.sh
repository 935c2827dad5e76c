#!/usr/bin/env bash
# Builds OUT_DIR/ovreceiver_<version>_<arch>.deb from a built receiver:
#   build-deb.sh BINARY OUT_DIR
# The version is the binary's own (--version) and must head the changelog here.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "build-deb: $*" >&2; exit 1; }
[ $# -eq 2 ] || fail "usage: build-deb.sh BINARY OUT_DIR"
binary=$1
out=$2

version=$("$binary" --version | sed -n 's/^ovreceiver //p')
[ -n "$version" ] || fail "$binary --version tells no version"
logged=$(sed -n '1s/^ovreceiver (\([^)]*\)).*/\1/p' "$here/changelog")
[ "$version" = "$logged" ] || fail "the binary is $version but the changelog's latest entry is $logged"
arch=$(dpkg --print-architecture)
# Reproducible: every time stamp is the changelog's latest date.
SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*>  //p' "$here/changelog" | head -1)" +%s)
export SOURCE_DATE_EPOCH

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg=$stage/debian/ovreceiver  # where dpkg-shlibdeps expects it
doc=$pkg/usr/share/doc/ovreceiver

install -D -m 0755 "$binary" "$pkg/usr/sbin/ovreceiver"
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$pkg/usr/sbin/ovreceiver"
install -D -m 0644 "$here/ovreceiver.service" "$pkg/lib/systemd/system/ovreceiver.service"
install -D -m 0644 "$here/ovreceiver.conf" "$pkg/etc/ovreceiver/ovreceiver.conf"
install -D -m 0644 "$here/ovreceiver.logrotate" "$pkg/etc/logrotate.d/ovreceiver"
install -D -m 0644 "$here/ovreceiver.8" "$pkg/usr/share/man/man8/ovreceiver.8"
install -D -m 0644 "$here/copyright" "$doc/copyright"
install -D -m 0644 "$here/changelog" "$doc/changelog"
gzip -9n "$pkg/usr/share/man/man8/ovreceiver.8" "$doc/changelog"

# Library dependencies as the binary links them.
mkdir -p "$pkg/DEBIAN"
printf 'Source: ovreceiver\n\nPackage: ovreceiver\nArchitecture: any\n' > "$stage/debian/control"
shlibs=$(cd "$stage" && dpkg-shlibdeps -O debian/ovreceiver/usr/sbin/ovreceiver | sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || fail "dpkg-shlibdeps found no dependencies"

install -m 0755 "$here/postinst" "$here/prerm" "$here/postrm" "$pkg/DEBIAN/"
printf '/etc/ovreceiver/ovreceiver.conf\n/etc/logrotate.d/ovreceiver\n' > "$pkg/DEBIAN/conffiles"
cat > "$pkg/DEBIAN/control" <<CONTROL
Package: ovreceiver
Version: $version
Architecture: $arch
Maintainer: ovtransfer maintainers <maintainers@users.noreply.c-seed-f2848fbb.example>
Installed-Size: $(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
Depends: $shlibs, adduser
Recommends: logrotate
Section: net
Priority: optional
Description: upload receiver of the media site's transfer control
 ovreceiver accepts the uploads of the site's Windows transfer control:
 resumable, checksummed file transfers (protocol OVT/1) over TCP or TLS,
 placed atomically below one folder, and the control's duration reports
 and stills over HTTP. Users log in with passwords stored as yescrypt
 hashes. The package runs it as a hardened systemd service with its own
 system user, reloads users, certificate and log on SIGHUP, and can serve
 Prometheus metrics.
CONTROL
(cd "$pkg" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
   xargs -0 md5sum) > "$pkg/DEBIAN/md5sums"
find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

mkdir -p "$out"
deb="$out/ovreceiver_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "$deb"
