#!/bin/sh
# Runs a program with DISPLAY set to a private Xvfb server, which ends with it.
display=":$((90 + $$ % 9))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null' EXIT
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.1
done
DISPLAY="$display" "$@"
