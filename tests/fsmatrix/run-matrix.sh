#!/usr/bin/env bash
# The writers' file-system matrix. As root, in a mount and network namespace of its own
# (loopback only), it mounts real file systems through Debian's own clients: Samba served on
# 127.0.0.1 and mounted with smbnetfs, exFAT (exfat-fuse) and NTFS (ntfs-3g) on loop images, a
# small tmpfs, the local disk as the reference, and the NFS-like and lock-less seams on the
# local disk; a disk of a few MB of each kind for the full-disk cases. It runs every case of
# the driver on each, each bounded in time, prints a table, and exits non-zero when a cell
# failed. Then, with the exFAT or NTFS daemon stopped (as a stuck USB disk looks), the drive
# scan and the given test binary must still end.
#
# Where the machine cannot mount (not root, no FUSE or loop devices, namespaces refused, the
# clients missing) it says why in one line and exits 77, which CTest counts as skipped.
#
# Every daemon, mount and loop device it made is gone when it ends, also when it fails or is
# interrupted: the namespace's own trap ends them, and the outer half checks from the host and
# ends what is left by its process id.
#
# Usage: run-matrix.sh DRIVER [STALL_TEST]
#   DRIVER      the fsmatrix program (tests/fsmatrix)
#   STALL_TEST  a test binary to run while a daemon is stopped (tst_mainwindow_commands)
# FSMATRIX_COLUMNS (say "local smb") limits the file systems, FSMATRIX_CASES (a pattern for
# grep -E) the cases.
set -uo pipefail

readonly SKIP=77
# Bounds: one case, the drive scan and the test binary with a daemon stopped, the whole run.
readonly CASE_LIMIT=420
readonly SCAN_LIMIT=30
readonly STALL_LIMIT=120
readonly RUN_LIMIT=1500

