#!/usr/bin/env bash
# Finding copies, in figures (no pass or fail): on three machines of the
# bench's own (tests/support/dns_sd_network.sh; network, UTS and mount
# namespaces, joined by veth, multicast kept among them),
# - the CPU time and context switches of a copy at rest with discovery on
#   (its machine runs avahi-daemon, and another copy is announced), beside a
#   copy at rest on a machine without avahi-daemon, measured over the same
#   spell, from /proc;
# - the resident memory of that copy once the announcer
#   (tests/discovery/mdns_announcer.py) has announced a thousand copies,
#   and the CPU it used taking them in;
# - then discovery_flood_bench: a window's 10 ms timer quiet and during a
#   flood of announcements with malformed packets in between.
#
# Usage: discovery_bench.sh PATH/TO/varlo-zintabel PATH/TO/discovery_flood_bench [REST_SECONDS]
# Needs root, avahi-daemon and dbus-daemon; says so and exits 77 otherwise.

set -u
export LC_ALL=C.UTF-8

PROGRAM="$(readlink -f "${1:-}")"
FLOOD_BENCH="$(readlink -f "${2:-}")"
REST_SECONDS="${3:-60}"
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$HERE/.."
ANNOUNCER="$ROOT/tests/discovery/mdns_announcer.py"
source "$ROOT/tests/e2e/e2e_support.sh"
source "$ROOT/tests/e2e/window_driving.sh"
source "$ROOT/tests/support/dns_sd_network.sh"

[ -x "$PROGRAM" ] && [ -x "$FLOOD_BENCH" ] ||
    { echo "usage: $0 PATH/TO/varlo-zintabel PATH/TO/discovery_flood_bench [REST_SECONDS]" >&2; exit 2; }
TIME_LIMIT=$((REST_SECONDS + 300))
NS_A="vz-bench-$$-a"
NS_B="vz-bench-$$-b"
NS_C="vz-bench-$$-c"
VETH_A="vzb$$a"
VETH_B="vzb$$b"
ADDR_A=10.231.15.1
ADDR_B=10.231.15.2
ANNOUNCED="$ADDR_A 10.231.15.11 10.231.15.12 10.231.15.13"
TICKS=$(getconf CLK_TCK)

dns_sd_prerequisites
skip_unless_tools /usr/bin/python3
begin_checks
# Figures, not checks: no count at the end.
summary_due=false
trap 'status=$?; dns_sd_stop_all; (exit $status); cleanup' EXIT
make_network
for address in ${ANNOUNCED#"$ADDR_A"}; do
    ip -n "$NS_A" addr add "$address/24" dev "$VETH_A"
done
make_namespace "$NS_C"
dns_sd_start_host A "$NS_A" "$VETH_A" equipo-a daemon
dns_sd_start_host B "$NS_B" "$VETH_B" equipo-b daemon
dns_sd_start_host C "$NS_C" lo equipo-c
export VZ_DNS_SD_OUTER_NETNS
VZ_DNS_SD_OUTER_NETNS=$(readlink /proc/self/ns/net)

declare -A COPY_PID=()
# The copy's own PID (nsenter and env exec it).
start_bench_copy() {
    local prefix
    mapfile -t prefix < <(dns_sd_in "$1")
    "${prefix[@]}" QT_QPA_PLATFORM=offscreen "$PROGRAM" </dev/null >"$WORK/copy-$1.log" 2>&1 &
    COPY_PID[$1]=$!
    echo "${COPY_PID[$1]}" >>"$WORK/host-$1/pids"
}

# "CPU_TICKS VOLUNTARY INVOLUNTARY" of a process.
cpu_of() {
    local pid="$1"
    local stat
    stat=$(sed 's/.*) //' "/proc/$pid/stat")
    # utime and stime are the 12th and 13th fields after the command.
    echo "$(awk '{ print $12 + $13 }' <<<"$stat")" \
        "$(awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$pid/status")" \
        "$(awk '/^nonvoluntary_ctxt_switches/ { print $2 }' "/proc/$pid/status")"
}

