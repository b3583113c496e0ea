#!/bin/bash
# Times opening a current phone's sms.db of MESSAGES messages in 500 chats (85 message
# columns, times in nanoseconds, every tenth message with an attachment file), listing its
# chats and loading every message, beside the sqlite3 tool running the five selects of that
# loading (best of three each, run in turn); then the same at LARGE messages, to show that
# time and memory grow in step with the messages. Usage: run.sh BUILD_DIR [MESSAGES] [LARGE]
# (LARGE 0 skips the second database).
set -euo pipefail
build=${1:?build dir}
messages=${2:-100000}
large=${3:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
generate="$build/bench/smsdb/smsdb_generate"
bin="$build/bench/smsdb/smsdb_bench"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$here/../timing.sh"

# Best of three of ours (its own figures: seconds to list the chats, to load the messages,
# then the KiB of its anonymous memory) and of the sqlite3 tool on the same file.
measure() {
    local name=$1 count=$2 i
    "$generate" "$work/$name" "$count" 500 phone > /dev/null
    sync
    local db="$work/$name/file-relay/var/mobile/Library/SMS/sms.db"
    for i in 1 2 3; do
        seconds sqlite3 "$db" < "$here/selects.sql" >> "$work/$name.sqlite"
        "$bin" "$work/$name" brief >> "$work/$name.ours"
    done
    sqlite=$(best < "$work/$name.sqlite")
    chats=$(cut -d' ' -f1 "$work/$name.ours" | best)
    total=$(awk '{ print $1 + $2 }' "$work/$name.ours" | best)
    anon=$(cut -d' ' -f4 "$work/$name.ours" | best)
    echo "$count messages in 500 chats (best of three each):"
    echo "  sqlite3, the five selects:          $sqlite s"
    echo "  ours, open and list the chats:      $chats s"
    echo "  ours, open, chats and all messages: $total s ($(echo "scale=2; $total / $sqlite" | bc) x sqlite3)"
    echo "  ours, anonymous memory afterwards:  $anon KiB"
    rm -rf "${work:?}/$name"
}

measure small "$messages"
small_total=$total small_anon=$anon
if [ "$large" -gt 0 ]; then
    measure large "$large"
    echo "from $messages to $large messages:"
    echo "  time per message:   $(echo "scale=2; $small_total * 1000000 / $messages" | bc) us, then $(echo "scale=2; $total * 1000000 / $large" | bc) us"
    echo "  memory per message: $(echo "($anon - $small_anon) * 1024 / ($large - $messages)" | bc) bytes"
fi
