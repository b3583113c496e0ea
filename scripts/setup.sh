#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, then configures and builds:
# everything, or with --program only what running the program needs (no tests, no
# benchmarks).
# Usage: scripts/setup.sh [--program] [build-dir] [extra cmake args...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
targets=()
if [ "${1:-}" = "--program" ]; then
    targets=(--target qm_program)
    shift
fi
build=${1:-"$here/build"}
shift || true

# qttools5-dev carries CMake's Qt5LinguistTools package (en.ts -> en.qm), the -tools
# package only lrelease itself. The offscreen platform plugin comes with libqt5gui5; the
# offscreen tests render text, so a font is named rather than left to fontconfig's choice.
# tzdata gives our CoreFoundation stand-in its named time zones. poppler-utils and python3
# read the exported PDF, CSV and HTML files back in the tests; sqlite3, pdfinfo and openssl
# are the peers the benchmarks time ours against, bc does their sums. clang and its runtime build the
# fuzz targets (-DQM_FUZZ=ON) whose corpora the test command replays. The file-system matrix
# (tests/fsmatrix) mounts through Debian's own clients: Samba served on loopback and mounted
# with smbnetfs, exFAT with exfat-fuse (made by exfatprogs), NTFS with ntfs-3g, all on FUSE
# (fuse3 also stands for the fuse that exfat-fuse asks for); iproute2 brings its loopback up.
packages=(
    build-essential cmake pkg-config
    qtbase5-dev qttools5-dev qttools5-dev-tools libqt5webkit5-dev fonts-dejavu-core
    libsqlite3-dev sqlite3 libplist-dev libmbedtls-dev libarchive-dev tzdata
    poppler-utils python3 openssl bc
    clang libclang-rt-14-dev
)
# Only the tests need the matrix's file systems.
[ ${#targets[@]} -eq 0 ] && packages+=(samba smbnetfs exfat-fuse exfatprogs ntfs-3g fuse3 iproute2)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update
    # Samba's package would start a system-wide smbd; the matrix starts its own, inside its
    # namespace only. A policy-rc.d that refuses every start keeps the package from it.
    policy=/usr/sbin/policy-rc.d
    own_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
        own_policy=1
    fi
    # Through env: sudo drops the caller's environment.
    status=0
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" || status=$?
    [ -n "$own_policy" ] && $sudo rm -f "$policy"
    [ "$status" -eq 0 ] || exit "$status"
fi

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON "$@"
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
