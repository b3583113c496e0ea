#!/bin/bash
# Times the recovery of deleted rows from a large sms.db, whole process against whole
# process: ours (open, list the chats, scan every page for deleted handles and messages)
# beside the sqlite3 tool's ".dump" of the same file. No program on this machine carves
# deleted rows (Debian's sqlite3 has no ".recover": it lacks sqlite_dbpage), so the peer
# does less: it reads only the live rows, not the free pages.
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
    seconds sqlite3 "$work/file-relay/var/mobile/Library/SMS/sms.db" .dump >> "$work/peer"
done
ours=$(median < "$work/ours")
peer=$(median < "$work/peer")
echo "ours (whole process):            $ours s"
echo "sqlite3 .dump (whole process):   $peer s"
echo "ratio:                           $(ratio "$ours" "$peer")"
