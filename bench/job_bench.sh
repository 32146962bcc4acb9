#!/usr/bin/env bash
# Runs bench/job_bench.cc against a private print server with one capture queue.
# Usage: bench/job_bench.sh [PAPER DPI KIND]   (build first: scripts/build.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(mktemp -d /tmp/plotspool-cups-XXXXXX)
chmod 755 "$dir"
port=$((20000 + RANDOM % 20000))
trap 'scripts/cups-rig.sh stop "$dir" >/dev/null 2>&1 || true' EXIT
scripts/cups-rig.sh start "$dir" "$port" >/dev/null
scripts/cups-rig.sh add-capture "$dir" plotter "Large Format" >/dev/null
CUPS_SERVER=127.0.0.1:$port build/job_bench plotter "$@"
