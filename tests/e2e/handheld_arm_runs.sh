#!/usr/bin/env bash
# The handheld's ARM program on the simulated handheld (sim/handheld-arm), against the
# simulated receiver at the far end of a pty pair of its own: one case of the table a run.
#
#   tests/e2e/handheld_arm_runs.sh BUILD_DIR CASE PACKAGE
#
# The program is BUILD_DIR/handheld-arm/vandrel.exe, or, where the case starts it from the
# cabinet, the ARM program of the package in PACKAGE (./package --simulation), installed by the
# stand-in as the handheld's installer installs it and started from its shortcut; the file
# installed must be the package's ARM program byte for byte.
# The receiver runs under Wine in a prefix of these cases' own, BUILD_DIR/wine-handheld-arm
# (made on first use), whose COM6: is the pair's far end. Exits 77, which CTest counts as
# skipped, when the ARM program, the package or the receiver has not been made.
set -euo pipefail

# What the package's cabinet installs, and the lines that say so, as the stand-in prints them.
INSTALLED='\Program Files\Vandrel simulation\vandrel-simulation.exe'
SHORTCUT='\Windows\Start Menu\Programs\Vandrel simulation.lnk'
INSTALLATION="installed \"$INSTALLED\";shortcut \"$SHORTCUT\": 58#\"$INSTALLED\";\
Remove Programs lists \"Vandrel GPS ROM 2.3.7 upgrade simulation\";\
start \"$INSTALLED\" from the shortcut"
# case | what the stand-in starts (program, or the cabinet) | the stand-in's options |
# the receiver's options | whether the program makes its window |
# lines the stand-in prints, separated by ";" | a line the receiver's summary has
CASES=(
    "whole_run|program||--pace|window|status: Completed successfully|VERDICT: ROM identical"
    "cancel_during_programming|program|--cancel-when-programming|--pace|window|status: Cancelled|end marker: not seen"
    "purgecomm_withheld|program|--withhold PurgeComm||no window|message box \"Software upgrade\" (no owner, error icon): This handheld lacks PurgeComm, which the update needs [ok] answered ok|bytes received: 0"
    "messageboxw_withheld|program|--withhold MessageBoxW||no window|the program ended with exit code 0|bytes received: 0"
    "installed_from_cabinet|cabinet||--pace|window|$INSTALLATION;status: Completed successfully|VERDICT: ROM identical"
)
# What a case whose program makes its window sees first, as the stand-in prints it: the
# window that the program made from its entry point up to its message loop.
WINDOW_MADE=(
    'window: class "VandrelMainWindow", title "GPS ROM upgrade", 240 x 268'
    'event: "Vandrel Event", manual reset, not set'
    'font: "Tahoma Bold", lfHeight -12'
    'font: "Tahoma", lfHeight -12'
    'button: "Start" at (127, 190) 100 x 26, enabled'
    'button: "Close" at (127, 229) 100 x 26, enabled'
    'progress bar: at (13, 70) 214 x 20, range 0-100, position 0'
)
SILENCE_MS=2000  # the receiver's end once the handheld has stopped talking
LIMIT_S=120      # the stand-in's, for a run that the paced line takes about 30 s for

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
USAGE="usage: $0 BUILD_DIR CASE PACKAGE"
BUILD_DIR=$(cd "${1:?$USAGE}" && pwd)
CASE=${2:?$USAGE}
PACKAGE=${3:?$USAGE}
PROGRAM=$BUILD_DIR/handheld-arm/vandrel.exe
RECEIVER=$BUILD_DIR/receiver-sim.exe
PYTHON=${VANDREL_PYTHON:-/usr/bin/python3}

row=$(printf '%s\n' "${CASES[@]}" | grep "^$CASE|") || { echo "no case $CASE" >&2; exit 2; }
IFS='|' read -r _ start standin_options receiver_options window standin_lines receiver_line <<<"$row"
IFS=';' read -r -a standin_lines <<<"$standin_lines"

