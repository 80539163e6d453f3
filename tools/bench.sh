#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench/) and runs them offscreen:
# chat_bench (whole windows over loopback, each figure beside a baseline
# measured in the same run), transcript_bench (the transcript control) and
# paste_bench (other programs pasting a large copy, under an Xvfb of its own)
# and discovery_bench.sh (finding copies, on machines of namespaces of its own).
#   tools/bench.sh                      everything (about 20 minutes)
#   tools/bench.sh latency accept       some chat_bench groups only
#   tools/bench.sh discovery [REST_SECONDS]
#                                       finding copies only (discovery_bench.sh): a copy's
#                                       CPU at rest, its memory with 1,000 copies announced,
#                                       a window's 10 ms timer during a flood of them
#                                       (needs root and avahi-daemon; part of the run above)
#   tools/bench.sh hour [SECONDS [MB_PER_S]]
#                                       an hour's full-speed flood into one window
#                                       (hour_bench; not part of the run above)
# VZ_HOUR_DISK_GIB=N (as root) gives the hour's transcript a disk of N GiB of
# its own, an ext4 image mounted for the run: once the flood fills it the
# window waits for room, and gets a gibibyte of room again twice, 20 s into
# each wait, and once more at the end for what still waits in the network.
# VZ_BENCH_DIR chooses another build directory.
set -euo pipefail
source "$(dirname "$0")/common.sh"

vz_ensure_packages "${VZ_BUILD_PACKAGES[@]}" xvfb xclip avahi-daemon avahi-utils dbus-daemon # paste_bench, discovery
dir="${VZ_BENCH_DIR:-$VZ_ROOT/build-bench}"
cmake -S "$VZ_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
discovery_bench() {
    local status=0
    "$VZ_ROOT/bench/discovery_bench.sh" "$dir/varlo-zintabel" "$dir/bench/discovery_flood_bench" "$@" || status=$?
    # 77: this machine cannot make the bench's machines (not root, no avahi-daemon).
    [ $status -eq 77 ] && return 0
    return $status
}
if [ "${1:-}" = discovery ]; then
    cmake --build "$dir" --parallel "$(nproc)" --target varlo-zintabel discovery_flood_bench
    export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
    discovery_bench "${@:2}"
    exit
fi
if [ "${1:-}" = hour ]; then
    cmake --build "$dir" --parallel "$(nproc)" --target hour_bench
    export QT_QPA_PLATFORM=offscreen
    export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
    if [ -z "${VZ_HOUR_DISK_GIB:-}" ]; then
        exec "$VZ_ROOT/tests/support/own_network.sh" "$dir/bench/hour_bench" "${@:2}"
    fi
    disk=$(mktemp -d)
    image="$disk.img"
    trap 'umount "$disk" 2>/dev/null; rm -rf "$disk" "$image"' EXIT
    truncate -s "${VZ_HOUR_DISK_GIB}G" "$image"
    mkfs.ext4 -q -F "$image"
    mount -o loop "$image" "$disk"
    # Room held back while the flood fills the disk, given back twice, then at the end.
    for n in 1 2 3; do fallocate -l 1G "$disk/room$n"; done
    TMPDIR="$disk" "$VZ_ROOT/tests/support/own_network.sh" "$dir/bench/hour_bench" \
        "${2:-3600}" "${3:-0}" "$disk/room1,$disk/room2,$disk/room3"
    exit
fi
cmake --build "$dir" --parallel "$(nproc)" --target chat_bench transcript_bench paste_bench \
    varlo-zintabel discovery_flood_bench

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
status=0
# chat_bench opens its windows and peers in a network namespace of its own, as
# the tests do (with a user namespace when this is not root), so that nothing
# else using the chat's port gets in its way; where none can be made, here.
own_network=("$VZ_ROOT/tests/support/own_network.sh")
if ! "${own_network[@]}" true >/dev/null; then
    echo "Aviso: no se puede crear un espacio de red propio; chat_bench usa la red de este equipo." >&2
    own_network=()
fi
echo "== chat_bench"
# Qt's offscreen plugin notes what it cannot do on stderr; that is not a figure.
"${own_network[@]}" "$dir/chat_bench" "$@" 2> >(grep -v -e 'propagateSizeHints' >&2) || status=1
if [ $# -eq 0 ]; then
    echo
    echo "== transcript_bench"
    "$dir/bench/transcript_bench" || status=1
    echo
    echo "== paste_bench"
    "$dir/bench/paste_bench" || status=1
    echo
    echo "== discovery_bench"
    discovery_bench || status=1
fi
exit $status
