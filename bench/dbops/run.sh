#!/bin/bash
# Times the merge of 10,000 new messages into generated device databases of 100,000 and
# 200,000 messages beside the sqlite3 tool inserting the same rows (every row of the merged
# file, table by table in row-id order, into an empty file of the same layout, in one
# transaction), best of three each; then the deletion of 1,000 messages from local databases
# of the same sizes, so that the growth with the size of the database shows.
# Usage: run.sh BUILD_DIR
set -euo pipefail
build=${1:?build dir}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen
source "$(dirname "$0")/../timing.sh"

# The peer: an empty file with the merged file's layout, filled by sqlite3 from the merged
# file. ORDER BY makes it insert row by row rather than copy whole tables.
peer() {
    local merged=$1 target=$2 table
    local sql="ATTACH '$merged' AS m; BEGIN;"
    rm -f "$target"
    sqlite3 "$merged" .schema | grep -v '^CREATE TABLE sqlite_sequence' | sqlite3 "$target"
    for table in $(sqlite3 "$merged" \
        "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'"); do
        sql+=" INSERT INTO main.\"$table\" SELECT * FROM m.\"$table\" ORDER BY rowid;"
    done
    seconds sqlite3 "$target" "$sql COMMIT;"
}

for messages in 100000 200000; do
    "$build/bench/smsdb/smsdb_generate" "$work/device$messages" "$messages" 500 > /dev/null
    sync
    rm -f "$work/ours.times" "$work/peer.times"
    for i in 1 2 3; do
        rm -f "$work/merged.db"
        line=$("$build/bench/dbops/dbops_bench" merge "$work/device$messages" 10000 \
            "$work/merged.db" 2>/dev/null)
        echo "$line" | sed -n 's/.*messages: \([0-9]*\) ms.*/scale=3; \1 \/ 1000/p' | bc \
            >> "$work/ours.times"
        peer "$work/merged.db" "$work/peer.db" >> "$work/peer.times"
    done
    ours=$(best < "$work/ours.times")
    sqlite=$(best < "$work/peer.times")
    echo "merge 10,000 into $messages: $ours s, sqlite3 inserting the same rows $sqlite s" \
        "($(echo "scale=2; $ours / $sqlite" | bc) x)"
    "$build/bench/dbops/dbops_bench" delete "$messages" 1000
done
