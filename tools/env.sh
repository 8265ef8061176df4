# Shared by ./test, ./run and the other top-level commands: install what is missing,
# build, and start the Wine and X services the programs need. Source it from the
# repository root. Every process started here is ended by vandrel_cleanup, which the
# commands run on exit (also when interrupted).

VANDREL_ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-$VANDREL_ROOT/build}
export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wine}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
VANDREL_PIDS=()

# The commands that source this file stop at a step that fails (set -e); this says which
# step, so that none of them ends without a line saying why.
set -E
trap 'echo "${BASH_SOURCE[0]}: line $LINENO: \"$BASH_COMMAND\" failed (exit code $?)" >&2' ERR

# command-that-must-exist:debian-package
VANDREL_NEEDS=(
    x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix
    i686-w64-mingw32-g++-posix:g++-mingw-w64-i686-posix
    cmake:cmake
    ninja:ninja-build
    /usr/src/googletest/CMakeLists.txt:googletest
    wine:wine
    /usr/lib/wine/wine64:wine64
    /usr/share/wine/fonts/tahomabd.ttf:fonts-wine
    Xvfb:xvfb
    socat:socat
    xdotool:xdotool
    xwd:x11-apps
    convert:imagemagick
    python3:python3
    ps:procps
    # The handheld's programs and their stand-ins: 32-bit Wine for the x86 program, an ARM
    # compiler, the ARM program's writer and its check, and an emulated ARM processor. The
    # Python modules are Debian's, for Debian's own interpreter (VANDREL_PYTHON).
    /usr/lib/wine/wine:wine32:i386
    arm-none-eabi-gcc:gcc-arm-none-eabi
    arm-none-eabi-ld:binutils-arm-none-eabi
    /usr/lib/python3/dist-packages/elftools/__init__.py:python3-pyelftools
    /usr/lib/python3/dist-packages/pefile.py:python3-pefile
    /usr/lib/python3/dist-packages/unicorn/__init__.py:python3-unicorn
    # Debian's python3-unicorn imports distutils and pkg_resources but does not depend on the
    # packages that bring them (Debian 12's Python 3.11).
    /usr/lib/python3.11/distutils/sysconfig.py:python3-distutils
    /usr/lib/python3/dist-packages/pkg_resources/__init__.py:python3-pkg-resources
    # The owner's package (./package): its cabinet written and read back, and told apart.
    gcab:gcab
    cabextract:cabextract
    file:file
)
# The interpreter that Debian's python3-* packages belong to: a python3 earlier on the PATH
# (a version manager's, say) does not see them.
export VANDREL_PYTHON=/usr/bin/python3

