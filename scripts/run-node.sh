#!/usr/bin/env bash
# Builds the node in Release and runs it in the foreground (Ctrl-C ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release -DVARNIX_BENCH=OFF -DVARNIX_TESTS=OFF >/dev/null
cmake --build --preset release --target varnix -j "$(nproc)"
exec build/release/varnix
