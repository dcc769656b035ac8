#!/usr/bin/env bash
# The installed Windows program under Wine, on a real X server with real
# input, with the simulator's FTD2XX.DLL on the DLL path: "1 Frame", "Get
# Log", "Store" on the root of C: (exactly C:\mypic.bmp), "Clear", "Display"
# of it, "Exit". It starts in the graticule folder, as its shortcut starts it.
#   clickthrough_wine.sh <program.exe> <graticule folder> <shots folder>
# WINEPREFIX names an initialised prefix; WINEPATH the DLL's folder.
# Screenshots of each step land in the shots folder. Exit code 77 = skipped.
set -u
for t in wine xvfb-run xdotool xwininfo import compare identify; do
    command -v $t >/dev/null || { echo "SKIP: $t is not installed"; exit 77; }
done
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "SKIP: WINEPREFIX names no initialised prefix"; exit 77; }
mkdir -p "$3"
shots=$(cd "$3" && pwd)
export CORVA_XWIN=$(cd "$(dirname "$0")/../support" && pwd)/xwin.sh
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
set -u
. "$CORVA_XWIN"
exe=$1; graticules=$2; shots=$3
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d); trace=$work/trace.txt
c=$WINEPREFIX/drive_c
trap "rm -rf \"$work\"" EXIT
rm -f "$c/mypic.bmp"
fail() { echo "FAIL: $*"; import -window root "$shots/failure.png" 2>/dev/null; kill $pid 2>/dev/null; exit 1; }
shot() { import -window root "$shots/$1.png"; }
# Without a window manager Wine takes a moment to unmap a hidden window, and
# until it has, the window still takes the clicks meant for what lies below.
wait_hidden() {
    for i in $(seq 100); do
        xwininfo -id "$f" 2>/dev/null | grep -q "IsViewable" || return 0; sleep 0.1
    done
    fail "the Files dialog stayed on screen after $1"
}
files() {
    click "$win" 72 384
    f=$(window "^Files$" 5 --onlyvisible) || fail "Files showed no dialog"
    sleep 0.7
}

# Windows of a prefix go to the X display its running Wine session opened:
# let a session started elsewhere (other tests, the installer) end first.
timeout 60 wineserver -w
cd "$graticules"
CORVASIM_TRACE="Z:$trace" CORVASIM_MODES=1,17 wine "$exe" >"$work/wine.log" 2>&1 & pid=$!
win=$(window "$main_title" 30 --onlyvisible) || { cat "$work/wine.log"; fail "no main window"; }
sleep 1
shot 0-start

click "$win" 72 240; wait_closes 1 "1 Frame"; sleep 0.5
[ "$(writes F2)" -eq 1 ] || fail "1 Frame sent $(writes F2) mode requests"
lit "1 Frame"
shot 1-frame

click "$win" 72 48; wait_closes 2 "Get Log"; sleep 0.5
[ "$(writes FA)" -ge 1 ] || fail "Get Log asked for no record"
shot 2-log

display "$work/shown.png"
files
# Drive C: from the drive selector, then its root, the first row of the folder list.
xdotool mousemove --window "$f" 90 82 click 1; sleep 0.7
click "$f" 40 102; sleep 0.7
xdotool mousemove --window "$f" 70 148 click --repeat 2 --delay 80 1; sleep 0.7
shot 3-root
click "$f" 412 40
for i in $(seq 50); do [ -s "$c/mypic.bmp" ] && break; sleep 0.1; done
wait_hidden Store
identify -format "%m %wx%h" "$c/mypic.bmp" 2>/dev/null | grep -Eq "^BMP3? 320x240$" || fail "Store wrote no 320 x 240 C:\\mypic.bmp"
compare -metric AE "$c/mypic.bmp" "$work/shown.png" null: 2>/dev/null || fail "C:\\mypic.bmp differs from the display"

click "$win" 176 472; sleep 0.5
dark Clear
files
# The only file of the list, then "Display".
click "$f" 230 179; sleep 0.3
click "$f" 412 144; wait_hidden Display; sleep 0.3
display "$work/again.png"
compare -metric AE "$c/mypic.bmp" "$work/again.png" null: 2>/dev/null || fail "Display did not give back C:\\mypic.bmp"
shot 4-displayed

exit_app 50
timeout 60 wineserver -w
rm -f "$c/mypic.bmp"
echo "PASS: 1 Frame, Get Log, Store C:\\mypic.bmp, Clear, Display, Exit; screenshots in $shots"
' _ "$1" "$2" "$shots"
