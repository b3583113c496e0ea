#!/bin/bash
# Times exports of a generated current phone's database of MESSAGES messages in 500 chats,
# whole process against whole process: our benchmark program opening the sms.db, loading it
# and exporting text, CSV or HTML, against `sqlite3 -csv` writing the rows and columns of the
# CSV export; runs alternate, and each time is the median of five. Then PDF pages per second
# and peak memory for 1,000 and 10,000 messages in 10 chats.
# Usage: run.sh BUILD_DIR [MESSAGES]
set -euo pipefail
build=${1:?build dir}
messages=${2:-100000}
runs=5
here=$(cd "$(dirname "$0")" && pwd)
generate="$build/bench/smsdb/smsdb_generate"
bin="$build/bench/export/bench_export"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

source "$here/../timing.sh"
need sqlite3 pdfinfo

"$generate" "$work/db" "$messages" 500 phone > /dev/null
"$generate" "$work/db1k" 1000 10 phone > /dev/null
"$generate" "$work/db10k" 10000 10 phone > /dev/null
sync

query=$(grep -v "^--" "$here/reference.sql")
peer() { sqlite3 -csv -header "$work/db/file-relay/var/mobile/Library/SMS/sms.db" "$query" > "$1"; }
ours() { "$bin" "$work/db" "$1" "$2" 2> /dev/null; }

for i in $(seq "$runs"); do
    seconds peer "$work/peer.csv" >> "$work/peer.times"
    seconds ours 0 "$work/out.txt" >> "$work/txt.times"
    seconds peer "$work/peer.csv" >> "$work/peer.times"
    seconds ours 1 "$work/out.csv" >> "$work/csv.times"
    seconds peer "$work/peer.csv" >> "$work/peer.times"
    seconds ours 3 "$work/html" >> "$work/html.times"
    rm -rf "$work/html"
    # The pages and pictures written back to disk meanwhile would fall into the next run.
    sync
done
sqlite=$(median < "$work/peer.times")
line() {
    local t
    t=$(median < "$work/$1.times")
    printf '%-13s %6.2f s   sqlite3 -csv %6.2f s   ratio %sx\n' "$2" "$t" "$sqlite" "$(ratio "$t" "$sqlite")"
}
echo "messages: $messages in 500 chats; whole processes, median of $runs alternating runs"
line txt "text export:"
line csv "CSV export:"
line html "HTML export:"

pdf() {
    local out pages=0 file count secs total peak
    out=$("$bin" "$work/db$1" 2 "$work/pdf$1" 2> /dev/null)
    for file in "$work/pdf$1"/*.pdf; do
        pages=$((pages + $(pdfinfo "$file" | awk '/^Pages:/ { print $2 }')))
    done
    read -r count secs total peak <<< "$out"
    echo "PDF, $count messages: $pages pages in $secs s ($(ratio "$pages" "$secs") pages/s), peak memory $peak KiB"
    echo "$peak" > "$work/peak$1"
}
pdf 1k
pdf 10k
echo "PDF peak memory: 10,000 messages $(ratio "$(cat "$work/peak10k")" "$(cat "$work/peak1k")") x 1,000 messages"
