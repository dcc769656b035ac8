#!/usr/bin/env bash
# The Windows installer under Wine: installs silently into C:\Corvameter,
# checks the files and the Start-menu shortcut (working folder: the graticule
# folder), clicks through the installed program with the simulator's
# FTD2XX.DLL on the DLL path (clickthrough_wine.sh), captures a frame with the
# installed corvactl, then uninstalls silently
# and checks that nothing is left.
#   installer_wine.sh <installer.exe> <FTD2XX.DLL> <shots folder>
# WINEPREFIX names an initialised prefix. Exit code 77 = skipped.
set -u
installer=$1; dll=$2; shots=$3
here=$(cd "$(dirname "$0")" && pwd)
command -v wine >/dev/null || { echo "SKIP: wine is not installed"; exit 77; }
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX/drive_c" ] || { echo "SKIP: WINEPREFIX names no initialised prefix"; exit 77; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
c=$WINEPREFIX/drive_c; dir=$c/Corvameter
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$dir"
wine "$installer" /S '/D=C:\Corvameter' || fail "the installer ended with $?"
for f in bin/corvameter-remote.exe bin/corvactl.exe bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/Qt6PrintSupport.dll \
         bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll bin/libwinpthread-1.dll bin/platforms/qwindows.dll \
         share/corvameter-remote/graticules/wfm_eu.bmp Uninstall.exe; do
    [ -f "$dir/$f" ] || fail "C:\\Corvameter\\$f not installed"
done
[ "$(ls "$dir/share/corvameter-remote/graticules" | wc -l)" -eq 15 ] || fail "not the 15 graticules"
# Explorer shows each program's own icon and version: an icon group (type 14)
# and a version block (type 16) among the resource types.
for exe in corvameter-remote corvactl; do
    types=$(x86_64-w64-mingw32-objdump -p "$dir/bin/$exe.exe" | grep -E '^[0-9a-f]+   Entry: ID: ')
    grep -q 'ID: 0x00000e,' <<<"$types" && grep -q 'ID: 0x000010,' <<<"$types" ||
        fail "$exe.exe carries no icon or no version resource"
done
[ -e "$dir/bin/FTD2XX.dll" ] && fail "the installer ships FTD2XX.DLL"
lnk=$(find "$c" -path "*/Start Menu/Programs/*" -name "Corvameter Remote Control.lnk" | head -1)
[ -n "$lnk" ] || fail "no Start-menu shortcut"
strings -el "$lnk" | grep -qi 'C:\\Corvameter\\share\\corvameter-remote\\graticules$' ||
    fail "the shortcut does not start in the graticule folder: $(strings -el "$lnk" | tr '\n' ' ')"
echo "installed: $(du -sh "$dir" | cut -f1) in C:\\Corvameter, shortcut $lnk"

# The driver comes from elsewhere, as FTDI's installer puts it in the system
# folder: here a folder of its own on the DLL path, and no Qt of the build.
sim=$(mktemp -d); trap 'rm -rf "$sim"' EXIT
cp "$dll" "$sim/FTD2XX.DLL"
WINEPATH="Z:$sim" "$here/clickthrough_wine.sh" "$dir/bin/corvameter-remote.exe" \
    "$dir/share/corvameter-remote/graticules" "$shots" || fail "the installed program"
# corvactl finds the installed graticules from where it is.
rm -f "$c/shot.png"
WINEPATH="Z:$sim" wine "$dir/bin/corvactl.exe" capture -o 'C:\shot.png' || fail "the installed corvactl capture"
identify -format "%m %wx%h" "$c/shot.png" | grep -q "^PNG 320x240$" || fail "corvactl wrote no 320 x 240 PNG"
rm -f "$c/shot.png"

wine "$dir/Uninstall.exe" /S || fail "the uninstaller ended with $?"
# The uninstaller runs on from a copy of itself in the temporary folder:
# wait for the prefix to fall idle.
timeout 120 wineserver -w
[ -e "$dir" ] && fail "left behind: $(find "$dir" | head)"
[ -e "$lnk" ] && fail "the Start-menu shortcut is still there"
echo "PASS: silent install into C:\\Corvameter, the installed program, silent uninstall"
