#!/usr/bin/env bash
# Screenshots of the Windows test console as a Windows user sees it: Wine with its X11 display
# driver on a private Xvfb, at 100% and at 150% scaling. Run inside a loopback-only network
# namespace (tests/isolated.sh --loopback-only), after the mingw build.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/mingw/tests
console=build/mingw/varnix-console.exe
[ -x "$console" ] || { echo "build the mingw preset first" >&2; exit 1; }

# Said on standard output too, which is what a CI log keeps.
fail() { echo "screenshots: $*"; echo "screenshots: $*" >&2; exit 1; }

# Xvfb picks a free display and names it once it accepts clients.
number=$(mktemp)
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
server=$!
source scripts/wine-env.sh
trap 'wine_env_cleanup; kill $server 2>/dev/null; rm -f "$number"' EXIT
for _ in $(seq 100); do [ -s "$number" ] && break; sleep 0.1; done
[ -s "$number" ] || fail "Xvfb did not start"
export DISPLAY=":$(cat "$number")"

message="$WINEPREFIX/message.txt"
printf 'xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\nsource=acme.tester.pc2\ntarget=qel.Process.PC1\n}\nProcess.Control\n{\nAction=start\nPath=C:\\Program Files\\Editor\\editor.exe\n}\n' > "$message"

reg_add() { wine_quiet wine reg add "$@" /f || fail "wine reg add $1 failed"; }

for scale in 100 150; do
  dpi=$((96 * scale / 100))
  wine_end_server
  reg_add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11
  reg_add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi"
  reg_add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d "$dpi"
  wine_end_server
  wine "$console" "$message" >/dev/null 2>&1 &
  shown_by=$!
  shown=""
  # Read whole before grep looks: grep -q stops reading early, which pipefail would count as a
  # failure of the whole test. A cold Wine prefix can take a while to show its first window.
  for _ in $(seq 300); do
    tree=$(xwininfo -root -tree 2>/dev/null || true)
    if grep -q '"Xap Protocol Test"' <<<"$tree"; then shown=yes; break; fi
    kill -0 $shown_by 2>/dev/null || fail "the console ended before it showed at ${scale}%"
    sleep 0.2
  done
  [ -n "$shown" ] || fail "the console did not show within 60 s at ${scale}%"
  sleep 2  # drawn
  xwd -root -silent -out "$out/console-screenshot-wine-$scale.xwd"
  convert "$out/console-screenshot-wine-$scale.xwd" -trim "$out/console-screenshot-wine-$scale.png"
  rm -f "$out/console-screenshot-wine-$scale.xwd"
  wine_end_server
  wait "$shown_by" || true
  echo "$out/console-screenshot-wine-$scale.png"
done
