#!/usr/bin/env bash
# Screenshots of the Windows test console as a Windows user sees it: Wine with its X11 display
# driver on a private Xvfb, at 100% and at 150% scaling. Run inside a loopback-only network
# namespace (tests/isolated.sh --loopback-only), after the mingw build.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/mingw/tests
console=build/mingw/varnix-console.exe
[ -x "$console" ] || { echo "build the mingw preset first" >&2; exit 1; }

display=":$((70 + $$ % 9))"
Xvfb "$display" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
source scripts/wine-env.sh
trap 'wine_env_cleanup; kill $server 2>/dev/null' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY="$display"

message="$WINEPREFIX/message.txt"
printf 'xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\nsource=acme.tester.pc2\ntarget=qel.Process.PC1\n}\nProcess.Control\n{\nAction=start\nPath=C:\\Program Files\\Editor\\editor.exe\n}\n' > "$message"

for scale in 100 150; do
  dpi=$((96 * scale / 100))
  wine_quiet wineserver -k || true
  wine_quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f
  wine_quiet wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f
  wine_quiet wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d "$dpi" /f
  wine_quiet wineserver -k || true
  wine "$console" "$message" >/dev/null 2>&1 &
  shown_by=$!
  shown=""
  for _ in $(seq 100); do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Xap Protocol Test"'; then shown=yes; break; fi
    sleep 0.2
  done
  [ -n "$shown" ] || { echo "the console did not show at ${scale}%" >&2; exit 1; }
  sleep 2  # drawn
  xwd -root -silent -out "$out/console-screenshot-wine-$scale.xwd"
  convert "$out/console-screenshot-wine-$scale.xwd" -trim "$out/console-screenshot-wine-$scale.png"
  rm -f "$out/console-screenshot-wine-$scale.xwd"
  wine_quiet wineserver -k || true
  wait "$shown_by" || true
  echo "$out/console-screenshot-wine-$scale.png"
done
