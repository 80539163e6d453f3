#!/usr/bin/env bash
# A hostile announcer and one copy, on two machines of the test's own
# (tests/support/dns_sd_network.sh): the copy's machine runs its own
# avahi-daemon; the announcer's runs none, and mdns_announcer.py sends it
# raw mDNS responses from four addresses of its veth. The copy is the Qt
# Test test_hostile_announcer, a Form1 in process, which starts the announcer
# itself and checks what the window made of it.
#
# Usage: hostile_announcer.sh PATH/TO/test_hostile_announcer PATH/TO/mdns_announcer.py
# Exits with the test's status; 77 (skipped) where root, namespaces or
# avahi-daemon are missing.

set -u
export LC_ALL=C.UTF-8

TEST="$(readlink -f "${1:-}")"
ANNOUNCER="$(readlink -f "${2:-}")"
HERE="$(cd "$(dirname "$0")" && pwd)"
source "$HERE/../e2e/e2e_support.sh"
source "$HERE/../e2e/window_driving.sh"
source "$HERE/../support/dns_sd_network.sh"

TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-170}"
NS_A="vz-flood-$$-a"
NS_B="vz-flood-$$-b"
VETH_A="vzf$$a"
VETH_B="vzf$$b"
ADDR_A=10.231.14.1
ADDR_B=10.231.14.2
ANNOUNCED="$ADDR_A 10.231.14.11 10.231.14.12 10.231.14.13"

[ -x "$TEST" ] && [ -f "$ANNOUNCER" ] || { echo "usage: $0 PATH/TO/test_hostile_announcer PATH/TO/mdns_announcer.py" >&2; exit 2; }
dns_sd_prerequisites
skip_unless_tools /usr/bin/python3
begin_checks
trap 'status=$?; dns_sd_stop_all; (exit $status); cleanup' EXIT
make_network
for address in ${ANNOUNCED#"$ADDR_A"}; do
    ip -n "$NS_A" addr add "$address/24" dev "$VETH_A"
done
dns_sd_start_host A "$NS_A" "$VETH_A" anunciante
dns_sd_start_host B "$NS_B" "$VETH_B" equipo-b daemon

# The test runs inside its own namespaces; it checks it is not in the one it
# was started from.
export VZ_OUTER_NETNS="${VZ_OUTER_NETNS:-$(readlink /proc/self/ns/net)}"
export VZ_DNS_SD_OUTER_NETNS
VZ_DNS_SD_OUTER_NETNS=$(readlink /proc/self/ns/net)
# shellcheck disable=SC2086
announcer="nsenter -t ${DNS_SD_HOLDER[A]} -n -- /usr/bin/python3 $ANNOUNCER --services 1000 --seconds 15 --junk $ANNOUNCED"
dns_sd_run B env QT_QPA_PLATFORM=offscreen VZ_ANNOUNCER="$announcer" VZ_ANNOUNCED_ADDRESSES="$ANNOUNCED" \
    timeout $((TIME_LIMIT - 20)) "$TEST"
status=$?
if [ $status -eq 0 ]; then
    pass "test_hostile_announcer"
else
    fail "test_hostile_announcer exited with status $status"
    echo "  avahi-daemon on equipo-b said:"
    grep -v '^Received\|^Joining' "$WORK/host-B/avahi.log" | tail -n 20 | sed 's/^/     /'
fi
[ "$failed" -eq 0 ]
