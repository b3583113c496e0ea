#!/bin/bash
# Times the merge of 10,000 new messages into generated device databases of 100,000 and
# 200,000 messages, and the deletion of 1,000 messages from local databases of the same
# sizes, so that the growth with the size of the database shows.
# Usage: run.sh BUILD_DIR
set -euo pipefail
build=${1:?build dir}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for messages in 100000 200000; do
    "$build/bench/smsdb/smsdb_generate" "$work/device$messages" "$messages" 500 > /dev/null
    "$build/bench/dbops/dbops_bench" merge "$work/device$messages" 10000
    "$build/bench/dbops/dbops_bench" delete "$messages" 1000
done
