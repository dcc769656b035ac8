#!/usr/bin/env bash
# The unmodified program in a real window, through FTDI's own D2XX library over
# the emulated FTDI chip: "1 Frame" (the display equals the one the drop-in
# simulator gives for the same frame), "Continuous"/"Stop", "Get Log", "Exit".
# Prints the driver and USB libraries the program loaded.
# Exit code 77 = skipped (reason printed).
set -u
app=$1; ftdireal=$2; usbemu=$3; simlib=$4; graticules=$5; shots=$6
[ -e "$ftdireal/libftd2xx.so" ] || { echo "SKIP: FTDI's library was not built in $ftdireal"; exit 77; }
for t in xvfb-run xdotool import compare; do
    command -v $t >/dev/null || { echo "SKIP: $t is not installed (apt-get install xvfb xdotool imagemagick)"; exit 77; }
done
mkdir -p "$shots"
export CORVA_XWIN=$(cd "$(dirname "$0")/../support" && pwd)/xwin.sh
# A random first display number: two servers starting at once may both pick the same free one.
exec xvfb-run -a -n $((100 + RANDOM % 800)) -s "-screen 0 1024x768x24" bash -c '
set -u
. "$CORVA_XWIN"
app=$1; ftdireal=$2; usbemu=$3; simlib=$4; graticules=$5; shots=$6
work=$(mktemp -d)
trap "rm -rf \"$work\"" EXIT
cp "$graticules"/*.bmp "$work"/ && cd "$work"
fail() { echo "FAIL: $*"; import -window root "$shots/ftdi-real-failure.png" 2>/dev/null; kill $pid 2>/dev/null; exit 1; }
display() { import -window "$win" -crop 320x240+146+184 +repage "$1"; }
start() {   # start <loader path> <trace>
    trace=$2
    QT_QPA_PLATFORM=xcb LD_LIBRARY_PATH=$1 CORVASIM_TRACE=$trace CORVASIM_MODES=17,1 "$app" & pid=$!
    win=$(window "$main_title") || fail "no main window"
    sleep 0.5
}
stop() {
    click "$win" 432 472
    for i in $(seq 25); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -0 $pid 2>/dev/null && fail "still running after Exit"
}

# The same first frame through the drop-in simulator, for comparison.
start "$simlib" "$work/sim-trace.txt"
click "$win" 72 240; wait_closes 1 "1 Frame on the simulator"; sleep 0.3
display "$work/sim.png"
stop

start "$ftdireal:$usbemu" "$work/trace.txt"
click "$win" 72 240; wait_closes 1 "1 Frame"; sleep 0.3
echo "loaded by the program:"
grep -oE "/[^ ]*(libftd2xx\.so|libusb-1\.0\.so[.0-9]*)$" /proc/$pid/maps | sort -u | sed "s/^/    /"
grep -q "$ftdireal/libftd2xx.so" /proc/$pid/maps || fail "FTDI library not loaded"
grep -q "$usbemu/libusb-1.0.so.0" /proc/$pid/maps || fail "emulated chip not loaded"
display "$work/ftdi.png"
cp "$work/ftdi.png" "$shots/ftdi-real-frame.png"
compare -metric AE "$work/ftdi.png" "$work/sim.png" null: 2>/dev/null || fail "display differs from the simulator'"'"'s frame"

click "$win" 72 288; sleep 2
import -window "$win" "$shots/ftdi-real-continuous.png"
click "$win" 72 336; wait_closes 2 "Stop"
n=$(writes F2); [ "$n" -ge 5 ] || fail "Continuous ran only $((n - 1)) frames in 2 s"
sleep 0.5; [ "$(writes F2)" -eq "$n" ] || fail "frames still coming after Stop"

click "$win" 72 48; wait_closes 3 "Get Log"
[ "$(writes FA)" -ge 25 ] || fail "Get Log asked for $(writes FA) records, want 25"
import -window "$win" "$shots/ftdi-real-log.png"
stop
echo "PASS: through FTDI'"'"'s library: 1 Frame as on the simulator, Continuous ($((n - 1)) frames)/Stop, Get Log, Exit"
' _ "$app" "$ftdireal" "$usbemu" "$simlib" "$graticules" "$shots"
