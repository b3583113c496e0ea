#!/bin/bash
# Times our decryption of a 200 MB stored file against openssl on the same bytes.
# Usage: run.sh BUILD_DIR [MB]   (BUILD_DIR: a build folder with the benchmarks built)
set -euo pipefail
build=${1:?usage: run.sh BUILD_DIR [MB]}
mb=${2:-200}
bin="$build/bench/decrypt/bench_decrypt"
source "$(dirname "$0")/../timing.sh"
need openssl
[ -x "$bin" ] || { echo "$0: no $bin: build the benchmarks first (scripts/setup.sh)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin" prepare "$work/backup" "$mb"
key=$(cat "$work/backup/key.hex")
stored=$(cat "$work/backup/stored.path")
iv=00000000000000000000000000000000

# Wall time of the whole process on both sides, best of five.
ours=$(for i in 1 2 3 4 5; do seconds "$bin" decrypt "$work/backup" "$work/ours.bin"; done | best)
theirs=$(for i in 1 2 3 4 5; do
    seconds openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" -in "$stored" -out "$work/openssl.bin"
done | best)

cmp "$work/ours.bin" "$work/backup/plain.bin"
cmp "$work/openssl.bin" "$work/backup/plain.bin"
echo "ours:    ${ours} s"
echo "openssl: ${theirs} s"
echo "ratio:   $(ratio "$ours" "$theirs")"
