#!/bin/bash
# Times our decryption of a 200 MB stored file against openssl on the same bytes.
# Usage: run.sh BUILD_DIR [MB]   (BUILD_DIR: a Release build with bench_decrypt)
set -euo pipefail
build=${1:?build dir}
mb=${2:-200}
bin="$build/bench/decrypt/bench_decrypt"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin" prepare "$work/backup" "$mb"
key=$(cat "$work/backup/key.hex")
stored=$(cat "$work/backup/stored.path")
iv=00000000000000000000000000000000

source "$(dirname "$0")/../timing.sh"
# Wall time of the whole process on both sides, best of five.
ours=$(for i in 1 2 3 4 5; do seconds "$bin" decrypt "$work/backup" "$work/ours.bin"; done | best)
theirs=$(for i in 1 2 3 4 5; do
    seconds openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" -in "$stored" -out "$work/openssl.bin"
done | best)

cmp "$work/ours.bin" "$work/backup/plain.bin"
cmp "$work/openssl.bin" "$work/backup/plain.bin"
echo "ours:    ${ours} s"
echo "openssl: ${theirs} s"
echo "ratio:   $(echo "scale=2; $ours / $theirs" | bc)"
