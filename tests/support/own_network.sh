#!/bin/sh
# own_network.sh PROGRAM [ARGUMENTS...]
# Runs a test in a network namespace of its own, whose only interface is its
# loopback, brought up here. Whatever else on this machine uses the chat's
# port (a copy of the program, another run of the tests) is out of the test's
# sight, and the test is out of theirs; inside, any loopback address is free.
# As root this is a plain network namespace; otherwise it comes with a user
# namespace of its own (unshare -rn), where the kernel allows one. Where no
# namespace can be made the test is not run: exit status 77, which CTest
# reports as skipped.
set -u
SKIPPED=77
PATH="$PATH:/usr/sbin:/sbin"

if [ "${VZ_OWN_NETWORK_STAGE:-}" != inside ]; then
    if [ "$(id -u)" -eq 0 ]; then
        options="--net"
    else
        options="--map-root-user --net"
    fi
    if ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
        echo "SKIP: own_network.sh needs unshare (util-linux) and ip (iproute2)"
        exit $SKIPPED
    fi
    # shellcheck disable=SC2086
    if ! unshare $options true 2>/dev/null; then
        echo "SKIP: this machine does not let $(id -un) make a network namespace (unshare $options)"
        exit $SKIPPED
    fi
    # The test checks that it runs in another namespace than this one.
    VZ_OUTER_NETNS=$(readlink /proc/self/ns/net)
    VZ_OWN_NETWORK_STAGE=inside
    export VZ_OUTER_NETNS VZ_OWN_NETWORK_STAGE
    # shellcheck disable=SC2086
    exec unshare $options sh "$0" "$@"
fi

unset VZ_OWN_NETWORK_STAGE
if ! ip link set lo up; then
    echo "SKIP: could not bring up the loopback of the test's own network namespace"
    exit $SKIPPED
fi
# VZ_OWN_NETWORK_ROUTED=1: the namespace looks like a machine on a network,
# with two more interfaces, 10.231.8.9/24 first, then 10.231.9.7/24, which
# carries the default route (via 10.231.9.1, which answers nothing). Each is
# one end of a veth pair whose other end stays here, so that both are up.
if [ -n "${VZ_OWN_NETWORK_ROUTED:-}" ]; then
    if ! { ip link add vzfirst type veth peer name vzfirst-end &&
        ip link add vzrouted type veth peer name vzrouted-end &&
        ip addr add 10.231.8.9/24 dev vzfirst && ip addr add 10.231.9.7/24 dev vzrouted &&
        ip link set vzfirst up && ip link set vzfirst-end up &&
        ip link set vzrouted up && ip link set vzrouted-end up &&
        ip route add default via 10.231.9.1 dev vzrouted; }; then
        echo "SKIP: could not give the test's own network namespace its interfaces and default route"
        exit $SKIPPED
    fi
fi
exec "$@"
