#!/usr/bin/env bash
# Installs the Debian package the way a user does and uses it: lintian and
# appstreamcli on the package, `apt-get install ./<deb>` (apt resolves the
# dependencies), the program started as its menu entry starts it and clicked
# through under Xvfb on the simulator's driver library, the installed corvactl, then
# `apt-get purge` and a check that nothing of the package is left.
# The service: its sandbox rated by systemd-analyze, and started under systemd
# (service_check.sh), here where systemd runs, else in the test machine of
# tests/vm booted into systemd, given the build folder.
#   tests/package/check_deb.sh <corvameter-remote_*.deb> <folder of the simulator's libftd2xx.so> [<build folder>]
# It installs and removes a package on this machine: meant for CI (root or sudo).
set -euo pipefail
deb=$(realpath "$1"); simlib=$(realpath "$2"); build=${3:+$(realpath "$3")}
here=$(cd "$(dirname "$0")" && pwd)
pkg=corvameter-remote
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

echo "== lintian"
lintian --fail-on error "$deb" || fail "lintian reports errors"

echo "== install"
if dpkg-query -W -f='${Status}' $pkg 2>/dev/null | grep -q "ok installed"; then $sudo apt-get purge -y $pkg; fi
$sudo apt-get install -y "$deb"
dpkg-query -L $pkg > "$work/files"
for f in /usr/bin/corvameter-remote /usr/share/applications/$pkg.desktop \
         /usr/share/corvameter-remote/graticules/wfm_eu.bmp /usr/share/icons/hicolor/scalable/apps/$pkg.svg \
         /usr/share/icons/hicolor/32x32/apps/$pkg.png /usr/share/man/man1/$pkg.1.gz \
         /usr/lib/udev/rules.d/70-corvameter.rules /usr/share/doc/$pkg/copyright; do
    grep -qx "$f" "$work/files" && [ -f "$f" ] || fail "$f is not installed"
done
meta=$(grep '^/usr/share/metainfo/.*\.metainfo\.xml$' "$work/files") || fail "no AppStream metainfo"
appstreamcli validate --no-net "$meta" || fail "appstreamcli rejects $meta"
# Every library the programs need came with the dependencies, libftdi1 among them.
for b in $(grep '^/usr/bin/' "$work/files"); do
    ! ldd "$b" | grep "not found" || fail "$b misses libraries"
done
if ldd /usr/bin/corvameter-remote | grep -q libftdi1; then
    dpkg-query -W -f='${Depends}' $pkg | grep -q libftdi1 || fail "libftdi1 is not among the dependencies"
fi
# udev parses the installed rule without complaint.
if command -v udevadm >/dev/null && [ -d /sys/class/net/lo ]; then
    out=$(udevadm test --action=add /sys/class/net/lo 2>&1 || true)
    grep -q "Reading rules file: /usr/lib/udev/rules.d/70-corvameter.rules" <<<"$out" || fail "udev did not read the rule"
    ! grep "70-corvameter.rules:" <<<"$out" || fail "udev complains about the rule"
fi

