# Shared by the end-to-end scripts in this folder: reporting, clean-up, a time
# limit, waiting, network namespaces, a private X server, and the window's
# layout as the program has it.  Sourced; the script sets TIME_LIMIT (seconds) before begin_checks
# and may define before_summary, run at the end before the count is printed.
# shellcheck shell=bash

SKIPPED=77
# How long one wait for something to show up may take.
WAIT=15

PORT=49577

# The window's layout in twips, "left top width height" by control name, and
# the client area's size; filled by load_layout.  A point is placed by scaling
# with the real window width.
declare -A LAYOUT=()
WINDOW_TWIPS_WIDTH=""
WINDOW_TWIPS_HEIGHT=""

passed=0
failed=0
summary_due=false   # set once checks have begun: every end then prints the count
WORK=""
XVFB_PID=""
SERVER_PIDS=()      # other display servers started by the script
WATCHDOG_PID=""
CREATED_NS=()
declare -A PID_OF=()      # copy name -> process id

# ---------------------------------------------------------------- reporting

pass() { echo "PASS: $*"; passed=$((passed + 1)); }

fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
    save_failure_screenshot
}

note() { echo "  .. $*"; }

skip_all() {
    echo "SKIP: $*"
    summary_due=false
    exit "$SKIPPED"
}

# Where pictures taken at failures are kept after the run.
artifacts_dir() { echo "${VZ_E2E_ARTIFACTS:-${TMPDIR:-/tmp}/vz-e2e-$$}"; }

# A picture of the whole screen at each failure, kept after the run.
save_failure_screenshot() {
    [ -n "${DISPLAY:-}" ] && command -v import >/dev/null || return 0
    local dir
    dir=$(artifacts_dir)
    mkdir -p "$dir" || return 0
    local file="$dir/failure-$failed.png"
    timeout 10 import -window root "$file" 2>/dev/null && note "screen at this failure: $file"
}

# Shows a byte string readably (for differences between texts).
show_bytes() { od -An -c | sed 's/^/     /'; }

# ---------------------------------------------------------------- clean-up

cleanup() {
    local status=$?
    [ -n "$WATCHDOG_PID" ] && kill "$WATCHDOG_PID" 2>/dev/null
    local pid ns
    for pid in "${PID_OF[@]}"; do kill "$pid" 2>/dev/null; done
    # Whatever still runs inside our namespaces was started by this script.
    for ns in "${CREATED_NS[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
    done
    for ns in "${CREATED_NS[@]}"; do
        # Deleting a namespace also removes its end of the veth pair.
        ip netns del "$ns" 2>/dev/null
    done
    for pid in "$XVFB_PID" "${SERVER_PIDS[@]}"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if declare -F before_summary >/dev/null; then
        before_summary || status=1
    fi
    if $summary_due; then
        [ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && failed=1
        echo "$passed passed, $failed failed"
        [ "$failed" -ne 0 ] && status=1
    fi
    [ -n "$WORK" ] && rm -rf "$WORK"
    exit "$status"
}

# Stops the script once TIME_LIMIT has gone by, whatever it is waiting for.
start_watchdog() {
    local main=$$
    (
        # The sleep is ended with the watchdog, so that nothing keeps this
        # script's output open after it is done.
        sleep "$TIME_LIMIT" &
        sleeper=$!
        trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
        wait "$sleeper" || exit 0
        echo "FAIL: the script took more than $TIME_LIMIT s and was stopped"
        kill -TERM "$main"
    ) &
    WATCHDOG_PID=$!
}

# Makes WORK, sets the clean-up and the time limit, and starts counting.
begin_checks() {
    WORK=$(mktemp -d /tmp/vz-e2e.XXXXXX)
    trap cleanup EXIT
    trap 'exit 1' TERM INT HUP
    start_watchdog
    summary_due=true
}

# skip_unless_tools TOOL... : skips the whole script if one is missing.
skip_unless_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || skip_all "missing tool: $tool"
    done
}

# ---------------------------------------------------------------- set-up

# load_layout TOOL : reads the layout from the program's own table, printed by
# TOOL (tests/e2e/window_layout): one line per control, "name left top width
# height", the client area first as "Form1".
load_layout() {
    local name left top width height
    [ -x "$1" ] || { echo "FAIL: layout tool not found: $1"; exit 1; }
    while read -r name left top width height; do
        LAYOUT[$name]="$left $top $width $height"
    done < <("$1")
    [ -n "${LAYOUT[Form1]:-}" ] && [ -n "${LAYOUT[TxtTexto]:-}" ] \
        || { echo "FAIL: $1 did not print the layout"; exit 1; }
    read -r _ _ WINDOW_TWIPS_WIDTH WINDOW_TWIPS_HEIGHT <<<"${LAYOUT[Form1]}"
}