needs=("$PROGRAM" "$RECEIVER")
if [[ $start == cabinet ]]; then
    CABINET=$(echo "$PACKAGE"/*.arm.cab)
    PACKAGED=$(echo "$PACKAGE"/*-arm.exe)
    needs+=("$CABINET" "$PACKAGED")
fi
for needed in "${needs[@]}"; do
    [[ -f $needed ]] || { echo "skipped: $needed has not been made"; exit 77; }
done

export WINEPREFIX=$BUILD_DIR/wine-handheld-arm
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
PAIR=$(mktemp -d)
SOCAT_PID=

finish() {
    [[ -z $SOCAT_PID ]] || kill "$SOCAT_PID" 2>/dev/null || true
    wineserver -k >/dev/null 2>&1 || true
    rm -f "$WINEPREFIX/dosdevices/com6"
    rm -rf "$PAIR"
}
trap finish EXIT

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
fi

# Detached from our output, or CTest would wait for socat to close it.
socat pty,raw,echo=0,link="$PAIR/handheld" pty,raw,echo=0,link="$PAIR/receiver" \
    </dev/null >/dev/null 2>&1 &
SOCAT_PID=$!
for _ in $(seq 100); do
    [[ -e $PAIR/handheld && -e $PAIR/receiver ]] && break
    sleep 0.05
done
ln -sfn "$PAIR/receiver" "$WINEPREFIX/dosdevices/com6"

# The handheld's first words must find the receiver listening: it is, once a process other
# than socat has its end open.
cd "$ROOT"
# shellcheck disable=SC2086  # the table's options are words
wine "$RECEIVER" COM6: $receiver_options --timeout-ms "$SILENCE_MS" \
    --summary "$PAIR/summary.txt" </dev/null >/dev/null 2>&1 &
RECEIVER_PID=$!
receiver_end=$(readlink -f "$PAIR/receiver")
holders=
for _ in $(seq 200); do
    holders=$(find /proc/[0-9]*/fd -lname "$receiver_end" 2>/dev/null |
        grep -v "^/proc/$SOCAT_PID/" || true)
    [[ -z $holders ]] || break
    sleep 0.05
done
[[ -n $holders ]] || { echo "FAILED: the receiver did not open its end of the line"; exit 1; }

started=("$PROGRAM")
if [[ $start == cabinet ]]; then
    started=(--cab "$CABINET" --storage "$PAIR/storage")
fi
status=0
# shellcheck disable=SC2086
"$PYTHON" sim/handheld-arm/run_handheld_arm.py "${started[@]}" --port "$PAIR/handheld" \
    $standin_options --limit "$LIMIT_S" | tee "$PAIR/standin.txt" || status=$?
wait "$RECEIVER_PID" || true
echo "--- the receiver's summary"
[[ -f $PAIR/summary.txt ]] || { echo "FAILED: the receiver wrote no summary"; exit 1; }
tr -d '\r' <"$PAIR/summary.txt" | tee "$PAIR/receiver.txt"

((status == 0)) || { echo "FAILED: the stand-in's exit code is $status"; exit 1; }
expected=("${standin_lines[@]}")
if [[ $window == window ]]; then
    expected+=("${WINDOW_MADE[@]}")
elif grep -q '] window: ' "$PAIR/standin.txt"; then
    echo "FAILED: the program made its window"
    exit 1
fi
for line in "${expected[@]}"; do
    grep -qF "] $line" "$PAIR/standin.txt" || { echo "FAILED: no \"$line\""; exit 1; }
done
if [[ $start == cabinet ]]; then
    installed=$PAIR/storage/$(tr '\\' / <<<"${INSTALLED#\\}")
    cmp "$installed" "$PACKAGED" ||
        { echo "FAILED: the installed program is not $PACKAGED"; exit 1; }
fi
grep -qxF "$receiver_line" "$PAIR/receiver.txt" || { echo "FAILED: no \"$receiver_line\""; exit 1; }
echo "PASSED: $CASE"
