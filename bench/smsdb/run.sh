#!/bin/bash
# Times opening a current phone's sms.db of MESSAGES messages in 500 chats (85 message
# columns, times in nanoseconds, every tenth message with an attachment file), listing its
# chats and loading every message, as whole processes timed from outside: our benchmark
# program against the sqlite3 tool running the same selects (selects.sql), five runs each,
# taken in turn, medians compared; then the same at LARGE messages. Also our peak resident
# memory per message and the time our process took to list the chats.
# Usage: run.sh BUILD_DIR [MESSAGES] [LARGE] (LARGE 0 skips the second database).
set -euo pipefail
build=${1:?build dir}
messages=${2:-100000}
large=${3:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
generate="$build/bench/smsdb/smsdb_generate"
bin="$build/bench/smsdb/smsdb_bench"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
now() { date +%s%N; }
elapsed() { echo "scale=3; ($2 - $1) / 1000000000" | bc; }

measure() {
    local name=$1 count=$2 i start end line
    "$generate" "$work/$name" "$count" 500 phone > /dev/null
    sync
    local db="$work/$name/file-relay/var/mobile/Library/SMS/sms.db"
    : > "$work/peer"
    : > "$work/ours"
    : > "$work/brief"
    for i in 1 2 3 4 5; do
        start=$(now)
        sqlite3 "$db" < "$here/selects.sql" > /dev/null
        end=$(now)
        elapsed "$start" "$end" >> "$work/peer"
        start=$(now)
        line=$("$bin" "$work/$name" brief)
        end=$(now)
        elapsed "$start" "$end" >> "$work/ours"
        echo "$line" >> "$work/brief"
    done
    local peer ours chats peak
    peer=$(median < "$work/peer")
    ours=$(median < "$work/ours")
    chats=$(cut -d' ' -f1 "$work/brief" | median)
    peak=$(cut -d' ' -f3 "$work/brief" | median)
    echo "$count messages in 500 chats (median of five runs each, taken in turn):"
    echo "  sqlite3, the same selects:        $peer s"
    echo "  ours, open, chats, all messages:  $ours s ($(echo "scale=2; $ours / $peer" | bc) x sqlite3)"
    echo "  ours, open and list the chats:    $chats s (inside the process)"
    echo "  ours, peak resident memory:       $peak KiB, $(echo "$peak * 1024 / $count" | bc) bytes per message"
    rm -rf "${work:?}/$name"
}

echo "load: $(uptime)"
measure small "$messages"
if [ "$large" -gt 0 ]; then
    measure large "$large"
fi
echo "load: $(uptime)"
