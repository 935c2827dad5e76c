#!/usr/bin/env bash
# Starts (start) or stops (stop) the HTTPS server of the snapshot posts' TLS test in DIR,
# with a fresh certificate for localhost that the test trusts and one that it does not.
# usage: tls_fixture.sh start|stop DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dir=$2
case $1 in
  start)
    if [ -f "$dir/pid" ]; then kill "$(cat "$dir/pid")" 2>/dev/null || true; fi
    rm -rf "$dir"
    mkdir -p "$dir"
    for name in trusted untrusted; do
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
        -keyout "$dir/$name.key" -out "$dir/$name.pem" >/dev/null 2>&1
    done
    # Detached from CTest's output, so that CTest does not wait for the server.
    setsid python3 "$here/tls_server.py" "$dir" </dev/null >"$dir/server.log" 2>&1 &
    echo $! >"$dir/pid"
    for _ in $(seq 100); do
      [ -f "$dir/ports" ] && exit 0
      sleep 0.1
    done
    echo "the TLS server did not start:" >&2
    cat "$dir/server.log" >&2
    exit 1
    ;;
  stop)
    if [ -f "$dir/pid" ]; then kill "$(cat "$dir/pid")" 2>/dev/null || true; rm -f "$dir/pid"; fi
    ;;
esac
