#!/usr/bin/env bash
# The kit's main job without hardware: builds the kit, then runs the demo,
# which prints the active handset's position.
set -euo pipefail
source "$(dirname "$0")/common.sh"
ensure_packages "${TAVRO_PACKAGES[@]}"
cd "$TAVRO_ROOT"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec build/tavro-demo
