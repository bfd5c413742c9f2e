# Sourced by the test script: a throw-away, headless Wine prefix for running the Windows build.
# After sourcing, WINEPREFIX points at a fresh prefix and a persistent wineserver is running;
# call wine_env_cleanup when done.

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/varnix-wine.XXXXXX)
# Wine's own temporary folders go inside the prefix, so that the cleanup removes them too.
export TMPDIR="$WINEPREFIX/tmp"
mkdir -p "$TMPDIR"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree=;mshtml="

wine_quiet() { "$@" >/dev/null 2>&1 </dev/null; }
# Ends the prefix's wineserver and waits until it is gone: a wine started before then could
# still reach the dying server.
wine_end_server() {
  wine_quiet wineserver -k || true
  wine_quiet wineserver -w || true
}

# Make the prefix, then choose the display-less driver and no crash dialog.
wine_quiet wineboot -i
wine_quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
wine_quiet wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
# The desktop process started by the first boot used the old driver: start everything again.
wine_end_server
# A persistent server whose system processes start now, writing nowhere, so that none of
# them holds the test runner's pipes open later.
wine_quiet wineserver -p
wine_quiet wineboot

wine_env_cleanup() {
  wine_end_server
  rm -rf "$WINEPREFIX"
}
