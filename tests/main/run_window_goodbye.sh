#!/usr/bin/env bash
# The window on a real X server (Xvfb) says goodbye when asked to end by a
# signal: SIGTERM and SIGINT, to paddock-marshal-gui run by hand and to
# paddock-marshal, which hands over to it. Each time a connected simulated
# host must see TINY_CLOSE and the program must end with 0.
#
#   run_window_goodbye.sh PADDOCK_MARSHAL PADDOCK_MARSHAL_GUI PADDOCK_SIM
#
# The offscreen platform starts none of the threads an X connection brings,
# so it cannot stand in for a display here. Without Xvfb the test is skipped
# (exit 77).
set -u

if [ $# -ne 3 ]; then
    echo "usage: $0 PADDOCK_MARSHAL PADDOCK_MARSHAL_GUI PADDOCK_SIM" >&2
    exit 2
fi
marshal=$1
gui=$2
simulator=$3

if ! command -v Xvfb >/dev/null; then
    echo "SKIP: Xvfb is not installed (scripts/bootstrap installs it)"
    exit 77
fi

# Job control, so that a program started in the background keeps SIGINT as
# a terminal would deliver it, not ignored as a script's background jobs do.
set -m

work=$(mktemp -d "${TMPDIR:-/tmp}/pm_goodbye.XXXXXX")
xvfb_pid=
sim_pid=
program_pid=
stop() {
    local pid=$1
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
}
cleanup() {
    stop "$program_pid"
    stop "$sim_pid"
    stop "$xvfb_pid"
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in xvfb.err sim.out program.out; do
        echo "---- $f" >&2
        cat "$work/$f" >&2 2>/dev/null
    done
    exit 1
}

# Polls (every 0.1 s, at most $1 seconds) until the command after it succeeds.
wait_until() {
    local tries=$(($1 * 10))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
has_line() { grep -q -- "$2" "$work/$1" 2>/dev/null; }
gone() { ! kill -0 "$1" 2>/dev/null; }

# Xvfb picks a free display and names it on the descriptor it is given.
Xvfb -displayfd 3 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
xvfb_pid=$!
wait_until 20 test -s "$work/display" || fail "Xvfb did not start"
display=:$(head -n 1 "$work/display")

# One run: a fresh host, the program connected to it, then the signal.
goodbye() {
    local program=$1 signal=$2 extra=${3:-0} what="$(basename "$1") on SIG$2"
    [ "$extra" -eq 0 ] || what="$what, a message box open before the window shows"
    : >"$work/sim.out"
    "$simulator" --port 0 >"$work/sim.out" 2>&1 &
    sim_pid=$!
    wait_until 20 has_line sim.out '^port ' || fail "$what: the simulator did not start"
    local port
    port=$(sed -n 's/^port \([0-9]*\).*/\1/p' "$work/sim.out" | head -n 1)
    printf '%s\r\n' "[NEW SERVER]" "Name=Goodbye" "Host=127.0.0.1" "InSim Port=$port" \
        "Listen Port=$((port + 1))" "Admin PW=pw" "Connect=1" "Last Race=1" "Reverse Top=0" \
        "Reverse Count=10" >"$work/goodbye.cfg"
    # More servers than a run holds: the start-up says so in a message box.
    local n
    for ((n = 0; n < extra; n++)); do
        printf '%s\r\n' "[NEW SERVER]" "Name=Idle $n" "Host=127.0.0.1" "InSim Port=1" "Listen Port=0" \
            "Admin PW=" "Connect=0" "Last Race=1" "Reverse Top=0" "Reverse Count=10" >>"$work/goodbye.cfg"
    done

    env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY="$display" XDG_RUNTIME_DIR="$work" \
        "$program" --config "$work/goodbye.cfg" >"$work/program.out" 2>&1 &
    program_pid=$!
    # The last of the client's opening requests: the window and its link
    # are up, and Qt's threads with them.
    wait_until 30 has_line sim.out 'TINY_NPL' || fail "$what: the window did not connect"

    kill -"$signal" "$program_pid"
    wait_until 30 gone "$program_pid" || fail "$what: still running 30 s after the signal"
    local status=0
    wait "$program_pid" || status=$?
    program_pid=
    [ "$status" -eq 0 ] || fail "$what: exit $status, not 0 as after closing the window"
    wait_until 10 has_line sim.out 'TINY_CLOSE' || fail "$what: the host was not told goodbye (no TINY_CLOSE)"

    stop "$sim_pid"
    sim_pid=
}

for signal in TERM INT; do
    goodbye "$gui" "$signal"
    goodbye "$marshal" "$signal"
done
goodbye "$gui" TERM 100
echo "PASS: the window says goodbye on SIGTERM and SIGINT, by hand and through paddock-marshal"
