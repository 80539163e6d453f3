# Machines of the test's own for DNS-SD: each one a network namespace (made
# by the script, joined to the others by veth) plus a process holding a UTS
# namespace with a host name of its own and a mount namespace where /run is
# a private tmpfs. There it runs a private D-Bus system bus and, if asked,
# its own avahi-daemon, limited to the machine's veth. What runs "on" a
# machine enters those namespaces with nsenter and finds the private bus
# through DBUS_SYSTEM_BUS_ADDRESS (and at the usual path in its own /run, so
# that nothing on it can reach this computer's own system bus).
#
# Multicast stays among the test's namespaces: the daemon is started only
# after the holder has checked that it is in another network namespace than
# the script's, its only interfaces are the namespace's loopback and one end
# of a veth pair whose other end is in another of the test's namespaces, and
# its configuration allows that veth alone.
#
# Sourced after tests/e2e/e2e_support.sh (WORK, skip_all, wait_for, the
# clean-up of the namespaces). Usage:
#   dns_sd_prerequisites                       skips the script (77) where it cannot run
#   dns_sd_start_host KEY NS IFACE HOSTNAME [daemon]
#   dns_sd_in KEY                              prints the command prefix that runs on it
#   dns_sd_session_bus KEY                     a session bus and an accessibility bus on it
#   dns_sd_stop_all                            stops every daemon by its PID (set as a trap)
# shellcheck shell=bash

DNS_SD_HARNESS="${BASH_SOURCE[0]}"
declare -A DNS_SD_HOLDER=()   # key -> PID of the process holding its namespaces
DNS_SD_PIDS_FILES=()

dns_sd_prerequisites() {
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to make network, UTS and mount namespaces"
    local tool
    for tool in ip unshare nsenter mount dbus-daemon avahi-daemon avahi-browse; do
        command -v "$tool" >/dev/null || skip_all "missing tool: $tool"
    done
    unshare --uts --mount true 2>/dev/null || skip_all "cannot make UTS and mount namespaces here"
}

