#!/usr/bin/env bash
# The certificates of the TLS tests, in DIR: a throwaway authority that the tests trust in
# their prefix, the receiver's certificate for localhost and 127.0.0.1, and the bad ones a
# relay may present: issued for another name, carrying the address only as a DNS entry,
# expired, and one from an authority nobody trusts. Made once per test run.
# usage: test_authority.sh DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dir=$(realpath -m "$1")
# One run of the suite makes them; parallel tests then only read.
if [ -f "$dir/ready" ] && [ -n "$(find "$dir/ready" -mmin -600)" ]; then exit 0; fi
rm -rf "$dir"
bash "$here/../../cmake/tls-authority.sh" "$dir" localhost 127.0.0.1
cd "$dir"
sign() {
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$1.key" -out "$1.csr" >/dev/null 2>&1
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 30 -extfile "$1.ext" \
    -out "$1.pem" >/dev/null 2>&1
  rm -f "$1.csr" "$1.ext"
}
sign other-name "DNS:uploads.example.net,IP:10.9.9.9" ca
sign address-as-dns "DNS:localhost,DNS:127.0.0.1" ca
# An authority of the relay's own, trusted nowhere.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=relay authority" \
  -addext "basicConstraints=critical,CA:TRUE" -keyout rogue-ca.key -out rogue-ca.pem >/dev/null 2>&1
sign rogue "DNS:localhost,IP:127.0.0.1" rogue-ca
cat rogue-ca.pem >>rogue.pem  # the relay presents its whole chain
# Expired: valid for a day a year ago, signed by the trusted authority.
mkdir -p expired-ca/new
: >expired-ca/index.txt
cat >expired-ca/ca.cnf <<CNF
[ca]
default_ca = expired
[expired]
dir = $dir/expired-ca
database = \$dir/index.txt
new_certs_dir = \$dir/new
serial = \$dir/serial
certificate = $dir/ca.pem
private_key = $dir/ca.key
default_md = sha256
policy = anything
copy_extensions = none
x509_extensions = server
[anything]
commonName = supplied
[server]
subjectAltName = DNS:localhost,IP:127.0.0.1
extendedKeyUsage = serverAuth
CNF
echo 01 >expired-ca/serial
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout expired.key -out expired.csr >/dev/null 2>&1
start=$(date -u -d '-400 days' +%Y%m%d%H%M%SZ) end=$(date -u -d '-399 days' +%Y%m%d%H%M%SZ)
openssl ca -batch -config expired-ca/ca.cnf -in expired.csr -out expired.pem -startdate "$start" -enddate "$end" \
  -notext >/dev/null 2>&1
rm -rf expired.csr expired-ca
chmod 600 ./*.key
touch ready
