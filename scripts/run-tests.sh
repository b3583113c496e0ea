#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs the whole test suite headless. Then it
# builds every target again with clang, the fuzz targets among them, in a build dir of their
# own (BUILD-fuzz), so that what only clang rejects cannot come in, and runs each fuzz target
# once over its committed corpus under a memory limit, so that neither they nor their crash
# and out-of-memory cases rot.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
"$here/scripts/setup.sh" "$build"
build=$(cd "$build" && pwd)
(cd "$build" && QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8 ctest --output-on-failure -j"$(nproc)")

fuzz="$build-fuzz"
CC=clang CXX=clang++ cmake -S "$here" -B "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQM_FUZZ=ON -DQM_WERROR=ON -DQM_BUILD_BENCH=ON
cmake --build "$fuzz" -j"$(nproc)"
cd "$fuzz"
ctest -L fuzz --output-on-failure -j"$(nproc)"