# dns_sd_start_host KEY NS IFACE HOSTNAME [daemon]
dns_sd_start_host() {
    local key="$1" ns="$2" iface="$3" host="$4" daemon="${5:-}"
    local dir="$WORK/host-$key"
    mkdir -p "$dir/runtime"
    chmod 700 "$dir/runtime"
    cat >"$dir/system-bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
    cat >"$dir/avahi-daemon.conf" <<EOF
[server]
host-name=$host
use-ipv4=yes
use-ipv6=no
allow-interfaces=$iface
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
publish-a-on-ipv6=no
[reflector]
enable-reflector=no
EOF
    VZ_DNS_SD_OUTER_NETNS=$(readlink /proc/self/ns/net) \
        ip netns exec "$ns" unshare --uts --mount --propagation private \
        bash "$DNS_SD_HARNESS" hold "$dir" "$host" "$iface" "$daemon" >"$dir/holder.log" 2>&1 &
    DNS_SD_HOLDER[$key]=$!
    DNS_SD_PIDS_FILES+=("$dir/pids")
    if ! WAIT_SECONDS=20 wait_for "machine $key ready" test -e "$dir/ready"; then
        fail "machine $key ($host) did not start; its log:"
        sed 's/^/     /' "$dir/holder.log" "$dir"/*.log 2>/dev/null
        exit 1
    fi
}

# The words that run a command on machine KEY: its namespaces, its buses.
dns_sd_in() {
    local key="$1" dir="$WORK/host-$1"
    local words=(nsenter -t "${DNS_SD_HOLDER[$key]}" -n -u -m -- env
        DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket XDG_RUNTIME_DIR="$dir/runtime")
    [ -e "$dir/session-bus" ] && words+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/session-bus")
    printf '%s\n' "${words[@]}"
}

# dns_sd_run KEY COMMAND... : runs COMMAND on machine KEY.
dns_sd_run() {
    local key="$1" prefix
    shift
    mapfile -t prefix < <(dns_sd_in "$key")
    "${prefix[@]}" "$@"
}

# A session bus and an accessibility bus on machine KEY, for a screen
# reader's view of the copy there. The launcher gets no DISPLAY: it would
# otherwise write its bus's address on the X server, which every machine's
# copy shares, and a copy would follow another machine's address.
dns_sd_session_bus() {
    local key="$1" dir="$WORK/host-$1" prefix
    # Started straight from here (nsenter and env exec them), so that the
    # PIDs kept are the daemons' own.
    mapfile -t prefix < <(dns_sd_in "$key")
    "${prefix[@]}" env -u DISPLAY dbus-daemon --session --address="unix:path=$dir/session-bus" \
        --nofork --nopidfile >"$dir/session-bus.log" 2>&1 &
    echo $! >>"$dir/pids"
    wait_for "session bus of $key" test -S "$dir/session-bus" || return 1
    "${prefix[@]}" env -u DISPLAY DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/session-bus" \
        /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 >"$dir/at-spi.log" 2>&1 &
    echo $! >>"$dir/pids"
    wait_for "accessibility bus of $key" dns_sd_run "$key" dbus-send --session --dest=org.a11y.Bus \
        --print-reply /org/a11y/bus org.a11y.Bus.GetAddress
}

# Every daemon the machines started, by its PID: asked first, then made to.
dns_sd_stop_all() {
    local file pid pids=()
    for file in "${DNS_SD_PIDS_FILES[@]}"; do
        [ -e "$file" ] && while read -r pid; do pids+=("$pid"); done <"$file"
    done
    pids+=("${DNS_SD_HOLDER[@]}")
    [ ${#pids[@]} -gt 0 ] || return 0
    kill "${pids[@]}" 2>/dev/null
    for _ in $(seq 20); do
        kill -0 "${pids[@]}" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "${pids[@]}" 2>/dev/null
    DNS_SD_PIDS_FILES=()
    DNS_SD_HOLDER=()
    return 0
}

# ---------------------------------------------------------------- the holder
# bash dns_sd_network.sh hold DIR HOSTNAME IFACE [daemon] : runs in the new
# UTS and mount namespaces, inside the machine's network namespace.
dns_sd_hold() {
    local dir="$1" host="$2" iface="$3" daemon="$4"
    set -u
    local here
    here=$(readlink /proc/self/ns/net)
    if [ -z "${VZ_DNS_SD_OUTER_NETNS:-}" ] || [ "$here" = "$VZ_DNS_SD_OUTER_NETNS" ]; then
        echo "refusing: not in a network namespace of the test's own" >&2
        exit 1
    fi
    # Only the loopback and the one veth end: nothing else can carry a packet.
    local others
    others=$(ip -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $2 }' | grep -vx -e lo -e "$iface")
    if [ -n "$others" ]; then
        echo "refusing: the namespace has other interfaces: $others" >&2
        exit 1
    fi
    hostname "$host" || exit 1
    mount -t tmpfs -o mode=755 vz-dns-sd-run /run || exit 1
    mkdir -p /run/dbus /run/avahi-daemon
    # No static services or hosts of this computer's.
    mkdir -p "$dir/empty"
    : >"$dir/empty-hosts"
    [ -d /etc/avahi/services ] && mount --bind "$dir/empty" /etc/avahi/services
    [ -e /etc/avahi/hosts ] && mount --bind "$dir/empty-hosts" /etc/avahi/hosts
    : >"$dir/pids"
    dbus-daemon --config-file="$dir/system-bus.conf" --nofork --nopidfile >"$dir/dbus.log" 2>&1 &
    echo $! >>"$dir/pids"
    for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
    if [ "$daemon" = daemon ]; then
        avahi-daemon -f "$dir/avahi-daemon.conf" --no-chroot --no-drop-root --no-rlimits \
            >"$dir/avahi.log" 2>&1 &
        echo $! >>"$dir/pids"
        # Running once it has its name on the bus and a host name chosen.
        for _ in $(seq 100); do
            grep -q "Server startup complete" "$dir/avahi.log" && break
            sleep 0.1
        done
        grep -q "Server startup complete" "$dir/avahi.log" || { echo "avahi-daemon did not start" >&2; exit 1; }
    fi
    : >"$dir/ready"
    # Held until stopped; the daemons are stopped by their own PIDs.
    local sleeper
    trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
    while :; do
        sleep 3600 &
        sleeper=$!
        wait "$sleeper"
    done
}

if [ "${1:-}" = hold ] && [ "${BASH_SOURCE[0]}" = "$0" ]; then
    shift
    dns_sd_hold "$@"
fi
