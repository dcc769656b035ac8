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
with_vendor() {
    [ -e "$vendor/libftd2xx.so" ] || skip "FTDI's library was not built (vm_ftdi_library: npm)"
    export LD_LIBRARY_PATH=$vendor
}

sc_libftdi_root() {
    sio_bind && [ -n "$(sio_tty)" ] || fail "ftdi_sio did not take the instrument"
    capture a.png --driver libftdi
    sio_bound || touch "$state/sio-left-detached"
    log --driver libftdi
}

sc_sio_attached_again() {
    [ -e "$state/sio-left-detached" ] && todo "after a run through libftdi1, ftdi_sio stays detached from the instrument"
    sio_bound || fail "ftdi_sio is not bound"
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

# The window program under Xvfb: "1 Frame" and "Get Log", through libftdi1.
sc_window() {
    Xvfb :7 -screen 0 1024x768x24 -nolisten tcp 2> /dev/null & local x=$!
    export DISPLAY=:7
    for _ in $(seq 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.2; done
    . "$CORVA_SRC/tests/support/xwin.sh"
    local from; from=$(mark)
    (cd "$CORVA_BUILD/graticules" && QT_QPA_PLATFORM=xcb exec "$CORVA_BUILD/app/corvameter-remote") 2> /dev/null & local app=$!
    win=$(window "$main_title" 60) || fail "no main window"
    sleep 1
    # "1 Frame": its end of screen, then a moment to paint.
    click "$win" 72 240
    for _ in $(seq 150); do tail -n +"$((from + 1))" "$trace" | grep -q "^Write F4" && break; sleep 0.2; done
    sleep 1
    echo "$from" > frame.png.from
    import -window "$win" -crop 320x240+146+184 +repage frame.png
    "$check" picture frame.png "$trace" "$from" 2> "$state/why" || fail "1 Frame: $(cat "$state/why")"
    # "Get Log", then the status box's text by the clipboard.
    from=$(mark)
    click "$win" 72 48
    for _ in $(seq 150); do [ "$(tail -n +"$((from + 1))" "$trace" | grep -c "^Write FA")" -ge 25 ] && break; sleep 0.2; done
    sleep 2
    click "$win" 300 90
    xdotool key --window "$win" ctrl+a ctrl+c && sleep 0.5
    xclip -selection clipboard -o > box.txt
    "$check" box box.txt 2> "$state/why" || fail "Get Log: $(cat "$state/why")"
    kill $app $x
}

sc_no_access() {
    local n rc; n=$(node "$instrument")
    [ "$(stat -c %a "$n")" != 666 ] || fail "$n is open to everyone"
    as 2001 "" "$corvactl" capture -o /tmp/u2001/a.png --graticules "$CORVA_BUILD/graticules" --driver libftdi 2> /dev/null
    rc=$?; [ $rc = 1 ] && [ ! -e /tmp/u2001/a.png ] || fail "libftdi1: exit $rc, or a file"
    [ -e "$vendor/libftd2xx.so" ] || return 0
    LD_LIBRARY_PATH=$vendor as 2001 "" "$corvactl" capture -o /tmp/u2001/a.png --graticules "$CORVA_BUILD/graticules" --driver vendor 2> /dev/null
    rc=$?; [ $rc = 1 ] && [ ! -e /tmp/u2001/a.png ] || fail "FTDI's library: exit $rc, or a file"
}

# The package's rule, then the README's group rule, under systemd-udevd.
sc_udev_rules() {
    local n k; n=$(node "$instrument"); k=$(node "$(grep -l "Keyboard" /sys/bus/usb/devices/*/product | head -1 | xargs dirname | xargs basename)")
    /lib/systemd/systemd-udevd --daemon
    apply() { udevadm control --reload && udevadm trigger --action=add --subsystem-match=usb && udevadm settle; }
    cp "$CORVA_SRC/dist/70-corvameter.rules" /etc/udev/rules.d/ && apply
    for d in /dev/bus/usb/*/*; do
        udevadm info -q property -n "$d" | grep -q '^TAGS=.*:uaccess:' && [ "$d" != "$n" ] && fail "uaccess on $d too"
    done
    udevadm info -q property -n "$n" | grep -q '^TAGS=.*:uaccess:' || fail "no uaccess tag on $n"
    grep -o 'SUBSYSTEM=="usb".*GROUP="plugdev", MODE="0660"' "$CORVA_SRC/README.md" > /etc/udev/rules.d/70-corvameter.rules && apply
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

# Plugged in again, the instrument answers as before.
sc_replug() {
    replug || fail "the instrument did not come back"
    capture a.png --driver libftdi
}

scenarios "$BASH_SOURCE" "$@"
