#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then starts the program.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$here/build"}
"$here/scripts/setup.sh" "$build"
exec "$build/app/quillmarrow-threadkeeper"
