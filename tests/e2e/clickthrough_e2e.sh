#!/usr/bin/env bash
# Clicks through the program under a real X server with real input events:
# "1 Frame", "Copy Picture" from the display's menu, "Continuous"/"Stop",
# "Get Log", "Files"/"Store", "Clear", "Files"/"Display", "Exit". The driver
# comes from the loader path given: the drop-in simulator library, or FTDI's
# library or libftdi1 over the emulated chip. Screenshots of each step are kept
# in the shots folder, the display after "1 Frame" as 1-display.png. The
# program is started with the toolkit's own options, which it must ignore
# (exact title, no style sheet read, not another platform), and calls no
# driver at start.
#   clickthrough_e2e.sh <program> <loader path> <shots folder> <graticule folder>
# CORVA_E2E_DRIVER: a pattern the program's "USB driver library: " line must match.
# CORVA_E2E_LOADED: files the program must have loaded.
# CORVA_E2E_SAME_AS: a picture the display after "1 Frame" must equal.
# Exit code 77 = skipped (reason printed).
set -u
app=$1; libs=$2; shots=$3; graticules=$4
for t in xvfb-run xdotool xclip import compare identify; do
    command -v $t >/dev/null || { echo "SKIP: $t is not installed (apt-get install xvfb xdotool xclip imagemagick)"; exit 77; }
