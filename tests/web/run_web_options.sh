#!/usr/bin/env bash
# --web and --web-token-file as an administrator meets them: what stops the
# program at start-up (exit 2, one line on stderr), and the status line that
# says where the page is and who may change things.
#
#   run_web_options.sh PADDOCK_MARSHAL
set -u
marshal=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/pm_web.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in out err; do [ -f "$work/$f" ] && { echo "---- $f" >&2; cat "$work/$f" >&2; }; done
    exit 1
}
: >"$work/empty.cfg"
echo "0123456789abcdef0123" >"$work/token"
: >"$work/empty-token"
echo short >"$work/short-token"

# Each refusal: the arguments, then a piece of the line on stderr.
refusals=(
    "--web 127.0.0.1:8270 --web-token-file $work/missing|cannot be read"
    "--web 127.0.0.1:8270 --web-token-file $work/empty-token|holds no token"
    "--web 127.0.0.1:8270 --web-token-file $work/short-token|shorter than 16"
    "--web 127.0.0.1:8270 --web-token-file $work|cannot be read"
    "--web nohost:80|not an IPv4 address"
    "--web 127.0.0.1:99999|not a port"
    "--web-token-file $work/token|needs --web"
)
for row in "${refusals[@]}"; do
    args=${row%%|*}
    says=${row#*|}
    status=0
    # shellcheck disable=SC2086
    timeout 20 "$marshal" --headless --config "$work/empty.cfg" $args >"$work/out" 2>"$work/err" || status=$?
    [ "$status" = 2 ] || fail "$args: exit $status, not 2"
    grep -q -- "$says" "$work/err" || fail "$args: stderr does not say '$says'"
done

# A port in use is a start-up error too.
"$marshal" --headless --config "$work/empty.cfg" --web 127.0.0.1:0 >"$work/first" 2>&1 &
pid=$!
for _ in $(seq 1 100); do grep -q "web page on" "$work/first" && break; sleep 0.05; done
port=$(sed -n 's|.*web page on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/first")
[ -n "$port" ] || { cp "$work/first" "$work/out"; fail "no status line with the port"; }
grep -q "(this machine only); read-only (no --web-token-file)" "$work/first" || { cp "$work/first" "$work/out"; fail "loopback line"; }
status=0
timeout 20 "$marshal" --headless --config "$work/empty.cfg" --web "127.0.0.1:$port" >"$work/out" 2>"$work/err" || status=$?
[ "$status" = 2 ] || fail "a port in use: exit $status, not 2"
grep -q "cannot serve the web page on 127.0.0.1:$port" "$work/err" || fail "a port in use: no reason"
kill -TERM "$pid"; wait "$pid"; pid=

# Beyond loopback: one line says the page is reachable from the network.
"$marshal" --headless --config "$work/empty.cfg" --web 0.0.0.0:0 --web-token-file "$work/token" >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 1 100); do grep -q "web page on" "$work/out" && break; sleep 0.05; done
grep -q "reachable from the network; changes need the token" "$work/out" || fail "no network line"
kill -TERM "$pid"; wait "$pid"; status=$?; pid=
[ "$status" = 0 ] || fail "SIGTERM with the web page on: exit $status"
echo "web options: ok"