# make_namespace NS : a network namespace with only its loopback, up.
make_namespace() {
    ip netns add "$1" 2>/dev/null || skip_all "cannot make network namespaces here"
    CREATED_NS+=("$1")
    ip -n "$1" link set lo up
}

# True once something in namespace NS listens on the chat's port.
listening_in() { ip netns exec "$1" ss -Htln "( sport = :$PORT )" | grep -q .; }

# The copies reach the X server through its socket file in /tmp/.X11-unix
# (a network namespace hides the abstract socket).  Other X servers started on
# this machine while this runs may replace or remove files there as they look
# for a free display number, which would cut the copies off; so this script
# runs in a mount namespace of its own with a private /tmp/.X11-unix.  The
# namespaces of the network made below are then seen only from in here too.
use_private_x_directory() {
    if [ -z "${VZ_E2E_PRIVATE_MOUNTS:-}" ]; then
        mkdir -p /tmp/.X11-unix
        VZ_E2E_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private bash "$0" "$@"
    fi
    mount -t tmpfs -o mode=1777 vz-e2e-x11 /tmp/.X11-unix \
        || { echo "FAIL: could not mount a private /tmp/.X11-unix"; exit 1; }
}

# start_x NS : one X server of our own, on a number chosen here (high, varied
# by the process id) among those whose lock file in /tmp (shared with the rest
# of the machine) is free, so that it never competes with the servers of other
# programs for the usual low numbers; checked from inside namespace NS, as the
# copies will reach it.
start_x() {
    local ns="$1" first=$((300 + $$ % 400)) number
    for number in $(seq "$first" $((first + 30))); do
        [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] && continue
        if try_x "$number"; then
            export DISPLAY=":$number"
            if ! wait_for "X display $DISPLAY from $ns" ip netns exec "$ns" timeout 10 xdotool getmouselocation; then
                fail "X display $DISPLAY not usable from inside a namespace"
                exit 1
            fi
            return 0
        fi
    done
    fail "could not start Xvfb"
    sed 's/^/     /' "$WORK/xvfb.log"
    exit 1
}

# try_x NUMBER : starts Xvfb on that display; it writes the number to fd 3
# once it accepts clients, and exits at once if another server holds it.
# -noreset: by default the server resets itself whenever its last client
# leaves, and a client connecting during that reset is refused, as a copy
# started right after the previous one closed would be.
try_x() {
    local fifo="$WORK/displayfd-$1"
    mkfifo "$fifo"
    Xvfb ":$1" -displayfd 3 -nolisten tcp -noreset -screen 0 1280x800x24 -dpi 96 3>"$fifo" >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local ready
    ready=$(timeout 20 head -n1 "$fifo") || true
    [ "$ready" = "$1" ] && return 0
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
    return 1
}

# ---------------------------------------------------------------- waiting

# Every X tool call is bounded: a lost X reply must not hang the run.
xdo() { timeout 10 xdotool "$@"; }

# wait_for DESCRIPTION COMMAND... : runs COMMAND until it succeeds, for at
# most WAIT seconds (or WAIT_SECONDS if set by the caller).
wait_for() {
    local what="$1"
    shift
    local deadline=$((SECONDS + ${WAIT_SECONDS:-$WAIT}))
    while ! "$@" >/dev/null 2>&1; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            note "gave up waiting for: $what"
            return 1
        fi
        sleep 0.2
    done
}

# ---------------------------------------------------------------- pictures

# colour_rows_in IMAGE GEOMETRY KIND : the first and last row (within the
# WIDTHxHEIGHT+X+Y part of IMAGE) that hold received-colour text (KIND=blue,
# bluish) or default text (KIND=dark, near black), as "first last"; "" if
# none.
colour_rows_in() {
    local image="$1" geometry="$2" kind="$3"
    timeout 20 convert "$image" -crop "$geometry" +repage -depth 8 txt:- |
        awk -v kind="$kind" -F'[,:() ]+' '
            NR > 1 {
                # "X,Y: (R,G,B)  #RRGGBB  name"
                r = $3; g = $4; b = $5; row = $2
                blue = (b > r + 80 && b > g + 80)
                dark = (r < 70 && g < 70 && b < 70)
                if ((kind == "blue" && blue) || (kind == "dark" && dark)) {
                    if (first == "" || row < first) first = row
                    if (row > last) last = row
                }
            }
            END { if (first != "") print first, last }'
}
