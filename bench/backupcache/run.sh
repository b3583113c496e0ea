#!/bin/bash
# Times the caching worker on a plain backup of MB mebibytes in FILES files against `cp -a`
# of the same backup folder, a second run over the unchanged backup, and the same first run
# on an encrypted backup. Usage: run.sh BUILD_DIR [MB] [FILES]
#
# Every copy goes to a fresh folder and nothing is deleted until the end: on a file system
# without a journal, ext4 skips inodes freed in the last minutes when it allocates new ones,
# so deleting between runs would make whichever runs next pay for it.
set -euo pipefail
build=${1:?build dir}
mb=${2:-200}
files=${3:-2000}
bin="$build/bench/backupcache/bench_backupcache"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

"$bin" prepare "$work/plain" "$mb" "$files" 2>/dev/null
"$bin" prepare "$work/encrypted" "$mb" "$files" encrypted 2>/dev/null
sync

source "$(dirname "$0")/../timing.sh"
# The worker's own time (without start-up and reading the index) is what the program prints.
ours() { "$bin" cache "$@" 2>/dev/null; }

# cp -a and the first run alternate, so that both see the same load on the machine.
for i in 1 2 3; do
    seconds cp -a "$work/plain" "$work/copy$i" >> "$work/copy.times"
    ours "$work/plain" "$work/cache$i" >> "$work/first.times"
done
for i in 1 2 3; do ours "$work/plain" "$work/cache1"; done > "$work/second.times"
for i in 1 2 3; do ours "$work/encrypted" "$work/enc$i"; done > "$work/encrypted.times"

copy=$(best < "$work/copy.times")
plain=$(best < "$work/first.times")
second=$(best < "$work/second.times")
encrypted=$(best < "$work/encrypted.times")
echo "backup:           ${mb} MiB in ${files} files (best of three each)"
echo "cp -a:            ${copy} s"
echo "first run:        ${plain} s  ($(echo "scale=2; $plain / $copy" | bc) x cp -a)"
echo "second run:       ${second} s  ($(echo "scale=3; $second / $plain" | bc) of the first)"
echo "encrypted first:  ${encrypted} s  ($(echo "scale=2; $encrypted / $plain" | bc) x plain, $(echo "scale=2; $encrypted / $copy" | bc) x cp -a)"
