#!/usr/bin/env bash
# The Debian package as a user gets it: installed with apt-get, started the
# way the desktop's menu starts it (the Exec line of its menu entry) under a
# virtual X server, in a network namespace of its own, where its window must
# appear and it must listen on the chat's port; then purged, and the machine's
# package list must be as it was before.
#
# Usage: installed_package.sh PATH/TO/varlo-zintabel_VERSION_ARCH.deb
# Needs root, apt-get, Xvfb, xdotool and ss.  Skipped (77) where the package
# is installed already, since purging it would not leave the machine as found.
# Exits 0 when every check passed, 1 when one failed.

set -u
export LC_ALL=C.UTF-8

DEB="${1:-}"
source "$(dirname "$0")/e2e_support.sh"

TIME_LIMIT="${VZ_E2E_TIME_LIMIT:-300}"
NS="vz-pkg-$$"
PACKAGE=varlo-zintabel
INSTALLED=false
export DEBIAN_FRONTEND=noninteractive

check_prerequisites() {
    [ -n "$DEB" ] || { echo "usage: $0 PATH/TO/varlo-zintabel.deb" >&2; exit 2; }
    [ -f "$DEB" ] || { echo "FAIL: package not found: $DEB"; exit 1; }
    DEB=$(realpath "$DEB")
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to install packages"
    skip_unless_tools apt-get dpkg-query ip ss Xvfb xdotool timeout
    unshare --mount true 2>/dev/null || skip_all "cannot make a mount namespace here"
    if is_installed; then
        skip_all "$PACKAGE is installed already; purging it afterwards would not leave the machine as found"
    fi
}

is_installed() { dpkg-query -W -f='${Status}\n' "$PACKAGE" 2>/dev/null | grep -q ' installed$'; }

# Every package on the machine with its version and state.
package_list() { dpkg-query -W -f='${binary:Package} ${Version} ${Status}\n' | sort; }

install_package() {
    package_list >"$WORK/before"
    if apt-get install -y --no-install-recommends "$DEB" >"$WORK/apt.log" 2>&1; then
        INSTALLED=true
        pass "apt-get installed $(basename "$DEB")"
    else
        fail "apt-get could not install $(basename "$DEB"):"
        sed 's/^/     /' "$WORK/apt.log"
        exit 1
    fi
}

check_files() {
    local path missing=()
    for path in /usr/bin/varlo-zintabel /usr/share/applications/varlo-zintabel.desktop \
        /usr/share/icons/hicolor/48x48/apps/varlo-zintabel.png \
        /usr/share/metainfo/varlo-zintabel.metainfo.xml; do
        [ -e "$path" ] || missing+=("$path")
    done
    man -w varlo-zintabel >/dev/null 2>&1 || missing+=("manual page")
    if [ ${#missing[@]} -eq 0 ]; then
        pass "program, menu entry, icon, metainfo and manual page are installed"
    else
        fail "missing after installing: ${missing[*]}"
    fi
}

# desktop_key KEY : the value of KEY in the installed menu entry.
desktop_key() { sed -n "s/^$1=//p" /usr/share/applications/varlo-zintabel.desktop | head -n1; }

# Starts the Exec line of the menu entry (it takes no file arguments) with the
# search path a desktop session has.
start_from_menu_entry() {
    local -a command
    read -ra command <<<"$(desktop_key Exec)"
    ip netns exec "$NS" env -i PATH=/usr/local/bin:/usr/bin:/bin DISPLAY="$DISPLAY" \
        LC_ALL=C.UTF-8 "${command[@]}" </dev/null >"$WORK/copy.log" 2>&1 &
    PID_OF[copy]=$!
}

window_title() {
    local wid
    wid=$(xdo search --all --onlyvisible --pid "${PID_OF[copy]}" --name ' - ' 2>/dev/null | head -n1)
    [ -n "$wid" ] && xdo getwindowname "$wid"
}

window_says_disconnected() { [[ "$(window_title)" == *" - Desconectado" ]]; }

check_running_copy() {
    local exe
    start_from_menu_entry
    if wait_for "the window of the installed program" window_says_disconnected; then
        exe=$(readlink "/proc/${PID_OF[copy]}/exe")
        pass "the menu entry started $exe; its window appeared: '$(window_title)'"
    else
        fail "no window appeared for the menu entry's command; its output:"
        sed 's/^/     /' "$WORK/copy.log"
        return
    fi
    if wait_for "the chat's port" listening_in "$NS"; then
        pass "the installed program listens on port $PORT"
    else
        fail "the installed program does not listen on port $PORT"
    fi
}

# Run at the end, whatever happened: purges the package and what apt-get
# brought in for it, and compares the machine's package list with the one
# taken before.
before_summary() {
    $INSTALLED || return 0
    package_list >"$WORK/installed"
    local -a brought
    mapfile -t brought < <(comm -13 <(cut -d' ' -f1 "$WORK/before") <(cut -d' ' -f1 "$WORK/installed"))
    if apt-get purge -y "${brought[@]}" >"$WORK/purge.log" 2>&1 &&
        package_list | cmp -s - "$WORK/before" && [ ! -e /usr/share/doc/varlo-zintabel ]; then
        pass "purged ${brought[*]}; the package list is as before"
    else
        fail "after purging ${brought[*]} the machine differs from before:"
        package_list | diff "$WORK/before" - | sed 's/^/     /'
        sed 's/^/     /' "$WORK/purge.log"
    fi
}

main() {
    check_prerequisites
    use_private_x_directory "$@"
    begin_checks
    install_package
    check_files
    make_namespace "$NS"
    start_x "$NS"
    check_running_copy
    [ "$failed" -eq 0 ]
}

main "$@"