# Installs what is missing of VANDREL_NEEDS, or only of the packages named.
vandrel_install() {
    local missing=() entry tool package
    for entry in "${VANDREL_NEEDS[@]}"; do
        tool=${entry%%:*}
        package=${entry#*:}
        if (($#)) && [[ " $* " != *" $package "* ]]; then
            continue
        elif [[ $tool == /* ]]; then
            [[ -e $tool ]] || missing+=("$package")
        else
            command -v "$tool" >/dev/null 2>&1 || missing+=("$package")
        fi
    done
    # The stand-in for ImageMagick that some images ship cannot convert anything.
    if ((!$#)) && command -v convert >/dev/null 2>&1 && ! convert -version 2>/dev/null | grep -q ImageMagick; then
        missing+=(imagemagick)
    fi
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        # wine32 is the i386 build of Wine: the machine must take that architecture's packages.
        if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
        fi
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
}

vandrel_configure() {
    if [[ ! -f $BUILD_DIR/build.ninja ]]; then
        cmake --preset default -B "$BUILD_DIR" >/dev/null
    fi
}

# Builds the given targets, or everything.
vandrel_build() {
    vandrel_configure
    cmake --build "$BUILD_DIR" ${1:+--target "$@"}
}

# Configures (once) and builds the tree of a preset in $BUILD_DIR/$2.
vandrel_build_preset() {
    if [[ ! -f $BUILD_DIR/$2/build.ninja ]]; then
        cmake --preset "$1" -B "$BUILD_DIR/$2" >/dev/null
    fi
    cmake --build "$BUILD_DIR/$2"
}

# Builds the handheld's programs, $BUILD_DIR/handheld (x86) and $BUILD_DIR/handheld-arm, and
# the x86 program's stand-in of the handheld, $BUILD_DIR/handheld-standin, from the project
# alone.
vandrel_build_handheld() {
    vandrel_build_preset handheld handheld
    vandrel_build_preset handheld-arm handheld-arm
    vandrel_build_preset handheld-standin handheld-standin
}

# Keeps Wine's desktop open until vandrel_cleanup (tools/hold_desktop.cpp says why). Call it
# once the build has made the program, after vandrel_start_wine.
vandrel_hold_desktop() {
    wine "$BUILD_DIR/hold-desktop.exe" </dev/null >/dev/null 2>&1 &
    VANDREL_PIDS+=($!)
}

# Starts socat in the background making a null-modem pty pair whose ends are the links $1
# and $2, and waits up to 5 s for both to appear; fails if they do not. socat's pid is left
# in VANDREL_PAIR_PID. (Detached from our output, or CTest would wait for socat to close it.)
vandrel_start_pty_pair() {
    socat pty,raw,echo=0,link="$1" pty,raw,echo=0,link="$2" </dev/null >/dev/null 2>&1 &
    VANDREL_PAIR_PID=$!
    for _ in $(seq 100); do
        [[ -e $1 && -e $2 ]] && return 0
        sleep 0.05
    done
    return 1
}

# Stops the script with one line naming what is missing and the package that brings it.
vandrel_missing() {
    echo "preflight: $1" >&2
    exit 1
}

# What every test and run silently depends on, checked before any of them so that a machine
# without it stops at once with a reason, not with pixel mismatches minutes later: a pty pair
# (the serial line), and Wine drawing the window's faces (tools/preflight.cpp, built on its
# own first so that this takes seconds even before the whole build). Xvfb is checked as it
# starts. Call it after vandrel_start_wine.
vandrel_preflight() {
    local pair made=0
    pair=$(mktemp -d)
    vandrel_start_pty_pair "$pair/a" "$pair/b" && made=1
    kill "$VANDREL_PAIR_PID" 2>/dev/null || true
    wait "$VANDREL_PAIR_PID" 2>/dev/null || true
    rm -rf "$pair"
    ((made)) || vandrel_missing "socat made no pty pair; install the package socat and check /dev/ptmx"

    vandrel_configure
    cmake --build "$BUILD_DIR" --target preflight >/dev/null ||
        vandrel_missing "the preflight check would not build; run cmake --build $BUILD_DIR --target preflight"
    # A start that Wine refuses leaves no finding: Wine's exit code and its last word on
    # its error output then say why.
    local finding status=0 said
    said=$(mktemp)
    finding=$(wine "$BUILD_DIR/preflight.exe" </dev/null 2>"$said") || status=$?
    if ((status)); then
        finding=$(tr -d '\r' <<<"${finding#preflight: }")
        [[ -n $finding ]] || finding="Wine could not run preflight.exe (exit code $status: \
$(tr -d '\r' <"$said" | grep -v '^$' | tail -n 1)); install the packages wine and wine64"
    fi
    rm -f "$said"
    ((status == 0)) || vandrel_missing "$finding"
}

vandrel_start_wine() {
    # A prefix made before 32-bit Wine was installed has no 32-bit system and never starts a
    # 32-bit program (the handheld's stand-in): it is made again.
    if [[ -f $WINEPREFIX/system.reg && ! -f $WINEPREFIX/drive_c/windows/syswow64/kernel32.dll ]]; then
        echo "Making the Wine prefix $WINEPREFIX again: it has no 32-bit system"
        wineserver -k >/dev/null 2>&1 || true
        rm -rf "$WINEPREFIX"
    fi
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
        echo "Making the Wine prefix $WINEPREFIX"
        # Wine makes the prefix's own folder, but not the folders above it.
        mkdir -p "$(dirname "$WINEPREFIX")"
        wineboot -i >/dev/null 2>&1 ||
            vandrel_missing "Wine could not make the prefix $WINEPREFIX; install the packages wine, wine64 and wine32:i386"
        wineserver -w
    fi
    # The window is drawn in Tahoma. Wine carries the face but, as packaged here, does not
    # find it by itself; in the prefix's font folder it does.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp -n /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    # A persistent server makes each Wine process start in a fraction of a second.
    wineserver -p </dev/null >/dev/null 2>&1 &
    VANDREL_PIDS+=($!)
    # Start Wine's own services now, away from any test's output: a service that a test
    # process started would inherit that test's output pipe and keep CTest waiting.
    local status=0
    wineboot >/dev/null 2>&1 </dev/null || status=$?
    ((status == 0)) ||
        vandrel_missing "Wine could not start the prefix $WINEPREFIX (wineboot's exit code $status); remove it to have it made again"
    # Wine waits up to 2 s for a window manager to release each window that closes. Our own
    # X server has none, so there Wine keeps its windows to itself.
    local managed=Y
    if [[ -n ${VANDREL_OWN_DISPLAY:-} ]]; then
        managed=N
    fi
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$managed" /f >/dev/null 2>&1
}

# Starts a private X display and points DISPLAY at it. The screen is 1024x768 unless a size
# (WIDTHxHEIGHT) is given: the window that Wine makes at its default size fills what a small
# screen leaves it, as on a handheld.
vandrel_start_xvfb() {
    local fd_file
    fd_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 "${1:-1024x768}x24" -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
    VANDREL_PIDS+=($!)
    for _ in $(seq 100); do
        [[ -s $fd_file ]] && break
        sleep 0.05
    done
    [[ -s $fd_file ]] || vandrel_missing "Xvfb started no display within 5 s; install the package xvfb"
    export DISPLAY=":$(cat "$fd_file")"
    VANDREL_OWN_DISPLAY=1
    rm -f "$fd_file"
}

vandrel_cleanup() {
    local pid
    wineserver -k >/dev/null 2>&1 || true
    for pid in "${VANDREL_PIDS[@]}"; do
        kill "$pid" >/dev/null 2>&1 || true
    done
    wait >/dev/null 2>&1 || true
}
