#!/usr/bin/env bash
# The built programs as an administrator meets them.
#
#   run_program_checks.sh CASE PADDOCK_MARSHAL [PADDOCK_MARSHAL_GUI]
#
#   headless      links and maps no Qt; an empty start-up file sits idle,
#                 saying so and when it stops; a
#                 file that stops early gives one status line naming
#                 --check-config; SIGTERM ends it with 0
#   check-config  exit codes 0, 1, 2 and the reason on the terminal
#   window        without the window program: a message naming --headless
#                 and the package, exit 2; with it beside the program, the
#                 window opens (rendered offscreen to a PNG)
set -u

if [ $# -lt 2 ]; then
    echo "usage: $0 CASE PADDOCK_MARSHAL [PADDOCK_MARSHAL_GUI]" >&2
    exit 2
fi
case_name=$1
marshal=$2
gui=${3:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/pm_main.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in out err; do
        [ -f "$work/$f" ] && { echo "---- $f" >&2; cat "$work/$f" >&2; }
    done
    exit 1
}

# Runs the command (bounded); its exit code goes to $status.
run() {
    status=0
    timeout 30 "$@" >"$work/out" 2>"$work/err" || status=$?
}

crlf() { printf '%s\r\n' "$@"; }
block() {
    crlf "[NEW SERVER]" "Name=$1" "Host=127.0.0.1" "InSim Port=29999" "Listen Port=0" "Admin PW=pw" \
        "Connect=0" "Last Race=$2" "Reverse Top=0" "Reverse Count=10"
}

case $case_name in
headless)
    if readelf -d "$marshal" | grep NEEDED | grep -qi qt; then fail "paddock-marshal names a Qt library"; fi
    if ldd "$marshal" | grep -qi qt; then fail "paddock-marshal needs Qt through another library"; fi

    printf 'notes\n[NEW SERVER]\nName=A\n' >"$work/lf.cfg"
    : >"$work/empty.cfg"
    printf '\xff\xfe[\0N\0E\0W\0' >"$work/wide.cfg"
    for cfg in lf empty wide; do
        "$marshal" --headless --config "$work/$cfg.cfg" >"$work/out" 2>"$work/err" &
        pid=$!
        sleep 1
        kill -0 "$pid" 2>/dev/null || fail "$cfg: paddock-marshal --headless did not stay up"
        if grep -qi libqt "/proc/$pid/maps"; then fail "$cfg: paddock-marshal --headless maps Qt"; fi
        kill -TERM "$pid"
        status=0
        wait "$pid" || status=$?
        pid=
        [ "$status" -eq 0 ] || fail "$cfg: SIGTERM gave $status"
        if [ "$cfg" = lf ]; then
            [ "$(grep -c "the reading stopped" "$work/out")" -eq 1 ] || fail "lf: not exactly one line on the stop"
            grep -q ": start-up file '.*lf.cfg': the reading stopped at line 2 (its lines end in LF alone" \
                "$work/out" || fail "lf: the status line does not name the line and the reason"
            grep -q -- "--check-config" "$work/out" || fail "lf: the status line does not name --check-config"
        elif [ "$cfg" = wide ]; then
            grep -q ": start-up file '.*wide.cfg': it holds NUL bytes, so it is not plain text" "$work/out" ||
                fail "wide: no status line for a file saved as UTF-16"
        else
            # Even an empty file says what it holds, and the end is said too.
            [ "$(wc -l <"$work/out")" -eq 2 ] || fail "empty: not just the first and the last line"
            head -n 1 "$work/out" | grep -q ": start-up file '.*empty.cfg': 0 servers$" ||
                fail "empty: the first line does not name the file and its 0 servers"
            tail -n 1 "$work/out" | grep -q ": stopping; 0 servers connected, told goodbye$" ||
                fail "empty: no last line on SIGTERM"
        fi
    done
    ;;
check-config)
    block A 1 >"$work/good.cfg"
    { block A 1; block B 7; } >"$work/bad.cfg"
    run "$marshal" --check-config "$work/good.cfg"
    [ "$status" -eq 0 ] || fail "a whole file gave $status"
    grep -q "^Every block reads whole: 1 server.$" "$work/out" || fail "no verdict for a whole file"
    # The file a run would read: --config names it.
    run "$marshal" --config "$work/bad.cfg" --check-config
    [ "$status" -eq 1 ] || fail "a file that stops early gave $status"
    grep -q "^The reading stops at line 18: Last Race=7$" "$work/out" || fail "no line and text for the stop"
    grep -q "is not 0, 1 or 2" "$work/out" || fail "no reason for the stop"
    for path in "$work/none.cfg" "$work"; do
        run "$marshal" --check-config "$path"
        [ "$status" -eq 2 ] || fail "$path gave $status"
        grep -q "^paddock-marshal: cannot read the start-up file '$path': " "$work/err" || fail "no message for $path"
    done
    ;;
window)
    mkdir "$work/alone"
    cp "$marshal" "$work/alone/"
    run env DISPLAY=:99 "$work/alone/paddock-marshal"
    [ "$status" -eq 2 ] || fail "without the window program: exit $status"
    grep -q -- "--headless" "$work/err" && grep -q "package paddock-marshal-gui" "$work/err" ||
        fail "without the window program the message names neither --headless nor the package"
    run "$marshal" --headless --screenshot "$work/w.png"
    [ "$status" -eq 2 ] || fail "--headless --screenshot gave $status"
    if [ -n "$gui" ]; then
        : >"$work/empty.cfg"
        run env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$marshal" --config "$work/empty.cfg" \
            --screenshot "$work/w.png"
        [ "$status" -eq 0 ] || fail "the window (through paddock-marshal) gave $status"
        [ -s "$work/w.png" ] || fail "the window drew no screenshot"
    fi
    ;;
*)
    echo "unknown case '$case_name'" >&2
    exit 2
    ;;
esac
echo "PASS: $case_name"
