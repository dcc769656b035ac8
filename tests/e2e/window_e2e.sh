#!/usr/bin/env bash
# Starts the real program under a real X server against the drop-in simulator
# library, with the toolkit's own options on its command line (which it must
# ignore), checks the window, then ends it with a real click on "Exit".
# Exit code 77 = skipped (reason printed).
set -u
app=$1; simlib=$2
for t in xvfb-run xdotool import; do
    command -v $t >/dev/null || { echo "SKIP: $t is not installed (apt-get install xvfb xdotool imagemagick)"; exit 77; }
done
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
app=$1; simlib=$2
trace=$(mktemp); sheet=$(mktemp)
echo "* { background: #ff0000; }" > "$sheet"
QT_QPA_PLATFORM=xcb LD_LIBRARY_PATH=$simlib CORVASIM_TRACE=$trace "$app" -qwindowtitle Other -title Other \
    -stylesheet "$sheet" -style windows -reverse -platform offscreen & pid=$!
for i in $(seq 50); do
    win=$(xdotool search --name "^Brisko Corvameter  Remote Control   Ver 1.51$" 2>/dev/null | head -1)
    [ -n "$win" ] && break; sleep 0.2
done
[ -n "$win" ] || { echo "FAIL: no window with the exact title"; kill $pid; exit 1; }
sleep 0.5
geo=$(xdotool getwindowgeometry "$win" | sed -n "s/.*Geometry: //p")
[ "$geo" = "505x497" ] || { echo "FAIL: client area $geo, want 505x497"; kill $pid; exit 1; }
# No style sheet read: the window is not red.
red=$(import -window "$win" -crop 1x1+2+2 +repage -format "%[fx:r>0.9&&g<0.1&&b<0.1]" info: 2>/dev/null)
[ "$red" = 0 ] || { echo "FAIL: the style sheet given on the command line was read"; kill $pid; exit 1; }
# "Exit" sits at (400,456), 65 x 33.
xdotool mousemove --window "$win" 432 472 click 1
for i in $(seq 25); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then echo "FAIL: still running 2.5 s after Exit"; kill $pid; exit 1; fi
# Starting and exiting opens no device.
[ ! -s "$trace" ] || { echo "FAIL: driver called at start:"; cat "$trace"; exit 1; }
echo "PASS: window $geo, exact title, Exit ended the program, no driver call"
' _ "$app" "$simlib"
