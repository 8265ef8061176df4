#!/usr/bin/env bash
# The world the end-to-end tests run in, kept apart from every other test: a Wine prefix of
# its own (its registry and named kernel objects are the tests' alone), an X display of its
# own (no other test's window covers the updater's, or takes its clicks), and a null-modem
# line whose ends are COM5: (the updater's side) and COM6: (the simulated receiver's).
# Nothing is registered here: each test writes the registry entries it needs.
#
#   tests/e2e/world.sh start BUILD_DIR           makes it; it lasts until stop, or until
#                                                the process that asked for it has ended
#   tests/e2e/world.sh stop BUILD_DIR            ends it, also what an interrupted run left
#   tests/e2e/world.sh run BUILD_DIR PROGRAM...  runs a Windows program inside it
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
COMMAND=${1:-}
BUILD_DIR=$(cd "${2:?usage: $0 start|stop|run BUILD_DIR [PROGRAM ARGS...]}" && pwd)
STATE=$BUILD_DIR/e2e-world
export WINEPREFIX=$BUILD_DIR/wine-e2e

stop() {
    # The guard is the world's own: a stop that it runs itself must not end itself early.
    if [[ -f $STATE/guard.pid && $(cat "$STATE/guard.pid") != "$PPID" ]]; then
        kill "$(cat "$STATE/guard.pid")" 2>/dev/null || true
    fi
    if [[ -f $WINEPREFIX/system.reg ]]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    if [[ -f $STATE/pids ]]; then
        while read -r pid; do
            kill "$pid" 2>/dev/null || true
        done <"$STATE/pids"
    fi
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
    rm -rf "$STATE"
}

start() {
    stop
    mkdir -p "$STATE"
    # Everything started here writes to the log, not to CTest's pipe: CTest would wait for
    # a background process that held it open. The log is shown when the start fails. (Made
    # in the background and waited for, so that a failing step stops it: in the condition
    # of an if, it would not.)
    make_world "$PPID" >"$STATE/log" 2>&1 </dev/null &
    if ! wait $!; then
        cat "$STATE/log" >&2
        stop
        exit 1
    fi
}

# A process that has ended but not been reaped yet still answers kill -0.
is_alive() {
    local state
    state=$(ps -o stat= -p "$1") && [[ $state != Z* ]]
}

make_world() {
    local maker=$1
    cd "$ROOT"
    source tools/env.sh
    vandrel_start_xvfb
    echo "$DISPLAY" >"$STATE/display"
    printf '%s\n' "${VANDREL_PIDS[@]}" >"$STATE/pids"
    vandrel_start_wine
    vandrel_hold_desktop
    printf '%s\n' "${VANDREL_PIDS[@]}" >"$STATE/pids"

    local made=0
    vandrel_start_pty_pair "$STATE/updater-end" "$STATE/receiver-end" && made=1
    echo "$VANDREL_PAIR_PID" >>"$STATE/pids"
    ((made)) || { echo "socat made no pty pair"; exit 1; }
    ln -s "$STATE/updater-end" "$WINEPREFIX/dosdevices/com5"
    ln -s "$STATE/receiver-end" "$WINEPREFIX/dosdevices/com6"

    # Background processes of a script ignore the interrupt key, so an interrupted CTest
    # would leave the world running: the guard ends it once its maker (CTest) has gone,
    # whatever happens to it meanwhile.
    (
        set +e
        while is_alive "$maker"; do
            sleep 1
        done
        "$ROOT/tests/e2e/world.sh" stop "$BUILD_DIR"
    ) &
    echo $! >"$STATE/guard.pid"
}

run() {
    [[ -f $STATE/display ]] || { echo "no end-to-end world: start it first" >&2; exit 1; }
    cd "$ROOT"
    source tools/env.sh
    export DISPLAY
    DISPLAY=$(cat "$STATE/display")
    exec wine "$@"
}

case $COMMAND in
start) start ;;
stop) stop ;;
run) shift 2; run "$@" ;;
*) echo "usage: $0 start|stop|run BUILD_DIR [PROGRAM ARGS...]" >&2; exit 2 ;;
esac
