#!/usr/bin/env bash
# Makes a throwaway certificate authority in DIR (ca.pem, ca.key) and, signed by it, the
# receiver's certificate server.pem/server.key for each NAME (DNS names and IP addresses).
# Trust ca.pem in a Wine prefix only (never on the machine): it exists for tests and the demo.
# usage: tls-authority.sh DIR NAME...
set -euo pipefail
dir=$1
shift
mkdir -p "$dir"
cd "$dir"
san=""
for name in "$@"; do
  if [[ $name =~ ^[0-9.]+$ ]]; then san+="${san:+,}IP:$name"; else san+="${san:+,}DNS:$name"; fi
done
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=ovtransfer throwaway authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout ca.key -out ca.pem >/dev/null 2>&1
# sign NAME SAN [DAYS]: NAME.pem and NAME.key for the given subject alternative names.
sign() {
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$1.key" -out "$1.csr" >/dev/null 2>&1
  printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n' "$2" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days "${3:-30}" -extfile "$1.ext" \
    -out "$1.pem" >/dev/null 2>&1
  rm -f "$1.csr" "$1.ext"
}
sign server "$san"
chmod 600 ./*.key
