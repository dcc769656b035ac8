#!/usr/bin/env bash
# The Windows program under Wine, on a real X server with real input, against
# the simulator built as FTD2XX.DLL: "1 Frame", "Get Log", the drive letters of
# the Files dialog, "Store" on the root of C: and in C:\pics (exactly
# C:\mypic.bmp and C:\pics\mypic.bmp), "Display" of both, "Exit".
#   clickthrough_wine.sh <program.exe> <graticule folder> <shots folder> [FTD2XX.DLL]
# With the DLL given, program, DLL and graticules are copied to a scratch
# folder (on Wine's Z:) and the program starts there. Without it the program
# starts in the graticule folder as it is, with the DLL already put where it
# is found (an installed program). WINEPREFIX names an initialised prefix;
# WINEPATH may name the Qt DLLs' folder. Screenshots of each step land in the
# shots folder. Exit code 77 = skipped (reason printed).
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
exe=$1; graticules=$2; shots=$3; dll=${4:-}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d); trace=$work/trace.txt
c=$WINEPREFIX/drive_c
trap "rm -rf \"$work\"" EXIT
rm -rf "$c/mypic.bmp" "$c/pics"; mkdir -p "$c/pics"
if [ -n "$dll" ]; then
    cp "$exe" "$dll" "$graticules"/*.bmp "$work"/
    start=$work; exe=$work/$(basename "$exe")
else
    start=$graticules
fi
fail() { echo "FAIL: $*"; import -window root "$shots/failure.png" 2>/dev/null; kill $pid 2>/dev/null; exit 1; }
shot() { import -window root "$shots/$1.png"; }
wait_file() { for i in $(seq 50); do [ -s "$1" ] && return 0; sleep 0.1; done; fail "$2"; }
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
# Opens a folder of C: in the folder list by a double click on its row: the
# drive root is the first row, then its subfolders sorted as the program sorts them.
row() { echo $((148 + 20 * $1)); }
open_folder() {
    local at=0
    [ -n "$1" ] && at=$(find "$c" -mindepth 1 -maxdepth 1 -type d -printf "%f\n" | sort -f | grep -nx "$1" | cut -d: -f1)
    xdotool mousemove --window "$f" 70 "$(row "$at")" click --repeat 2 --delay 80 1; sleep 0.7
}
store() { click "$f" 412 40; wait_file "$1" "Store wrote no $2"; wait_hidden Store
          identify -format "%m %wx%h" "$1" | grep -Eq "^BMP3? 320x240$" || fail "$2 is no 320 x 240 bitmap"; }
# Chooses the first file of the list, the only one, then "Display".
display_file() {
    click "$f" 230 179; sleep 0.3
    click "$f" 412 144; wait_hidden Display; sleep 0.3
    display "$work/again.png"
    compare -metric AE "$2" "$work/again.png" null: 2>/dev/null || fail "Display of $1 did not give back the stored picture"
}

# Windows of a prefix go to the X display its running Wine session opened:
# let a session started elsewhere (other tests, the installer) end first.
timeout 60 wineserver -w
cd "$start"
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
# The drive selector lists Wine'\''s drives, C: first and Z: last.
xdotool mousemove --window "$f" 90 82 click 1; sleep 0.7
shot 3-drives
click "$f" 40 102; sleep 0.7
open_folder ""
shot 4-root
store "$c/mypic.bmp" "C:\\mypic.bmp"
compare -metric AE "$c/mypic.bmp" "$work/shown.png" null: 2>/dev/null || fail "C:\\mypic.bmp differs from the display"

files
open_folder pics
shot 5-pics
store "$c/pics/mypic.bmp" "C:\\pics\\mypic.bmp"
[ "$(ls "$c/pics")" = mypic.bmp ] || fail "C:\\pics holds $(ls "$c/pics")"
ls "$c" | grep -qi "^pics.*mypic" && fail "a file named after the folder was written on C:\\"

click "$win" 176 472; sleep 0.5
dark Clear
files
display_file "C:\\pics\\mypic.bmp" "$c/pics/mypic.bmp"
click "$win" 176 472; sleep 0.5
files
open_folder ""
display_file "C:\\mypic.bmp" "$c/mypic.bmp"
shot 6-displayed

exit_app 50
timeout 60 wineserver -w
rm -rf "$c/mypic.bmp" "$c/pics"
echo "PASS: 1 Frame, Get Log, drives, Store C:\\mypic.bmp and C:\\pics\\mypic.bmp, Display of both, Exit; screenshots in $shots"
' _ "$1" "$2" "$shots" "${4:-}"
