#!/usr/bin/env bash
# Runs paddock-sim with a scenario and paddock-marshal --headless against it,
# as two processes talking UDP on loopback. Passes when the scenario's
# expectations all hold (the sim exits 0), paddock-marshal ends with 0 on
# SIGTERM, and the sim saw its goodbye (TINY_CLOSE).
#
#   run_headless_scenario.sh PADDOCK_MARSHAL PADDOCK_SIM SCENARIO
#
# PM_RUNNER, when set, runs both programs (the Windows ones under Wine), and
# PM_STOP_SIGNAL is the signal that asks paddock-marshal to end (default
# TERM; Wine turns INT into the console's Ctrl+C). PM_STATE, when set, is
# paddock-marshal's --state file, and PM_SIM_PORT the simulator's port
# (default: any free one), so that a later run can meet the same server.
set -u
runner=${PM_RUNNER:-}
stop_signal=${PM_STOP_SIGNAL:-TERM}

if [ $# -ne 3 ]; then
    echo "usage: $0 PADDOCK_MARSHAL PADDOCK_SIM SCENARIO" >&2
    exit 2
fi
marshal=$1
simulator=$2
scenario=$3
password=pitlane

work=$(mktemp -d "${TMPDIR:-/tmp}/pm_e2e.XXXXXX")
sim_pid=
marshal_pid=
cleanup() {
    for pid in $marshal_pid $sim_pid; do
        if kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in sim.out sim.err marshal.out marshal.err; do
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

# A child that has exited stays a zombie until waited for, and kill -0 still
# finds it; /proc tells the two apart.
running() {
    [ -r "/proc/$1/stat" ] && [ "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)" != Z ]
}
stopped() { ! running "$1"; }

# Waits at most $2 seconds for child $1 to end; its exit code goes to $status.
status=
wait_exit() {
    wait_until "$2" stopped "$1" || return 1
    wait "$1"
    status=$?
}

# A UDP port nobody is bound to right now, for paddock-marshal to listen on.
free_udp_port() {
    local port
    for _ in $(seq 50); do
        port=$((20000 + RANDOM % 10000))
        if ! command -v ss >/dev/null || [ -z "$(ss -Hlun "sport = :$port" 2>/dev/null)" ]; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

$runner "$simulator" --port "${PM_SIM_PORT:-0}" --bind 127.0.0.1 --password "$password" --script "$scenario" \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!

sim_port() { tr -d '\r' <"$work/sim.out" | sed -n 's/^port \([0-9][0-9]*\)$/\1/p' | head -n 1; }
have_port() { [ -n "$(sim_port)" ]; }
wait_until 10 have_port || true
port=$(sim_port)
[ -n "$port" ] || fail "paddock-sim did not report its port"

listen=$(free_udp_port) || fail "no free UDP port"
printf '%s\r\n' "[NEW SERVER]" "Name=Simulated" "Host=127.0.0.1" "InSim Port=$port" \
    "Listen Port=$listen" "Admin PW=$password" "Connect=1" "Last Race=0" "Reverse Top=0" \
    "Reverse Count=10" >"$work/autostart.cfg"

$runner "$marshal" --headless --config "$work/autostart.cfg" ${PM_STATE:+--state "$PM_STATE"} >"$work/marshal.out" 2>"$work/marshal.err" &
marshal_pid=$!

# The last expectation of the scenario is checked before its final wait.
checked() { grep -q "ok: gerhard has no message" "$work/sim.out"; }
settled() { checked || stopped "$sim_pid" || stopped "$marshal_pid"; }
wait_until 60 settled
checked || fail "the scenario did not reach its last expectation"
running "$marshal_pid" || fail "paddock-marshal ended before it was asked to"

kill -"$stop_signal" "$marshal_pid"
wait_exit "$marshal_pid" 10 || fail "paddock-marshal did not end on SIG$stop_signal"
marshal_pid=
[ "$status" -eq 0 ] || fail "paddock-marshal ended with $status on SIG$stop_signal"

wait_exit "$sim_pid" 30 || fail "paddock-sim did not finish the scenario"
sim_pid=
[ "$status" -eq 0 ] || fail "paddock-sim exited with $status"

grep -q "<- IS_TINY reqi=1 TINY_CLOSE" "$work/sim.out" || fail "the sim saw no TINY_CLOSE"
grep -q "the client closed the link" "$work/sim.out" || fail "the sim did not take the goodbye"
# The program's own log of the vote.
for line in "alain has finished the race" "BH RACE ORDER"; do
    tr -d '\r' <"$work/marshal.out" | grep -q ": $line\$" || fail "paddock-marshal did not log '$line'"
done
echo "PASS: $(grep -c ': ok: ' "$work/sim.out") expectations held; SIG$stop_signal gave 0; TINY_CLOSE seen"