# The postinst applies the rule to FTDI's devices at once where udev runs,
# the postrm takes it back; run here with a udevadm that notes its calls.
scripts=/var/lib/dpkg/info/$pkg
[ -x "$scripts.postinst" ] && [ -x "$scripts.postrm" ] || fail "no postinst and postrm"
mkdir -p "$work/bin" && printf '#!/bin/sh\necho "$*" >> %s/udevadm.log\n' "$work" > "$work/bin/udevadm" && chmod +x "$work/bin/udevadm"
made_run_udev=""; [ -d /run/udev ] || { $sudo mkdir -p /run/udev; made_run_udev=1; }
PATH=$work/bin:$PATH "$scripts.postinst" configure && PATH=$work/bin:$PATH "$scripts.postrm" remove
[ -z "$made_run_udev" ] || $sudo rmdir /run/udev
[ "$(cat "$work/udevadm.log")" = "control --reload-rules
trigger --action=add --subsystem-match=usb --attr-match=idVendor=0403
control --reload-rules
trigger --action=change --subsystem-match=usb --attr-match=idVendor=0403" ] || fail "maintainer scripts ran: $(cat "$work/udevadm.log")"

echo "== the program, started as the menu entry starts it"
entry=/usr/share/applications/$pkg.desktop
exec_line=$(sed -n 's/^Exec=//p' "$entry" | sed 's/ *%[fFuUick]//g')
path=$(sed -n 's/^Path=//p' "$entry")
[ -d "$path" ] || fail "the entry's Path= $path is no folder"
# The click-through on the installed program, with the entry's folder as its graticules.
"$(dirname "$0")/../e2e/clickthrough_e2e.sh" "$exec_line" "$simlib" "$work/shots" "$path" ||
    { cp "$work/shots/failure.png" . 2>/dev/null; fail "the installed program"; }

if [ -x /usr/bin/corvactl ]; then
    echo "== corvactl capture"
    [ -f /usr/share/man/man1/corvactl.1.gz ] || fail "corvactl has no manual page"
    (cd "$work" && LD_LIBRARY_PATH=$simlib CORVASIM_MODES=1 corvactl capture -o capture.bmp) || fail "corvactl capture failed"
    identify -format "%wx%h" "$work/capture.bmp" | grep -qx 320x240 || fail "corvactl capture wrote no 320 x 240 picture"
    diff=$(compare -metric AE "$work/capture.bmp" /usr/share/corvameter-remote/graticules/wfm_eu.bmp null: 2>&1 || true)
    [ "$diff" -gt 200 ] 2>/dev/null && [ "$diff" -lt 20000 ] || fail "corvactl capture: not the instrument's pixels over the graticule ($diff differ)"
fi

unit=/usr/lib/systemd/system/corvameter-serve.service
if [ -f "$unit" ]; then
    echo "== the service"
    grep -qx /etc/default/corvameter-serve "/var/lib/dpkg/info/$pkg.conffiles" || fail "its options file is no conffile"
    rating=$(systemd-analyze security --offline=yes "$unit" 2> /dev/null |
             sed -n 's/.*Overall exposure level for corvameter-serve.service: \([0-9.]*\).*/\1/p')
    awk -v r="$rating" 'BEGIN { exit !(r != "" && r <= 2.0) }' || fail "the service's sandbox rates '$rating', want 2.0 or lower"
    echo "sandbox exposure $rating"
    if [ -d /run/systemd/system ]; then
        bash "$here/service_check.sh" || fail "the service"
    elif [ -n "$build" ]; then
        rc=0; CORVA_VM_INIT=systemd "$here/../vm/bed.sh" "$build" "$build/vm-service" "$here/service_check.sh" > "$work/vm.log" 2>&1 || rc=$?
        if [ $rc = 77 ]; then
            echo "SKIP: the service's start: systemd does not run here, and $(tail -1 "$work/vm.log")"
        else
            grep -qx "ok service" "$build/vm-service/out/results.txt" 2> /dev/null ||
                { tail -40 "$work/vm.log"; fail "the service under systemd in the test machine: $(cat "$build/vm-service/out/results.txt" 2> /dev/null)"; }
            echo "started under systemd in the test machine, 1 Frame through it"
        fi
    else
        echo "SKIP: the service's start: systemd does not run here"
    fi
fi

echo "== purge"
$sudo apt-get purge -y $pkg
! dpkg-query -W -f='${Status}' $pkg 2>/dev/null | grep -q "installed" || fail "still installed"
left=""
while read -r f; do
    # Folders shared with other packages stay; anything of ours must go.
    if [ -e "$f" ] && { [ ! -d "$f" ] || ! dpkg-query -S "$f" >/dev/null 2>&1; }; then left+=" $f"; fi
done < "$work/files"
[ -z "$left" ] || fail "left behind after purge:$left"
echo "PASS: lintian, appstreamcli, install with dependencies, maintainer scripts, menu-entry start and click-through, corvactl capture, the service, purge left nothing"
