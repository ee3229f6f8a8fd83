#!/usr/bin/env bash
# Builds ClSerTolvane and runs it on the built-in emulated board: installs the
# virtual port pair CNC5 (COM5 <-> ZADURUV5) and relays it to the demo camera
# on Camera Link serial port 0. With a display the window program starts
# (connected, in the tray); without one it runs headless and prints every
# relayed block. Open COM5 from another terminal to talk to the camera.
# Ctrl+C (headless) or Port > Exit (window) stops it; the pair stays
# installed (build/bin/clsertolvane-pairs remove CNC5 removes it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

bin=$PWD/build/bin
if [[ -n ${CLSERTOLVANE_PORT_DIR:-} ]]; then
    portdir=$CLSERTOLVANE_PORT_DIR
elif [[ -n ${XDG_RUNTIME_DIR:-} ]]; then
    portdir=$XDG_RUNTIME_DIR/clsertolvane
else
    portdir=/tmp/clsertolvane-$(id -u)
fi

if [[ ! -e $portdir/ZADURUV5 ]]; then
    "$bin/clsertolvane-pairs" install 5
fi

cat <<MSG

The emulated camera is on $portdir/COM5. In another terminal:

    picocom -b 115200 --imap lfcrlf $portdir/COM5

then type  id?  and Enter (picocom exits with Ctrl+A Ctrl+X).

MSG
if [[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
    exec "$bin/clsertolvane" COM5 0 115200,N,8,1
fi
exec "$bin/clsertolvane" --headless --echo COM5 0 115200,N,8,1
