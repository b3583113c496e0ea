#!/usr/bin/env bash
# Sets up and builds what the program needs (scripts/setup.sh --program), then starts it.
# On the first run with a build folder it first puts the two sample phones into the devices
# folder when that folder holds no phones (see the README); --sample-phones puts them there
# again (into a devices folder without phones), --no-sample-phones leaves them out.
# Usage: scripts/run-app.sh [--sample-phones | --no-sample-phones] [build-dir]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
samples=first-run
args=()
for arg in "$@"; do
    case "$arg" in
        --sample-phones) samples=yes ;;
        --no-sample-phones) samples=no ;;
        *) args+=("$arg") ;;
    esac
done
build=${args[0]:-"$here/build"}
"$here/scripts/setup.sh" --program "$build"

# Offered once per build folder, so that phones the user removed do not come back.
offered="$build/.sample-phones-offered"
tool="$build/app/quillmarrow-sample-phones"
case "$samples" in
    yes) "$tool" && touch "$offered" || true ;;
    first-run) [ -e "$offered" ] || { "$tool" --if-empty && touch "$offered" || true; } ;;
    no) touch "$offered" ;;
esac
exec "$build/app/quillmarrow-threadkeeper"
