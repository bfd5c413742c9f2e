#!/usr/bin/env bash
# varnixctl in a Windows console (Wine's, on a pseudo-terminal): what it writes shows as
# typed, and a character that the code page cannot carry is refused by name, not sent as "?".
set -euo pipefail
ctl=$1
in_console() { script -qec "wine '$ctl' $1" /dev/null | tr -d '\r'; }

refused=$(in_console "start 'C:\\Надзор\\Übung.exe'" || true)
expected='cannot send "C:\Надзор\Übung.exe": xAP messages leave this computer in its code page, and code page 1252 has no "Н" (U+041D); name the program by a path that code page holds'
grep -qF "$expected" <<<"${refused//$'\n'/}" || { echo "in the console: $refused"; exit 1; }
status=0
wine "$ctl" start 'C:\Надзор.exe' 2>/dev/null || status=$?
[ "$status" = 2 ] || { echo "refused with status $status, not 2"; exit 1; }
usage=$(in_console "/?")
grep -q "usage: varnixctl \[--node" <<<"$usage" || { echo "no usage for /?: $usage"; exit 1; }
echo "varnixctl in a console: characters as typed, the unsendable refused"
