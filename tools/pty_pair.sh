#!/usr/bin/env bash
# Makes or removes the null-modem line that the serial tests run over: a socat pty pair
# whose ends are COM5: and COM6: in the Wine prefix, and the registry entry by which the
# updater finds COM5: as the sleeve's port.
#
#   tools/pty_pair.sh start    (WINEPREFIX must be set, as ./test does)
#   tools/pty_pair.sh stop     (also clears what an interrupted run left behind)
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"

STATE=$WINEPREFIX/pty-pair
INSTANCE_KEY='HKLM\Drivers\Active\SerialTestSleeve'

stop() {
    if [[ -f $STATE/socat.pid ]]; then
        kill "$(cat "$STATE/socat.pid")" 2>/dev/null || true
    fi
    rm -rf "$STATE"
    rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
    wine reg delete "$INSTANCE_KEY" /f >/dev/null 2>&1 || true
}

start() {
    stop
    mkdir -p "$STATE"
    # Detached from our output, or CTest would wait for socat to close it.
    socat pty,raw,echo=0,link="$STATE/host" pty,raw,echo=0,link="$STATE/receiver" \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$STATE/socat.pid"
    for _ in $(seq 100); do
        [[ -e $STATE/host && -e $STATE/receiver ]] && break
        sleep 0.05
    done
    [[ -e $STATE/host && -e $STATE/receiver ]] || { echo "socat made no pty pair" >&2; exit 1; }
    ln -s "$STATE/host" "$WINEPREFIX/dosdevices/com5"
    ln -s "$STATE/receiver" "$WINEPREFIX/dosdevices/com6"
    wine reg add "$INSTANCE_KEY" /v Key /d 'Drivers\OptPack\0100' /f </dev/null >/dev/null 2>&1
    wine reg add "$INSTANCE_KEY" /v Name /d COM5: /f </dev/null >/dev/null 2>&1
}

case ${1:-} in
start) start ;;
stop) stop ;;
*) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
