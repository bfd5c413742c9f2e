#!/usr/bin/env bash
# Runs the native tests (debug: unit, desktop and system) again and again with both processors
# kept busy by stress-ng, as on a CI runner or a home server mid-backup; stops at the first
# failure. Usage: scripts/test-under-load.sh [ROUNDS], ten unless given.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-10}
scripts/install-deps.sh test
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$(nproc)"

# Bounded: stress-ng ends by itself after an hour, and with this script in any case.
stress-ng --cpu "$(nproc)" --timeout 3600s --quiet &
load=$!
trap 'kill "$load" 2>/dev/null; wait "$load" 2>/dev/null || true' EXIT

for round in $(seq 1 "$rounds"); do
  echo "=== round $round of $rounds, under load"
  if ! ctest --preset debug --output-on-failure; then
    echo "failed in round $round of $rounds under load"
    exit 1
  fi
done
echo "$rounds rounds passed under load"
