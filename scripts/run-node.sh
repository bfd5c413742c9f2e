#!/usr/bin/env bash
# Builds the node, the hub, varnixctl and the gateway in Release and runs the node in the foreground, with a
# hub beside it when none listens on the xAP port yet (Ctrl-C ends both).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release -DVARNIX_BENCH=OFF -DVARNIX_TESTS=OFF >/dev/null
cmake --build --preset release --target varnix varnix-hub varnixctl varnix-gateway -j "$(nproc)"
hub=
build/release/varnix-hub &
hub=$!
# A node that looks before a hub holds port 3639 takes the port itself: wait until one holds it.
for _ in $(seq 50); do
  grep -qs '^ *[0-9]*: [0-9A-F]*:0E37 ' /proc/net/udp /proc/net/udp6 && break
  kill -0 "$hub" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$hub" 2>/dev/null; then
  hub=  # another hub holds UDP port 3639: the node uses that one
fi
trap '[ -z "$hub" ] || kill "$hub" 2>/dev/null' EXIT
echo "Varnix is starting. In another terminal: build/release/varnixctl start /bin/sleep 600, then build/release/varnixctl watch /bin/sleep"
build/release/varnix
