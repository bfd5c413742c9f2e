#!/bin/sh
# Runs a program with DISPLAY set to a private Xvfb server, which ends with it.
# Xvfb picks a free display itself and names it once it accepts clients, so that a stale lock
# or a neighbour's server never stands in for ours.
number=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$number"' EXIT
for _ in $(seq 100); do
  [ -s "$number" ] && break
  kill -0 $server 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
[ -s "$number" ] || { echo "Xvfb did not start within 10 s" >&2; exit 1; }
DISPLAY=":$(cat "$number")" "$@"
