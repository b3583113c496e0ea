#!/bin/bash
# Times the recovery of deleted rows from a large sms.db, whole process against whole
# process: ours (open, list the chats, scan for deleted handles and messages) beside the
# sqlite3 tool's ".recover" of the same file, which also reads every page, free ones too.
# Usage: run.sh BUILD_DIR [MB]   (BUILD_DIR: a build folder with the benchmarks built)
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR [MB]}
mb=${2:-100}
source "$(dirname "$0")/../timing.sh"
need sqlite3
generate="$build/bench/recovery/recovery_generate"
bench="$build/bench/recovery/recovery_bench"
[ -x "$generate" ] || { echo "$0: no $generate: build the benchmarks first (scripts/setup.sh)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$generate" "$work" "$mb" > /dev/null
"$bench" "$work"
# Alternating runs, the median of five on each side.
for i in 1 2 3 4 5; do
    seconds "$bench" "$work" >> "$work/ours"
    seconds sqlite3 "$work/sms.db" .recover >> "$work/peer"
done
ours=$(median < "$work/ours")
peer=$(median < "$work/peer")
echo "ours (whole process):            $ours s"
echo "sqlite3 .recover (whole process): $peer s"
echo "ratio:                           $(ratio "$ours" "$peer")"
