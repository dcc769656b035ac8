#!/usr/bin/env bash
# The Windows installer under Wine: installs silently into C:\Corvameter,
# checks the files and the Start-menu shortcuts (working folder: the graticule
# folder), clicks through the installed program with the simulator's
# FTD2XX.DLL on the DLL path (clickthrough_wine.sh), captures a frame with the
# installed corvactl, runs the browser entry's corvactl serve --open and asks
# it for a frame, then uninstalls silently and checks that nothing is left.
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
         bin/Qt6Network.dll bin/Qt6HttpServer.dll bin/Qt6WebSockets.dll bin/tls/qschannelbackend.dll \
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
# The browser entry: corvactl serve --open in a console window, in the same folder.
web=$(find "$c" -path "*/Start Menu/Programs/*" -name "Corvameter Remote in the Browser.lnk" | head -1)
[ -n "$web" ] || fail "no Start-menu entry \"Corvameter Remote in the Browser\""
strings -a "$web" | grep -qix 'C:\\Corvameter\\bin\\corvactl\.exe' ||
    fail "the browser entry does not start corvactl.exe: $(strings -a "$web" | tr '\n' ' ')"
strings -el "$web" | grep -qx '.\?serve --open' ||
    fail "the browser entry does not run serve --open: $(strings -el "$web" | tr '\n' ' ')"
strings -el "$web" | grep -qi 'C:\\Corvameter\\share\\corvameter-remote\\graticules$' ||
    fail "the browser entry does not start in the graticule folder: $(strings -el "$web" | tr '\n' ' ')"
echo "installed: $(du -sh "$dir" | cut -f1) in C:\\Corvameter, shortcuts $lnk, $web"

# The driver comes from elsewhere, as FTDI's installer puts it in the system
# folder: here a folder of its own on the DLL path, and no Qt of the build.
sim=$(mktemp -d)
# The shell's handler of http addresses, while serve --open runs: one that
# writes the address down instead of starting a browser.
key='HKCR\http\shell\open\command'; handler=""; served=""
cleanup() {
    [ -n "$served" ] && kill "$served" 2>/dev/null
    [ -n "$handler" ] && wine reg add "$key" /ve /d "$handler" /f >/dev/null
    rm -rf "$sim"
}
trap cleanup EXIT
cp "$dll" "$sim/FTD2XX.DLL"
WINEPATH="Z:$sim" "$here/clickthrough_wine.sh" "$dir/bin/corvameter-remote.exe" \
    "$dir/share/corvameter-remote/graticules" "$shots" || fail "the installed program"
# corvactl finds the installed graticules from where it is.
rm -f "$c/shot.png"
WINEPATH="Z:$sim" wine "$dir/bin/corvactl.exe" capture -o 'C:\shot.png' || fail "the installed corvactl capture"
identify -format "%m %wx%h" "$c/shot.png" | grep -q "^PNG 320x240$" || fail "corvactl wrote no 320 x 240 PNG"
rm -f "$c/shot.png"

# The browser entry's command, on a free port with a token of its own: the
# installed serve answers, and the shell is handed the address it printed.
handler=$(wine reg query "$key" /ve | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p')
[ -n "$handler" ] || fail "no handler of http addresses in the prefix"
wine reg add "$key" /ve /d 'C:\windows\system32\cmd.exe /c echo %1> C:\opened.txt' /f >/dev/null ||
    fail "cannot set the http handler"
rm -f "$c/opened.txt" "$c/serve-token"
(cd "$dir/share/corvameter-remote/graticules" &&
    WINEPATH="Z:$sim" exec wine "$dir/bin/corvactl.exe" serve --open --listen 127.0.0.1:0 --token-file 'C:\serve-token' \
        >"$sim/out" 2>"$sim/err") &
served=$!
url=""
for _ in $(seq 120); do
    url=$(head -1 "$sim/out" | tr -d '\r')
    [ -n "$url" ] || ! kill -0 "$served" 2>/dev/null && break
    sleep 0.5
done
[[ $url =~ ^http://127\.0\.0\.1:([0-9]+)/#token=([0-9a-f]{32})$ ]] ||
    fail "the installed corvactl serve printed no address: $url $(cat "$sim/err")"
port=${BASH_REMATCH[1]}; token=${BASH_REMATCH[2]}
curl -fsS -m 60 -X POST -H "Authorization: Bearer $token" -o "$sim/frame.png" "http://127.0.0.1:$port/api/v1/frame" ||
    fail "the installed serve answered no frame"
identify -format "%m %wx%h" "$sim/frame.png" | grep -q "^PNG 320x240$" || fail "the installed serve's frame is no 320 x 240 PNG"
for _ in $(seq 60); do [ -s "$c/opened.txt" ] && break; sleep 0.5; done
[ "$(tr -d '\r' <"$c/opened.txt")" = "$url" ] ||
    fail "--open handed the shell \"$(cat "$c/opened.txt" 2>/dev/null)\", not $url"
kill "$served"; wait "$served"; served=""
wine reg add "$key" /ve /d "$handler" /f >/dev/null; handler=""
rm -f "$c/opened.txt" "$c/serve-token"

wine "$dir/Uninstall.exe" /S || fail "the uninstaller ended with $?"
# The uninstaller runs on from a copy of itself in the temporary folder:
# wait for the prefix to fall idle.
timeout 120 wineserver -w
[ -e "$dir" ] && fail "left behind: $(find "$dir" | head)"
[ -e "$lnk" ] && fail "the Start-menu shortcut is still there"
[ -e "$web" ] && fail "the browser entry is still there"
echo "PASS: silent install into C:\\Corvameter, the installed program, serve --open, silent uninstall"
