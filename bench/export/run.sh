#!/bin/bash
# Times the export worker on a generated current phone's database of MESSAGES messages in
# 500 chats: text, CSV and HTML, each with and without loading the database, against
# `sqlite3 -csv` writing the rows and columns of the CSV export, run side by side (best of
# three each); then PDF pages per second and peak memory for 1,000 and 10,000 messages in
# 10 chats. Usage: run.sh BUILD_DIR [MESSAGES]
set -euo pipefail
build=${1:?build dir}
messages=${2:-100000}
here=$(cd "$(dirname "$0")" && pwd)
generate="$build/bench/smsdb/smsdb_generate"
bin="$build/bench/export/bench_export"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

"$generate" "$work/db" "$messages" 500 phone > /dev/null
"$generate" "$work/db1k" 1000 10 phone > /dev/null
"$generate" "$work/db10k" 10000 10 phone > /dev/null
sync

source "$(dirname "$0")/../timing.sh"
reference() {
    sqlite3 -csv -header "$work/db/file-relay/var/mobile/Library/SMS/sms.db" \
        < "$here/reference.sql" > "$1"
}
# The export's own seconds, then with loading the database (the second and third fields).
ours() { "$bin" "$work/db" "$1" "$2" 2>/dev/null | cut -d' ' -f2,3; }

for i in 1 2 3; do
    seconds reference "$work/reference$i.csv" >> "$work/sqlite.times"
    ours 1 "$work/out$i.csv" >> "$work/csv.times"
    ours 0 "$work/out$i.txt" >> "$work/txt.times"
    ours 3 "$work/html$i" >> "$work/html.times"
    rm -rf "$work/html$i"
    # The pages and pictures written back to disk meanwhile would fall into the next run.
    sync
done
sqlite=$(best < "$work/sqlite.times")
ratio() {
    local alone loaded
    alone=$(cut -d' ' -f1 "$work/$1.times" | best)
    loaded=$(cut -d' ' -f2 "$work/$1.times" | best)
    echo "$alone s ($(echo "scale=2; $alone / $sqlite" | bc) x sqlite3), with loading $loaded s ($(echo "scale=2; $loaded / $sqlite" | bc) x sqlite3)"
}
echo "messages:          $messages in 500 chats (best of three each)"
echo "sqlite3 -csv:      $sqlite s"
echo "CSV export:        $(ratio csv)"
echo "text export:       $(ratio txt)"
echo "HTML export:       $(ratio html)"

pdf() {
    local line pages=0 file
    line=$("$bin" "$work/db$1" 2 "$work/pdf$1" 2>/dev/null)
    for file in "$work/pdf$1"/*.pdf; do
        pages=$((pages + $(pdfinfo "$file" | awk '/^Pages:/ { print $2 }')))
    done
    read -r count secs total peak <<< "$line"
    echo "PDF, $count messages: $pages pages in $secs s ($(echo "scale=0; $pages / $secs" | bc) pages/s), peak memory $peak KiB"
    echo "$peak" > "$work/peak$1"
}
pdf 1k
pdf 10k
echo "PDF peak memory:   10,000 messages $(echo "scale=2; $(cat "$work/peak10k") / $(cat "$work/peak1k")" | bc) x 1,000 messages"
