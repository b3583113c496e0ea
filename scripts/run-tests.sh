#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the whole test suite headless.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
"$here/scripts/setup.sh" "$build"
cd "$build"
QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 ctest --output-on-failure -j"$(nproc)"
