#!/usr/bin/env bash
# Installs what is missing, builds, and starts the service on its defaults: plotspool.ini and
# plotspool.log beside the executable in build/, transfer root /tmp/plotspool/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD_TARGETS="plotspool plotspool-sample" scripts/build.sh
exec build/plotspool