done
mkdir -p "$shots"
export CORVA_XWIN=$(cd "$(dirname "$0")/../support" && pwd)/xwin.sh
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
set -u
. "$CORVA_XWIN"
app=$1; libs=$2; shots=$3; graticules=$4
work=$(mktemp -d); trace=$work/trace.txt
trap "rm -rf \"$work\"" EXIT
cp "$graticules"/*.bmp "$work"/
fail() { echo "FAIL: $*"; cat "$work/app.err"; import -window root "$shots/failure.png" 2>/dev/null; kill $pid 2>/dev/null; exit 1; }
shot() { import -window "$win" "$shots/$1.png"; }

cd "$work"
echo "* { background: #ff0000; }" > "$work/red.qss"
QT_QPA_PLATFORM=xcb LD_LIBRARY_PATH=$libs CORVASIM_TRACE=$trace CORVASIM_MODES=1,17 "$app" -qwindowtitle Other -title Other \
    -stylesheet "$work/red.qss" -style windows -reverse -platform offscreen 2>"$work/app.err" & pid=$!
win=$(window "$main_title") || fail "no main window with the exact title"
sleep 0.5
shot 0-start
geo=$(xdotool getwindowgeometry "$win" | sed -n "s/.*Geometry: //p")
[ "$geo" = "505x497" ] || fail "client area $geo, want 505x497"
red=$(import -window "$win" -crop 1x1+2+2 +repage -format "%[fx:r>0.9&&g<0.1&&b<0.1]" info: 2>/dev/null)
[ "$red" = 0 ] || fail "the style sheet given on the command line was read"
[ ! -s "$trace" ] || fail "driver called at start: $(cat "$trace")"

click "$win" 72 240; wait_closes 1 "1 Frame"; sleep 0.3
[ "$(writes F2)" -eq 1 ] || fail "1 Frame sent $(writes F2) mode requests"
lit "1 Frame"
shot 1-frame
display "$shots/1-display.png"
cp "$shots/1-display.png" "$work/frame.png"
[ -z "${CORVA_E2E_SAME_AS:-}" ] || compare -metric AE "$work/frame.png" "$CORVA_E2E_SAME_AS" null: 2>/dev/null ||
    fail "the display after 1 Frame differs from $CORVA_E2E_SAME_AS"
echo "loaded by the program:"
grep -oE "/[^ ]*(libftd2xx\.so|libusb-1\.0\.so[.0-9]*)$" /proc/$pid/maps | sort -u | sed "s/^/    /"
for f in ${CORVA_E2E_LOADED:-}; do grep -q "$f" /proc/$pid/maps || fail "$f not loaded"; done
[ -z "${CORVA_E2E_DRIVER:-}" ] || grep -Eq "^USB driver library: ${CORVA_E2E_DRIVER}" "$work/app.err" ||
    fail "the program took another driver library than ${CORVA_E2E_DRIVER}"

# "Copy Picture" from the menu of the display puts exactly its pixels on
# the clipboard, as PNG and as a bitmap.
xdotool mousemove --window "$win" 300 300 click 3; sleep 0.5
import -window root "$shots/1-menu.png"
xdotool mousemove_relative 30 10 click 1; sleep 0.3
types=$(xclip -selection clipboard -t TARGETS -o 2>/dev/null)
for t in image/png image/bmp; do echo "$types" | grep -qx "$t" || fail "no $t on the clipboard after Copy Picture"; done
xclip -selection clipboard -t image/png -o > "$work/clip.png" 2>/dev/null
compare -metric AE "$work/clip.png" "$work/frame.png" null: 2>/dev/null || fail "the clipboard holds other pixels than the display"
[ "$(identify -format "%wx%h" "$work/clip.png")" = 320x240 ] || fail "the clipboard picture is not 320 x 240"

click "$win" 72 288; sleep 2
shot 2-continuous
click "$win" 72 336; sleep 0.5
n=$(writes F2); [ "$n" -ge 4 ] || fail "Continuous ran only $((n - 1)) frames in 2 s"
wait_closes 2 "Stop"
sleep 0.5; n2=$(writes F2); [ "$n2" -eq "$n" ] || fail "frames still coming after Stop"

click "$win" 72 48; wait_closes 3 "Get Log"; sleep 0.3
[ "$(writes FA)" -ge 25 ] || fail "Get Log asked for $(writes FA) records, want 25"
shot 3-log

# The dialog opens over the display: take the picture to compare first.
display "$work/shown.png"
click "$win" 72 384
files=$(window "^Files$" 5) || fail "Files opened no dialog"
sleep 0.5
xdotool mousemove --window "$files" 252 88 click --repeat 3 1; xdotool type --delay 20 "e2e.bmp"
shot_files() { import -window "$files" "$shots/$1.png"; }
shot_files 4-files
click "$files" 412 40
for i in $(seq 30); do [ -s e2e.bmp ] && break; sleep 0.1; done
identify -format "%m %wx%h" e2e.bmp 2>/dev/null | grep -Eq "^BMP3? 320x240$" || fail "Store wrote no 320 x 240 bitmap"
compare -metric AE e2e.bmp "$work/shown.png" null: 2>/dev/null || fail "stored picture differs from the display"

click "$win" 176 472; sleep 0.5
dark Clear
shot 5-cleared

click "$win" 72 384; sleep 0.5
# Select the stored file by typing its first letter in the file list, then "Display".
xdotool mousemove --window "$files" 252 340 click 1; xdotool key Home; xdotool type e; sleep 0.2
click "$files" 412 144; sleep 0.5
display "$work/again.png"
compare -metric AE e2e.bmp "$work/again.png" null: 2>/dev/null || fail "Display did not give back the stored picture"
shot 6-displayed

exit_app 25
cat "$work/app.err"
done="1 Frame, Copy Picture, Continuous ($((n - 1)) frames)/Stop, Get Log, Store, Clear, Display, Exit"

# Unplugged during "Continuous": the download ends by itself, the window
# answering all along (pinged as a window manager pings it), and "1 Frame"
# works once the instrument is back.
if [ -n "${CORVA_E2E_XPING:-}" ]; then
    : > "$trace"
    QT_QPA_PLATFORM=xcb LD_LIBRARY_PATH=$libs CORVASIM_TRACE=$trace CORVASIM_MODES=1,17 \
        CORVASIM_FAULTS=unplug-after=100000,replug-after=3000 "$app" 2>"$work/app.err" & pid=$!
    win=$(window "$main_title") || fail "no main window for the unplug"
    sleep 0.5
    click "$win" 72 288
    longest=$("$CORVA_E2E_XPING" "$win" 3) || fail "the window stopped answering after the unplug"
    grep -q "^Write.*status" "$trace" || fail "the instrument was not unplugged during Continuous"
    [ "$longest" -le 200 ] || fail "the window did not answer for $longest ms during Continuous and the unplug"
    n=$(writes F2); sleep 0.5; [ "$(writes F2)" -eq "$n" ] || fail "Continuous went on after the unplug"
    shot 7-unplugged
    sleep 1.5
    from=$(wc -l < "$trace")
    click "$win" 72 240; wait_closes 2 "1 Frame after the unplug"; sleep 0.3
    ! tail -n +"$((from + 1))" "$trace" | grep "status" || fail "1 Frame after the instrument came back failed"
    lit "1 Frame after the unplug"
    shot 8-back
    exit_app 25
    done="$done; Continuous through an unplug, the window answering within $longest ms, 1 Frame after"
fi
echo "PASS: $done; screenshots in $shots"
' _ "$app" "$libs" "$shots" "$graticules"