kib_of() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }

# print_cpu WHAT BEFORE AFTER SECONDS
print_cpu() {
    local what="$1" seconds="$4" t0 v0 n0 t1 v1 n1
    read -r t0 v0 n0 <<<"$2"
    read -r t1 v1 n1 <<<"$3"
    awk -v w="$what" -v t=$((t1 - t0)) -v v=$((v1 - v0)) -v n=$((n1 - n0)) -v s="$seconds" -v hz="$TICKS" 'BEGIN {
        printf "  %-44s CPU %6.0f ms in %d s (%.3f %%), context switches %5d voluntary + %d involuntary (%.1f a second)\n",
            w, t * 1000 / hz, s, t * 100 / hz / s, v, n, (v + n) / s }'
}

echo "== a copy at rest, $REST_SECONDS s"
start_bench_copy A
start_bench_copy B
start_bench_copy C
# Settled: each has found the other and the window is idle.
sleep 8
if ! dns_sd_run B timeout 10 avahi-browse -rpt _varlo-zintabel._tcp 2>/dev/null | grep -q "^=.*;equipo-a;"; then
    echo "  (equipo-b does not see equipo-a's copy: the figures below are of discovery that found nothing)"
fi
rest_b0=$(cpu_of "${COPY_PID[B]}")
rest_c0=$(cpu_of "${COPY_PID[C]}")
sleep "$REST_SECONDS"
rest_b1=$(cpu_of "${COPY_PID[B]}")
rest_c1=$(cpu_of "${COPY_PID[C]}")
print_cpu "with avahi-daemon, one other copy announced" "$rest_b0" "$rest_b1" "$REST_SECONDS"
print_cpu "baseline: no avahi-daemon on its machine" "$rest_c0" "$rest_c1" "$REST_SECONDS"

echo "== the same copy, with 1,000 copies announced on the network"
rss_b0=$(kib_of "${COPY_PID[B]}" VmRSS)
rss_c0=$(kib_of "${COPY_PID[C]}" VmRSS)
flood_b0=$(cpu_of "${COPY_PID[B]}")
mapfile -t on_a < <(dns_sd_in A)
# shellcheck disable=SC2086
"${on_a[@]}" /usr/bin/python3 "$ANNOUNCER" --services 1000 --seconds 0 --stay $ANNOUNCED >"$WORK/announcer.log" 2>&1 &
announcer_pid=$!
echo "$announcer_pid" >>"$WORK/host-A/pids"
sleep 15
flood_b1=$(cpu_of "${COPY_PID[B]}")
print_cpu "taking in 1,000 announcements (15 s)" "$flood_b0" "$flood_b1" 15
echo "  resident memory: $rss_b0 KiB before, $(kib_of "${COPY_PID[B]}" VmRSS) KiB with 1,000 announced" \
    "(peak $(kib_of "${COPY_PID[B]}" VmHWM) KiB); the copy without avahi-daemon: $rss_c0 KiB"
kill "$announcer_pid" 2>/dev/null
kill "${COPY_PID[B]}" 2>/dev/null
timeout 10 tail --pid="${COPY_PID[B]}" -f /dev/null

# flood_bench TITLE ANNOUNCER-OPTIONS... : discovery_flood_bench on equipo-b,
# the announcer on equipo-a.
flood_bench() {
    echo "== discovery_flood_bench: $1"
    shift
    local announcer="nsenter -t ${DNS_SD_HOLDER[A]} -n -- /usr/bin/python3 $ANNOUNCER $* $ANNOUNCED"
    dns_sd_run B env QT_QPA_PLATFORM=offscreen VZ_ANNOUNCER="$announcer" timeout 200 "$FLOOD_BENCH" 10 2>&1 |
        grep -v -e propagateSizeHints -e '^Hay más de'
}
flood_bench "1,000 services announced again and again for 15 s at 1,000 packets a second" \
    --services 1000 --seconds 15 --rate 1000
flood_bench "the same as fast as the announcer can, malformed packets between" \
    --services 1000 --seconds 15 --junk
exit 0
