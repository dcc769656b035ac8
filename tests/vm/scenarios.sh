# The scenarios on the real kernel, sourced by guest.sh in the test machine.
# One function sc_NAME each, run in this order, one test vm.NAME each; a new
# scenario is a new function (guest.sh has the helpers and the verdicts).
# Pictures and texts are checked by vm_check against the instrument's frames
# in the serial line's trace and its log records.

# capture FILE ARGS...: corvactl capture, the picture exact.
capture() {
    local file=$1 from; shift
    from=$(mark); echo "$from" > "$file.from"
    corva capture -o "$file" "$@" || fail "capture $*: exit $?: $(lasterr)"
    "$check" picture "$file" "$trace" "$from" 2> "$state/why" || fail "capture $*: $(cat "$state/why")"
}
log() {
    corva log "$@" > log.txt || fail "log $*: exit $?: $(lasterr)"
    "$check" log log.txt 2> "$state/why" || fail "log $*: $(cat "$state/why")"
}
# The user's serial cable on, its tty held open by a program of theirs
# ($holder), as a terminal program would hold it.
hold_cable() {
    cable on || fail "the cable did not come"
    cabledev=$(usbdev FT9CABLE)
    local tty; for _ in $(seq 25); do tty=$(ls "/sys/bus/usb/devices/$cabledev:1.0" | grep -m1 '^ttyUSB') && [ -e "/dev/$tty" ] && break; sleep 0.2; done
    [ -n "$tty" ] || fail "ftdi_sio made no tty for the cable"
    sleep 1000 < "/dev/$tty" & holder=$!
}
# ...and after a run, still theirs: the driver bound, the tty open, nothing sent down it.
cable_untouched() {
    kill -0 "$holder" 2> /dev/null || fail "$1: the program holding the cable's tty was ended"
    [ "$(basename "$(readlink "/sys/bus/usb/devices/$cabledev:1.0/driver")")" = ftdi_sio ] || fail "$1: ftdi_sio was detached from the cable"
    [ ! -s "$CORVA_WORK/cable.out" ] || fail "$1: bytes went down the cable"
}
# xserver :N: an Xvfb on that display, up, with the window helpers; its pid in $!.
xserver() {
    Xvfb "$1" -screen 0 1024x768x24 -nolisten tcp 2> /dev/null &
    export DISPLAY=$1
    for _ in $(seq 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.2; done
    . "$CORVA_SRC/tests/support/xwin.sh"
}
with_vendor() {
    [ -e "$vendor/libftd2xx.so" ] || skip "FTDI's library was not built (vm_ftdi_library: npm)"
    export LD_LIBRARY_PATH=$vendor
}

sc_libftdi_root() {
    sio_bind && [ -n "$(sio_tty)" ] || fail "ftdi_sio did not take the instrument"
    capture a.png --driver libftdi
    sio_bound || fail "after a run through libftdi1, ftdi_sio stays detached from the instrument"
    log --driver libftdi
}

sc_vendor_sio_unbound() {
    with_vendor
    sio_unbind
    capture a.png --driver vendor
    log --driver vendor
    local from; from=$(mark); echo "$from" > frames.from
    corva watch frames --count 10 --driver vendor > /dev/null || fail "watch: exit $?: $(lasterr)"
    n=$("$check" frames frames "$trace" "$from" 2> "$state/why") || fail "watch: $(cat "$state/why")"
    [ "$n" = 10 ] || fail "watch --count 10 wrote $n frames"
}

# The window program under Xvfb: "1 Frame" through libftdi1, beside the cable.
sc_window() {
    hold_cable
    xserver :7; local x=$!
    local from; from=$(mark)
    (cd "$CORVA_BUILD/graticules" && QT_QPA_PLATFORM=xcb exec "$CORVA_BUILD/app/corvameter-remote") 2> /dev/null & local app=$!
    win=$(window "$main_title" 60) || fail "no main window"
    sleep 1
    # "1 Frame": its end of screen, then a moment to paint.
    click "$win" 72 240
    for _ in $(seq 150); do tail -n +"$((from + 1))" "$trace" | grep -q "^Write F4" && break; sleep 0.2; done
    # The last answer still has to come back and be painted: a slow machine
    # takes seconds, so look again until the picture is whole or 20 s pass.
    echo "$from" > frame.png.from
    local ok=""
    for _ in $(seq 40); do
        sleep 0.5
        import -window "$win" -crop 320x240+146+184 +repage frame.png
        "$check" picture frame.png "$trace" "$from" 2> "$state/why" && { ok=1; break; }
    done
    [ -n "$ok" ] || fail "1 Frame: $(cat "$state/why")"
    kill $app $x
    cable_untouched "the window"
    kill $holder; cable off
}

# Beside the user's cable: list shows both, corvactl reaches the instrument
# through both libraries, by device 0 and by --serial, and leaves the cable be.
sc_beside_cable() {
    hold_cable
    sio_bind
    corva list > list.txt || fail "list: $(lasterr)"
    grep -q '^instrument: CVM00001$' list.txt && grep -q '^device: FT9CABLE.*held by sleep' list.txt &&
        grep -q '^device: CVM00001.*used by' list.txt || fail "list: $(tr '\n' '|' < list.txt)"
    capture a.png --driver libftdi
    capture b.png --driver libftdi --serial CVM00001
    sio_bound || fail "ftdi_sio left detached from the instrument"
    cable_untouched libftdi1
    if [ -e "$vendor/libftd2xx.so" ]; then
        sio_unbind
        # FTDI's library lists devices in an order of its own: its device 0
        # may be the cable, which it cannot open while ftdi_sio holds it.
        LD_LIBRARY_PATH=$vendor corva capture -o c.png --driver vendor
        LD_LIBRARY_PATH=$vendor capture d.png --driver vendor --serial CVM00001
        cable_untouched "FTDI's library"
    fi
    kill $holder; cable off
}

# FTDI's library installed, ftdi_sio bound as at every plug-in: by default
# libftdi1 takes the run and says why; forced, FTDI's library names the driver.
sc_vendor_sio_bound() {
    with_vendor
    sio_bind
    capture a.png
    grep -q "^USB driver library: libftdi1 .* (FTDI's library cannot open CVM00001 while ftdi_sio holds it)" "$state/err" ||
        fail "auto: $(grep 'USB driver library' "$state/err")"
    sio_bound || fail "ftdi_sio left detached"
    corva capture -o b.png --driver vendor && fail "FTDI's library opened the instrument under ftdi_sio"
    grep -q "ftdi_sio driver holds CVM00001" "$state/err" || fail "forced vendor: $(lasterr)"
}

sc_no_access() {
    local n rc; n=$(node "$instrument")
    [ "$(stat -c %a "$n")" != 666 ] || fail "$n is open to everyone"
    told() { grep -q "^corvactl: you may not open $n, the USB device node of CVM00001 (owner root, group root, mode 0[0-7]*); install the udev rule" "$state/err"; }
    as 2001 "" "$corvactl" capture -o /tmp/u2001/a.png --graticules "$CORVA_BUILD/graticules" --driver libftdi 2> "$state/err"
    rc=$?; [ $rc = 1 ] && [ ! -e /tmp/u2001/a.png ] || fail "libftdi1: exit $rc, or a file"
    told || fail "libftdi1: $(lasterr)"
    [ -e "$vendor/libftd2xx.so" ] || return 0
    LD_LIBRARY_PATH=$vendor as 2001 "" "$corvactl" capture -o /tmp/u2001/a.png --graticules "$CORVA_BUILD/graticules" --driver vendor 2> "$state/err"
    rc=$?; [ $rc = 1 ] && [ ! -e /tmp/u2001/a.png ] || fail "FTDI's library: exit $rc, or a file"
    told || fail "FTDI's library: $(lasterr)"
}

# The package's rule, then the README's group rule, under systemd-udevd.
sc_udev_rules() {
    local n k; n=$(node "$instrument"); k=$(node "$(grep -l "Keyboard" /sys/bus/usb/devices/*/product | head -1 | xargs dirname | xargs basename)")
    /lib/systemd/systemd-udevd --daemon
    apply() { udevadm control --reload && udevadm trigger --action=add --subsystem-match=usb && udevadm settle; }
    # The package's rule as its postinst applies it, the instrument not plugged in again.
    cp "$CORVA_SRC/dist/70-corvameter.rules" /etc/udev/rules.d/ && sh "$CORVA_SRC/dist/postinst" configure && udevadm settle
    for d in /dev/bus/usb/*/*; do
        udevadm info -q property -n "$d" | grep -q '^TAGS=.*:uaccess:' && [ "$d" != "$n" ] && fail "uaccess on $d too"
    done
    udevadm info -q property -n "$n" | grep -q '^TAGS=.*:uaccess:' || fail "no uaccess tag on $n"
    [ "$(stat -c '%G %a' "$n")" = "plugdev 660" ] || fail "the package's rule: $n is $(stat -c '%G %a' "$n")"
    grep -o 'SUBSYSTEM=="usb".*GROUP="plugdev", MODE="0660"' "$CORVA_SRC/README.md" | tail -1 > /etc/udev/rules.d/70-corvameter.rules && apply
    [ "$(stat -c '%G %a' "$n")" = "plugdev 660" ] || fail "README's rule: $n is $(stat -c '%G %a' "$n")"
    [ "$(stat -c %G "$k")" != plugdev ] || fail "README's rule gave the keyboard's $k to plugdev"
    as 2002 plugdev "$corvactl" capture -o /tmp/u2002/a.png --graticules "$CORVA_BUILD/graticules" --driver libftdi 2> "$state/err" ||
        fail "in plugdev, libftdi1: $(lasterr)"
    if [ -e "$vendor/libftd2xx.so" ]; then
        sio_unbind
        LD_LIBRARY_PATH=$vendor as 2002 plugdev "$corvactl" capture -o /tmp/u2002/b.png --graticules "$CORVA_BUILD/graticules" --driver vendor 2> "$state/err" ||
            fail "in plugdev, FTDI's library: $(lasterr)"
    fi
    udevadm control --exit
}

# Unplugged during watch: exit 1 within 2 s, every frame written whole.
sc_unplug_watch() {
    local from t rc; from=$(mark)
    corva watch frames --driver libftdi > /dev/null & local pid=$!
    for _ in $(seq 300); do [ -e frames/frame-000002.png ] && break; sleep 0.2; done
    [ -e frames/frame-000002.png ] || fail "watch wrote no 2 frames: $(lasterr)"
    t=$(date +%s%N); unplug
    wait $pid; rc=$?
    local ms=$((($(date +%s%N) - t) / 1000000))
    "$check" frames frames "$trace" "$from" > /dev/null 2> "$state/why" || fail "$(cat "$state/why")"
    [ $rc = 1 ] || fail "exit $rc after the unplug"
    [ $ms -le 2000 ] || fail "watch ended $ms ms after the unplug"
}

# Plugged in again, the instrument answers as before. Then unplugged and
# plugged in again during watch --reconnect: the series goes on with the same
# instrument, the gap in the index, every picture whole.
sc_reconnect_watch() {
    replug || fail "the instrument did not come back"
    capture a.png --driver libftdi
    corva watch frames --driver libftdi --count 6 --reconnect 60 > /dev/null & local pid=$!
    for _ in $(seq 300); do [ -e frames/frame-000002.png ] && break; sleep 0.2; done
    [ -e frames/frame-000002.png ] || fail "watch wrote no 2 frames: $(lasterr)"
    unplug; sleep 3
    replug || fail "the instrument did not come back"
    wait $pid || fail "watch: exit $?: $(lasterr)"
    local notes; notes=$(awk -F, 'NR > 1 && $1 == "" { printf "%s %s;", $3, $6 }' frames/index.csv)
    [ "$notes" = "CVM00001 instrument lost;CVM00001 instrument back;" ] || fail "index: $notes"
    [ "$(awk -F, 'NR > 1 && $1 != "" && $3 == "CVM00001"' frames/index.csv | wc -l)" = 6 ] || fail "not 6 frames of CVM00001 in the index"
    [ "$(ls frames/frame-*.png | wc -l)" = 6 ] || fail "not 6 pictures"
    for f in frames/frame-*.png; do
        [ "$(identify -format %wx%h "$f" 2> /dev/null)" = 320x240 ] || fail "$f is not a whole picture"
    done
}

scenarios "$BASH_SOURCE" "$@"
