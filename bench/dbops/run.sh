#!/bin/bash
# Times the merge of 10,000 new messages into generated databases of a current phone's layout
# and triggers, of 100,000 and 200,000 messages: our benchmark program as a whole process
# beside the sqlite3 tool running a script that builds the same merged file (the merged
# file's schema, then every table's rows in row-id order, row by row, in one transaction),
# the two alternating, median of five each. Then the deletion of 1,000 messages from local
# databases of the same sizes, so that the growth with the size of the database shows.
# Usage: run.sh BUILD_DIR
set -euo pipefail
build=${1:?build dir}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen
source "$(dirname "$0")/../timing.sh"
runs=5

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The script that builds the merged file: ORDER BY makes sqlite3 insert row by row rather
# than copy whole tables.
peer_script() {
    local merged=$1 table
    echo "BEGIN;"
    sqlite3 "$merged" .schema | grep -v '^CREATE TABLE sqlite_sequence'
    echo "ATTACH '$merged' AS m;"
    for table in $(sqlite3 "$merged" \
        "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%'"); do
        echo "INSERT INTO main.\"$table\" SELECT * FROM m.\"$table\" ORDER BY rowid;"
    done
    echo "COMMIT;"
}

for messages in 100000 200000; do
    device="$work/device$messages"
    "$build/bench/smsdb/smsdb_generate" "$device" "$messages" 500 phone > /dev/null
    sync
    rm -f "$work/ours.times" "$work/peer.times"
    for ((i = 0; i < runs; i++)); do
        rm -rf "$work/backup"
        "$build/bench/dbops/dbops_bench" prepare "$device" "$work/backup" 2> /dev/null
        sync
        start=$(date +%s%N)
        "$build/bench/dbops/dbops_bench" merge "$device" "$work/backup" 10000 \
            > "$work/merge.out" 2> /dev/null
        end=$(date +%s%N)
        echo "scale=3; ($end - $start) / 1000000000" | bc >> "$work/ours.times"
        merged=$(sed -n 's/^merged: //p' "$work/merge.out")
        peer_script "$merged" > "$work/peer.sql"
        rm -f "$work/peer.db"
        seconds sqlite3 "$work/peer.db" ".read $work/peer.sql" >> "$work/peer.times"
    done
    head -1 "$work/merge.out"
    ours=$(median < "$work/ours.times")
    peer=$(median < "$work/peer.times")
    echo "merge 10,000 into $messages (current phone's layout and triggers), whole processes," \
        "median of $runs: ours $ours s, sqlite3 building the same merged file $peer s" \
        "($(echo "scale=2; $ours / $peer" | bc) x); load: $(uptime | sed 's/.*load average: //')"
    "$build/bench/dbops/dbops_bench" delete "$messages" 1000
done
