#!/usr/bin/env bash
# The package as a site gets it: builds the .deb from a built receiver, runs lintian on it,
# unpacks it into a scratch folder, runs the unpacked program with the shipped configuration
# pointed at scratch folders, uploads a file to it, and verifies the systemd unit.
#   check-deb.sh BINARY
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
packaging=$(dirname "$here")
binary=$1
fail() { echo "check-deb: $*" >&2; exit 1; }
for tool in lintian dpkg-deb systemd-analyze python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing (make deps installs it)"
done

scratch=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== build"
deb=$(bash "$packaging/build-deb.sh" "$binary" "$scratch/out")
echo "$deb"

echo "== lintian"
status=0
report=$(lintian --fail-on error --display-info "$deb" 2>&1) || status=$?
# CI runs as root, which lintian only warns about.
grep -v 'running with root privileges' <<<"$report" || true
[ "$status" -eq 0 ] || fail "lintian reports errors"

echo "== unpacked program"
pkg=$scratch/pkg
dpkg-deb -x "$deb" "$pkg"
prog=$pkg/usr/sbin/ovreceiver
"$prog" --version | grep -qx "ovreceiver $(dpkg-deb -f "$deb" Version)" || fail "--version differs from the package's version"

# The shipped configuration with its paths moved into the scratch folder.
site=$scratch/site
mkdir -p "$site"
sed -e "s|/var/lib/ovreceiver|$site/root|g" -e "s|/var/log/ovreceiver|$site/log|g" \
    -e "s|/etc/ovreceiver|$site/etc|g" "$pkg/etc/ovreceiver/ovreceiver.conf" > "$site/ovreceiver.conf"
grep -q "$site" "$site/ovreceiver.conf" || fail "the shipped configuration names none of the package's folders"
mkdir -p "$site/log" "$site/etc"
printf 'pass word\n' | "$prog" passwd "$site/etc/users" alice 2>/dev/null
# A throwaway certificate where the operator puts the real one.
mkdir -p "$site/etc/tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
  -keyout "$site/etc/tls/key.pem" -out "$site/etc/tls/cert.pem" 2>/dev/null
grep -q '^alice:\$y\$' "$site/etc/users" || fail "passwd wrote no hash"

echo "== start with the shipped configuration"
mkfifo "$scratch/ready"
# The command line overrides the file: a free loopback port for the check.
"$prog" --config "$site/ovreceiver.conf" --port 0 --bind 127.0.0.1 > "$scratch/ready" 2> "$scratch/stderr" &
pid=$!
read -r -t 20 ready < "$scratch/ready" || { cat "$scratch/stderr" >&2; fail "no ready line"; }
echo "$ready"
port=$(sed -n 's/.*upload=\([0-9]*\).*/\1/p' <<<"$ready")

echo "== upload"
head -c 300000 /dev/urandom > "$scratch/file"
python3 "$here/ovt-upload.py" --tls "$site/etc/tls/cert.pem" 127.0.0.1 "$port" alice 'pass word' "$scratch/file" "check/file.bin"
cmp "$scratch/file" "$site/root/check/file.bin" || fail "the uploaded file differs"
grep -q "^FILE	alice	300000	.*	check/file.bin$" "$site/log/received.log" || fail "no FILE line in the log"
kill -TERM "$pid"
wait "$pid" || fail "the receiver did not stop cleanly"
pid=

echo "== systemd unit"
# Verified as installed, with the unpacked program and man page standing in for theirs.
unit=$scratch/unit/ovreceiver.service
mkdir -p "$(dirname "$unit")"
sed "s|/usr/sbin/ovreceiver|$prog|g" "$pkg/lib/systemd/system/ovreceiver.service" > "$unit"
MANPATH=$pkg/usr/share/man systemd-analyze verify "$unit" || fail "systemd-analyze verify failed"
systemd-analyze security --offline=true "$unit" 2>/dev/null | tail -1 || true
echo "package check passed"