if [ "${1:-}" != --inside ]; then
    driver=${1:?usage: run-matrix.sh DRIVER [STALL_TEST]}
    stall=${2:-}
    skip() {
        echo "fsmatrix: skipped: $*"
        exit $SKIP
    }
    [ "$(id -u)" -eq 0 ] || skip "not root: mounting file systems needs root"
    [ -c /dev/fuse ] || skip "no FUSE device (/dev/fuse)"
    [ -c /dev/loop-control ] || skip "no loop devices (/dev/loop-control)"
    missing=""
    for tool in unshare ip losetup mount umount timeout ps setsid smbd smbpasswd smbnetfs \
        mount.exfat-fuse mkfs.exfat ntfs-3g mkntfs mkfs.ext4; do
        command -v "$tool" >/dev/null || missing="$missing $tool"
    done
    [ -z "$missing" ] || skip "missing$missing (scripts/setup.sh installs them)"
    [ -x "$driver" ] || skip "no driver at $driver (build the fsmatrix target)"
    unshare -m -n --propagation private true 2>/dev/null ||
        skip "mount and network namespaces are refused here (unshare -m -n)"
    probe=$(mktemp -d /tmp/fsmatrix-probe.XXXXXX)
    unshare -m --propagation private mount -t tmpfs fsmatrix "$probe" 2>/dev/null
    mounted=$?
    rmdir "$probe"
    [ $mounted -eq 0 ] || skip "mounting is refused here, even in a namespace of its own"
    (exec 3<>/dev/fuse) 2>/dev/null || skip "/dev/fuse cannot be opened"
    losetup -f >/dev/null 2>&1 || skip "no free loop device"

    T=$(mktemp -d /tmp/fsmatrix.XXXXXX)
    unshare -m -n --propagation private -- bash "$0" --inside "$T" "$driver" "$stall" &
    inner=$!
    forward() { kill -TERM "$inner" 2>/dev/null; }
    trap forward INT TERM HUP
    status=0
    while :; do
        wait "$inner"
        status=$?
        kill -0 "$inner" 2>/dev/null || break
    done
    trap - INT TERM HUP

    # From the host: whatever the namespace's teardown missed is a fault of this script. Its
    # processes are those in its network namespace, which the inner half wrote down.
    left=()
    namespace=$(cat "$T/netns" 2>/dev/null)
    if [ -n "$namespace" ] && [ "$namespace" != "$(readlink /proc/self/ns/net)" ]; then
        for ns in /proc/[0-9]*/ns/net; do
            pid=${ns#/proc/}
            pid=${pid%%/*}
            if [ "$(readlink "$ns" 2>/dev/null)" = "$namespace" ]; then
                left+=("process $pid ($(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null))")
                kill -CONT "$pid" 2>/dev/null
                kill -KILL "$pid" 2>/dev/null
            fi
        done
    fi
    while read -r dev; do
        [ -n "$dev" ] || continue
        left+=("loop device $dev")
        losetup -d "$dev" 2>/dev/null
    done < <(losetup -a 2>/dev/null | grep -F "$T/" | cut -d: -f1)
    while read -r mnt; do
        [ -n "$mnt" ] || continue
        left+=("mount $mnt")
        umount -l "$mnt" 2>/dev/null
    done < <(awk -v t="$T/" 'index($2, t) == 1 { print $2 }' /proc/mounts)
    if [ ${#left[@]} -eq 0 ]; then
        echo "fsmatrix: teardown: no mount, daemon or loop device of the matrix is left"
        rm -rf "$T"
    else
        printf 'fsmatrix: teardown FAILED, ended from the host: %s\n' "${left[@]}"
        sleep 1
        rm -rf "$T" 2>/dev/null
        [ "$status" -eq 0 ] && status=1
    fi
    exit "$status"
fi

# Inside the namespace.
T=$2
driver=$3
stall=$4
started=$SECONDS
readlink /proc/self/ns/net >"$T/netns"
logs=$T/logs
mkdir -p "$logs" "$T/mnt" "$T/tmp" "$T/runtime"
chmod 700 "$T/runtime"
export TMPDIR=$T/tmp XDG_RUNTIME_DIR=$T/runtime
export QT_QPA_PLATFORM=offscreen TZ=UTC LC_ALL=C.UTF-8

daemons=() # process ids, in the order started
mounts=()  # mount points, in the order mounted
loops=()   # loop devices attached
current="" # the bounded command running now

# The process and its descendants, children first.
descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        descendants "$child"
    done
    echo "$1"
}

# Read from the mount table: never touches the file system, which may not answer.
is_mounted() {
    awk -v m="$1" '$5 == m { found = 1 } END { exit !found }' /proc/self/mountinfo
}

teardown() {
    trap - EXIT INT TERM HUP
    local pid all=() i m dev deadline
    for pid in "${daemons[@]}"; do
        all+=($(descendants "$pid"))
    done
    for pid in "${all[@]}"; do kill -CONT "$pid" 2>/dev/null; done
    for pid in "${all[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    deadline=$((SECONDS + 10))
    for pid in "${all[@]}"; do
        while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
    done
    for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null; done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        m=${mounts[i]}
        is_mounted "$m" || continue
        timeout 20 umount "$m" 2>/dev/null || umount -l "$m"
    done
    for dev in "${loops[@]}"; do losetup -d "$dev" 2>/dev/null; done
}
on_signal() {
    echo "fsmatrix: interrupted; tearing down"
    if [ -n "$current" ]; then
        kill -TERM "$current" 2>/dev/null
        local deadline=$((SECONDS + 15)) pid
        while kill -0 "$current" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
        for pid in $(descendants "$current"); do kill -KILL "$pid" 2>/dev/null; done
        wait "$current" 2>/dev/null
    fi
    teardown
    exit 130
}
trap teardown EXIT
trap on_signal INT TERM HUP

# Waits up to `seconds` for a command to succeed.
await() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

# Runs a command bounded in time, in the background so that a signal is heard at once; its
# exit code in $rc (124 or 137 when it ran out of time).
bounded() {
    local limit=$1 out=$2 err=$3
    shift 3
    timeout -k 10 "$limit" "$@" >"$out" 2>"$err" </dev/null &
    current=$!
    # Quiet: bash would report a command that ran out of time as "Killed".
    wait "$current" 2>/dev/null
    rc=$?
    current=""
}

# A daemon in the foreground, so that its process id is ours to end, and in a session of its
# own: smbd ends its children with a signal to its whole process group.
daemon() {
    setsid "$@" </dev/null &
    daemons+=($!)
}

# A FUSE daemon (see daemon) that mounts at `mountpoint`, its output going to `log`.
start_daemon() {
    local name=$1 mountpoint=$2 log=$3
    shift 3
    daemon "$@" >"$log" 2>&1
    local pid=$!
    mounts+=("$mountpoint")
    if ! await 20 is_mounted "$mountpoint"; then
        kill -0 "$pid" 2>/dev/null || echo "the $name daemon ended: $(tail -n 3 "$log" | tr '\n' ' ')"
        return 1
    fi
    echo "$pid" >"$T/$name.pid"
}

# An image of `mb` MB on a loop device of its own, in $device.
attach() {
    device=""
    dd if=/dev/zero of="$1" bs=1M count="$2" status=none || return 1
    device=$(losetup -f --show "$1") || return 1
    loops+=("$device")
}

mount_tmpfs() {
    mkdir -p "$2" && mount -t tmpfs -o "size=$1" fsmatrix "$2" && mounts+=("$2")
}

# Each file system: a folder for the cases, one on a disk of a few MB for the full-disk cases,
# the seam the driver applies in-process. The set-ups run in this shell (never in a subshell),
# so that the daemons, mounts and loop devices they make are all in its lists.
declare -A folder full seam broken escaped
columns=()

setup_local() {
    folder[local]=$T/local
    mkdir -p "$T/local" "$T/mnt/small-ext4"
    attach "$T/small-ext4.img" 4 && mkfs.ext4 -q -F "$device" &&
        mount -t ext4 "$device" "$T/mnt/small-ext4" && mounts+=("$T/mnt/small-ext4") &&
        mkdir -p "$T/mnt/small-ext4/local" && full[local]=$T/mnt/small-ext4/local
    # Without its small disk the local column runs all but its full-disk cases.
    return 0
}

setup_seam() {
    folder[$1]=$T/seam-$1
    seam[$1]=$1
    mkdir -p "${folder[$1]}"
    is_mounted "$T/mnt/small-ext4" && mkdir -p "$T/mnt/small-ext4/$1" &&
        full[$1]=$T/mnt/small-ext4/$1
    return 0
}

setup_tmpfs() {
    mount_tmpfs 128m "$T/mnt/tmpfs" && mount_tmpfs 4m "$T/mnt/small-tmpfs" || return 1
    folder[tmpfs]=$T/mnt/tmpfs
    full[tmpfs]=$T/mnt/small-tmpfs
}

setup_smb() {
    local s=$T/smb
    mkdir -p "$s"/{run,lock,state,cache,private,ncalrpc,share,home/.smb} "$T/mnt/smb"
    mount_tmpfs 4m "$s/small" || return 1
    cat >"$s/smb.conf" <<CONF
[global]
    interfaces = lo
    bind interfaces only = yes
    smb ports = 445
    disable netbios = yes
    server role = standalone server
    pid directory = $s/run
    lock directory = $s/lock
    state directory = $s/state
    cache directory = $s/cache
    private dir = $s/private
    ncalrpc dir = $s/ncalrpc
    passdb backend = tdbsam:$s/private/passdb.tdb
    log file = $logs/smbd.log
    load printers = no
    printcap name = /dev/null
    disable spoolss = yes
[share]
    path = $s/share
    read only = no
    force user = root
[small]
    path = $s/small
    read only = no
    force user = root
CONF
    if ! printf 'matrix\nmatrix\n' | smbpasswd -c "$s/smb.conf" -s -a root; then
        echo "smbpasswd cannot add the share's user"
        return 1
    fi
    daemon smbd --foreground --no-process-group --configfile="$s/smb.conf" >"$logs/smbd.out" 2>&1
    if ! await 20 bash -c 'exec 3<>/dev/tcp/127.0.0.1/445' 2>/dev/null; then
        echo "smbd does not answer on 127.0.0.1:445: $(tail -n 2 "$logs/smbd.out" | tr '\n' ' ')"
        return 1
    fi
    printf '[global]\n    client min protocol = SMB2\n' >"$s/home/.smb/smb.conf"
    printf 'smb_query_browsers "false"\nauth "127.0.0.1" "root" "matrix"\n' \
        >"$s/home/.smb/smbnetfs.conf"
    chmod 600 "$s/home/.smb/smbnetfs.conf"
    HOME=$s/home start_daemon smbnetfs "$T/mnt/smb" "$logs/smbnetfs.log" \
        smbnetfs "$T/mnt/smb" -f -o "config=$s/home/.smb/smbnetfs.conf" || return 1
    # The share shows once smbnetfs has reached the server.
    if ! await 30 timeout 5 test -d "$T/mnt/smb/127.0.0.1/share"; then
        echo "smbnetfs does not show the share"
        return 1
    fi
    folder[smb]=$T/mnt/smb/127.0.0.1/share
    # smbnetfs lists "@" as "%40", though the share holds the name as it was made.
    escaped[smb]=1
    full[smb]=$T/mnt/smb/127.0.0.1/small
}

# exFAT or NTFS: a large and a small image, each mounted by a daemon of its own.
setup_fuseblk() {
    local kind=$1 big small
    mkdir -p "$T/mnt/$kind" "$T/mnt/small-$kind"
    attach "$T/$kind.img" 256 && big=$device || return 1
    attach "$T/small-$kind.img" 4 && small=$device || return 1
    if [ "$kind" = exfat ]; then
        mkfs.exfat "$big" && mkfs.exfat "$small" || return 1
        # -d keeps it in the foreground; its debug lines go nowhere.
        start_daemon exfat "$T/mnt/exfat" /dev/null mount.exfat-fuse -d "$big" "$T/mnt/exfat" &&
            start_daemon small-exfat "$T/mnt/small-exfat" /dev/null \
                mount.exfat-fuse -d "$small" "$T/mnt/small-exfat" || return 1
    else
        mkntfs -Q -F "$big" && mkntfs -Q -F "$small" || return 1
        start_daemon ntfs "$T/mnt/ntfs" "$logs/ntfs-3g.log" \
            ntfs-3g -o no_detach "$big" "$T/mnt/ntfs" &&
            start_daemon small-ntfs "$T/mnt/small-ntfs" "$logs/ntfs-3g-small.log" \
                ntfs-3g -o no_detach "$small" "$T/mnt/small-ntfs" || return 1
    fi
    folder[$kind]=$T/mnt/$kind
    full[$kind]=$T/mnt/small-$kind
}

setup_column() {
    case $1 in
    local) setup_local ;;
    tmpfs) setup_tmpfs ;;
    smb) setup_smb ;;
    exfat | ntfs) setup_fuseblk "$1" ;;
    nfs | nolocks) setup_seam "$1" ;;
    *)
        echo "no such file system"
        return 1
        ;;
    esac
}

ip link set lo up || {
    echo "fsmatrix: cannot bring up lo in the namespace"
    exit 1
}

# The seams' small disk is the local column's.
setup_local >"$logs/setup-local.log" 2>&1
for column in ${FSMATRIX_COLUMNS:-local tmpfs smb exfat ntfs nfs nolocks}; do
    columns+=("$column")
    [ "$column" = local ] && continue
    if ! setup_column "$column" >"$logs/setup-$column.log" 2>&1; then
        broken[$column]="cannot set up: $(tail -n 1 "$logs/setup-$column.log")"
    fi
done

# The share may drop its connection for a few seconds after a refused open.
answers() {
    timeout 5 stat -t "$1" >/dev/null 2>&1
}

declare -A cell verdict timeouts
rows=()
failed=0
passed=0

add_row() {
    local row
    for row in "${rows[@]}"; do [ "$row" = "$1" ] && return; done
    rows+=("$1")
}

record() {
    local row=$1 column=$2 status=$3 text=$4
    add_row "$row"
    cell[$row|$column]=$status
    verdict[$row|$column]=$text
    if [ "$status" = pass ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}

run_case() {
    local row=$1 column=$2 name=$3 where=$4
    shift 4
    if [ $((SECONDS - started)) -ge $RUN_LIMIT ]; then
        record "$row" "$column" FAIL "not run: the matrix ran out of its $RUN_LIMIT s"
        return
    fi
    if [ "${timeouts[$column]:-0}" -ge 2 ]; then
        record "$row" "$column" FAIL "not run: the file system stopped answering (two cases timed out)"
        return
    fi
    if ! await 20 answers "$where"; then
        record "$row" "$column" FAIL "not run: $where does not answer"
        return
    fi
    local log="$logs/$column.${row// /}" out
    bounded $CASE_LIMIT "$log.out" "$log.log" "$driver" case "$name" "$where" \
        ${seam[$column]:+--seam "${seam[$column]}"} ${escaped[$column]:+--escaped-names} "$@"
    out=$(grep -E '^(PASS|FAIL) ' "$log.out" | tail -n 1)
    if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
        timeouts[$column]=$((${timeouts[$column]:-0} + 1))
        record "$row" "$column" FAIL "did not end within $CASE_LIMIT s"
    elif [ $rc -eq 0 ] && [ "${out%% *}" = PASS ]; then
        record "$row" "$column" pass "${out#*: }"
    elif [ -n "$out" ]; then
        record "$row" "$column" FAIL "${out#*: }"
    else
        record "$row" "$column" FAIL "the driver ended with $rc: $(tail -n 2 "$log.log" | tr '\n' ' ')"
    fi
}

filter() {
    grep -E "${FSMATRIX_CASES:-.}"
}

plain_cases=$("$driver" cases | filter)
data_cases=$("$driver" cases --data-here | filter)
full_cases=$("$driver" cases --full | filter)
for name in $plain_cases; do add_row "$name"; done
for name in $data_cases; do add_row "$name +data"; done
for name in $full_cases; do add_row "$name"; done

for column in "${columns[@]}"; do
    if [ -n "${broken[$column]:-}" ]; then
        for name in $plain_cases $full_cases; do record "$name" "$column" FAIL "${broken[$column]}"; done
        for name in $data_cases; do record "$name +data" "$column" FAIL "${broken[$column]}"; done
        continue
    fi
    base=${folder[$column]}
    mkdir -p "$base/data-local" "$base/data-here"
    for name in $plain_cases; do
        run_case "$name" "$column" "$name" "$base/data-local"
    done
    for name in $data_cases; do
        run_case "$name +data" "$column" "$name" "$base/data-here" --data-here
    done
    for name in $full_cases; do
        if [ -z "${full[$column]:-}" ]; then
            record "$name" "$column" FAIL "no small disk: $(tail -n 1 "$logs/setup-local.log")"
            continue
        fi
        run_case "$name" "$column" "$name" "${full[$column]}"
        # The next full-disk case starts on an empty disk.
        timeout 60 rm -rf "${full[$column]:?}/$name"
    done
done

# How a command that ran with a daemon stopped ended (its code in $rc), with the lines of its
# output that say so.
record_stalled() {
    local row=$1 column=$2 limit=$3 out=$4 lines=$5
    local said
    said=$(grep -E "$lines" "$out" | head -n 3 | tr '\n' ' ')
    if [ "$rc" -eq 0 ]; then
        record "$row" "$column" pass "$said"
    elif [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        record "$row" "$column" FAIL "did not end within $limit s"
    else
        record "$row" "$column" FAIL "ended with $rc: $said"
    fi
}

# With a FUSE daemon stopped every call on its mount blocks: the drive scan and the window's
# commands must end all the same.
for column in exfat ntfs; do
    [[ " ${columns[*]} " == *" $column "* ]] || continue
    scan="drive scan, daemon stopped"
    window="$(basename "${stall:-none}"), daemon stopped"
    pidfile=$T/$column.pid
    if [ ! -s "$pidfile" ]; then
        record "$scan" "$column" FAIL "${broken[$column]:-no daemon}"
        continue
    fi
    pid=$(cat "$pidfile")
    kill -STOP "$pid"
    bounded $SCAN_LIMIT "$logs/$column.scan.out" "$logs/$column.scan.log" "$driver" drives
    record_stalled "$scan" "$column" $SCAN_LIMIT "$logs/$column.scan.out" '^PASS'
    if [ -n "$stall" ]; then
        mkdir -p "$T/home-stall"
        HOME=$T/home-stall bounded $STALL_LIMIT "$logs/$column.stall.out" \
            "$logs/$column.stall.log" "$stall"
        record_stalled "$window" "$column" $STALL_LIMIT "$logs/$column.stall.out" '^(FAIL|Totals)'
    fi
    kill -CONT "$pid"
done

# The table: a row per case, a column per file system; then what each failure said.
printf '\nfsmatrix: the writers on real file systems (pass, FAIL, or - where a case does not apply;\n'
printf '"+data": with the data folder there too; full-: on a disk of a few MB)\n'
printf '%-40s' case
for column in "${columns[@]}"; do printf ' %-7s' "$column"; done
printf '\n'
for row in "${rows[@]}"; do
    printf '%-40s' "$row"
    for column in "${columns[@]}"; do printf ' %-7s' "${cell[$row|$column]:--}"; done
    printf '\n'
done
printf '\n'
for row in "${rows[@]}"; do
    for column in "${columns[@]}"; do
        [ "${cell[$row|$column]:-}" = FAIL ] &&
            printf 'FAIL %s / %s: %s\n' "$column" "$row" "${verdict[$row|$column]}"
    done
done
printf '\nfsmatrix: %d cells passed, %d failed, in %d s\n' "$passed" "$failed" $((SECONDS - started))
[ "$failed" -eq 0 ]
