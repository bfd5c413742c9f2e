#!/usr/bin/env bash
# The hub as a Windows service under Wine: registered to start with the computer, started,
# stopped with its state kept in the computer's data folder, and removed.
set -euo pipefail
hub=$1
key='HKLM\System\CurrentControlSet\Services\varnix-hub'

state() { wine sc query varnix-hub 2>/dev/null | tr -d '\r' | awk '/STATE/ { print $4 }'; }
wait_for() {
  for _ in $(seq 150); do
    [ "$(state)" = "$1" ] && return 0
    sleep 0.2
  done
  echo "the service is not $1 but '$(state)'"
  exit 1
}

wine "$hub" --install-service --max-clients 5
wait_for RUNNING
registry=$(wine reg query "$key" 2>/dev/null | tr -d '\r')
grep -Eq 'Start\s+REG_DWORD\s+0x2$' <<<"$registry" || { echo "not started at boot: $registry"; exit 1; }
grep -q -- '--service --max-clients 5' <<<"$registry" || { echo "options lost: $registry"; exit 1; }
again=$(wine "$hub" --install-service 2>&1 | tr -d '\r') && { echo "installed twice"; exit 1; }
grep -q "runs already" <<<"$again" || { echo "a second installation says: $again"; exit 1; }

wine sc stop varnix-hub >/dev/null
wait_for STOPPED
state_file="$WINEPREFIX/drive_c/ProgramData/Varnix/hub-clients.txt"
[ -f "$state_file" ] || { echo "no state file at $state_file"; exit 1; }

wine "$hub" --remove-service
[ -z "$(state)" ] || { echo "still listed after removal"; exit 1; }

# With the port taken by a hub started by hand, the installation is no success: it says that
# the service stopped, and why, as the hub by hand would.
wine "$hub" >/dev/null 2>&1 &
for _ in $(seq 50); do
  ss -Hlun 'sport = :3639' | grep -q . && break
  sleep 0.2
done
status=0
said=$(wine "$hub" --install-service 2>&1 | tr -d '\r') || status=$?
# Installed again after that, it says how to start the service it left, or remove it.
again=$(wine "$hub" --install-service 2>&1 | tr -d '\r') || true
wine taskkill /F /IM varnix-hub.exe >/dev/null 2>&1 || true
wine "$hub" --remove-service >/dev/null 2>&1 || true
grep -q 'sc start varnix-hub' <<<"$again" || { echo "no way on after a failed install: $again"; exit 1; }
[ "$status" = 1 ] || { echo "installed with the port taken, status $status: $said"; exit 1; }
grep -q "but it stopped at once" <<<"$said" || { echo "no word of the stop: $said"; exit 1; }
grep -q "cannot listen on UDP port 3639" <<<"$said" || { echo "no cause: $said"; exit 1; }
echo "the hub service: registered, started, stopped, removed; a taken port said"
