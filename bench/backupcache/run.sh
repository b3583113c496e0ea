#!/bin/bash
# Times the program's backup cache against `cp -a` of the same backup folder, whole process
# against whole process: our benchmark program is started and timed from outside like cp,
# so its start-up, Manifest.plist, the unlock (10,000 key-derivation rounds, as a real
# encrypted backup takes), the index and the cache's own index all count. Also a second run
# over the unchanged backup. Usage: run.sh BUILD_DIR [MB] [FILES]
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
# The cache keeps its lock in the program's data folder, below HOME.
export HOME="$work/home"

source "$(dirname "$0")/../timing.sh"
need cp

"$bin" prepare "$work/plain" "$mb" "$files" 2>/dev/null
"$bin" prepare "$work/encrypted" "$mb" "$files" encrypted 2>/dev/null
sync

ours() { seconds "$bin" cache "$@" 2>/dev/null; }
# The peer doing the work ours does for a power loss: cp -a, then each copied file synced.
durable() { cp -a "$1" "$2" && find "$2" -type f -print0 | xargs -0 sync; }
# The least work that leaves the copy on the disk: cp -a, then one sync of the whole file
# system (which also writes whatever else is pending there).
onesync() { cp -a "$1" "$2" && sync -f "$2"; }

# The peer and ours alternate, so that both see the same load on the machine.
for i in 1 2 3; do
    seconds cp -a "$work/plain" "$work/copy$i" >> "$work/copy.times"
    ours "$work/plain" "$work/cache$i" >> "$work/first.times"
    seconds cp -a "$work/encrypted" "$work/enccopy$i" >> "$work/enccopy.times"
    ours "$work/encrypted" "$work/enc$i" >> "$work/encrypted.times"
done
for i in 1 2 3; do ours "$work/plain" "$work/cache1"; done > "$work/second.times"
for i in 1 2 3; do
    seconds durable "$work/plain" "$work/synced$i" >> "$work/synced.times"
    seconds onesync "$work/plain" "$work/onesync$i" >> "$work/onesync.times"
done

copy=$(best < "$work/copy.times")
plain=$(best < "$work/first.times")
enccopy=$(best < "$work/enccopy.times")
encrypted=$(best < "$work/encrypted.times")
second=$(best < "$work/second.times")
goal() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g) ? "met" : "NOT MET" }'; }
plainRatio=$(ratio "$plain" "$copy")
encRatio=$(ratio "$encrypted" "$enccopy")
echo "backup:     ${mb} MiB in ${files} files; seconds, best of three, whole processes"
echo "plain:      ours ${plain}  peer ${copy}  ratio ${plainRatio} (goal 1.5: $(goal "$plainRatio" 1.5))"
echo "            peer: cp -a of the backup folder"
echo "encrypted:  ours ${encrypted}  peer ${enccopy}  ratio ${encRatio} (goal 2: $(goal "$encRatio" 2))"
echo "            peer: cp -a of the encrypted backup folder; it copies the ciphertext and"
echo "            decrypts nothing, while ours derives the key, unwraps each file's key and"
echo "            decrypts every file"
echo "            ours, both: every copy synced before its rename and its folder after (cp"
echo "            syncs nothing)"
synced=$(best < "$work/synced.times")
echo "            beside the same work: cp -a then sync of every file it wrote ${synced},"
echo "            ours plain $(ratio "$plain" "$synced") of it"
onesync=$(best < "$work/onesync.times")
echo "            beside cp -a then one sync of the whole file system ${onesync}, the least"
echo "            that leaves the copy on the disk: ours plain $(ratio "$plain" "$onesync") of it"
echo "unchanged:  ours ${second}  ($(ratio "$second" "$plain") of the first run)"
echo "load:      $(uptime)"
