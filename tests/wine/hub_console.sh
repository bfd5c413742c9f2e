#!/usr/bin/env bash
# varnix-hub started by hand in a Windows console (Wine's, on a pseudo-terminal): it says what
# it is doing, with a path of any letters written as typed, once.
set -euo pipefail
hub=$1
mkdir -p "$WINEPREFIX/drive_c/Übung"
said=$(timeout 8 script -qec "wine '$hub' --state 'C:\\Übung\\Надзор.txt'" /dev/null 2>/dev/null |
  tr -d '\r' || true)
wine taskkill /F /IM varnix-hub.exe >/dev/null 2>&1 || true
expected='relaying xAP on UDP port 3639 to this computer'"'"'s programs, its list of them kept in C:\Übung\Надзор.txt; Ctrl-C ends it'
grep -qF "$expected" <<<"${said//$'\n'/}" || { echo "in the console: $said"; exit 1; }
[ "$(grep -o 'Übung' <<<"$said" | wc -l)" = 1 ] || { echo "the path more than once: $said"; exit 1; }
usage=$(script -qec "wine '$hub' -?" /dev/null | tr -d '\r')
grep -q "usage: varnix-hub" <<<"$usage" || { echo "no usage for -?: $usage"; exit 1; }
echo "varnix-hub in a console: what it does, its path as typed"
