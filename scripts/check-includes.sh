#!/usr/bin/env bash
# Fails when an include under src/ climbs a floor: each folder may include its own floor and
# the floors below it, never one above. Prints every include between folders with its verdict.
set -euo pipefail
cd "$(dirname "$0")/.."

floor() {
  case "$1" in
    platform) echo 0 ;;
    core) echo 1 ;;
    xap | computer) echo 2 ;;
    settings) echo 3 ;;  # the access rules check signatures, which the xAP floor makes
    supervision) echo 4 ;;
    node) echo 5 ;;
    hub | ctl | gateway | relay | testconsole) echo 6 ;;  # programs beside the node, on the floors below
    *) echo "unknown" ;;
  esac
}

status=0
while IFS=: read -r file _ line; do
  from=$(echo "$file" | cut -d/ -f2)
  to=$(echo "$line" | sed -E 's/^#include "([a-z_]+)\/.*/\1/')
  [ "$from" = "$to" ] && continue
  from_floor=$(floor "$from")
  to_floor=$(floor "$to")
  if [ "$from_floor" = unknown ] || [ "$to_floor" = unknown ]; then
    echo "unknown folder: $file includes $to"
    status=1
  elif [ "$to_floor" -gt "$from_floor" ] || [ "$to_floor" -ge 5 ]; then
    # The node and the programs beside it are tops: nothing includes them.
    echo "climbs: $file ($from, floor $from_floor) includes $to (floor $to_floor)"
    status=1
  fi
done < <(grep -rn --include='*.h' --include='*.cc' -E '^#include "[a-z_]+/' src | grep -v '_test\.cc:')

if [ "$status" = 0 ]; then echo "includes: every one runs down or across a floor"; fi
exit "$status"
