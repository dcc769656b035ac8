# Inside the test machine, as its first process (bed.sh starts it): brings up
# USB, finds the instrument, switches the cable off, sources the script named
# first (or gives a shell) with the helpers below, then powers the machine off.
set -u
echo "guest up at $(cut -d' ' -f1 /proc/uptime) s"
echo 1 > /proc/sys/kernel/sysrq
mkdir -p /dev/shm && mount -t tmpfs shm /dev/shm; mkdir -p /dev/pts && mount -t devpts pts /dev/pts
modprobe -a xhci_pci ftdi_sio usbhid
export QT_QPA_PLATFORM=offscreen
results=$CORVA_OUT/results.txt
trace=$CORVA_WORK/line-trace.txt          # the serial line's, one line per command
corvactl=$CORVA_BUILD/app/corvactl
check=$CORVA_BUILD/tests/vm_check
vendor=$CORVA_BUILD/ftdi-vm               # FTDI's library with its own libusb
state=/tmp/bed; mkdir -p "$state"

# usbdev SERIAL: the sysfs name of the USB device with that serial number, once it is there (10 s).
usbdev() {
    local d i
    for i in $(seq 50); do
        for d in /sys/bus/usb/devices/*; do
            [ "$(cat "$d/serial" 2>/dev/null)" = "$1" ] && { echo "${d##*/}"; return 0; }
        done
        sleep 0.2
    done
    return 1
}
# node DEV: its usbfs node.  controller DEV: the PCI address of its xHCI controller.
node() { printf '/dev/bus/usb/%03d/%03d\n' "$(cat "/sys/bus/usb/devices/$1/busnum")" "$(cat "/sys/bus/usb/devices/$1/devnum")"; }
controller() { basename "$(dirname "$(dirname "$(readlink -f "/sys/bus/usb/devices/$1")")")"; }
# The kernel's serial driver on the instrument's interface, and the tty it made.
sio_bound() { [ "$(basename "$(readlink "/sys/bus/usb/devices/$instrument:1.0/driver" 2>/dev/null)")" = ftdi_sio ]; }
sio_tty() { ls "/sys/bus/usb/devices/$instrument:1.0" 2>/dev/null | grep -m1 '^ttyUSB'; }
sio_bind() { sio_bound || echo "$instrument:1.0" > /sys/bus/usb/drivers/ftdi_sio/bind; }
sio_unbind() { ! sio_bound || echo "$instrument:1.0" > /sys/bus/usb/drivers/ftdi_sio/unbind; }
# Unplug: the kernel drops the device. Plug in again: the controller starts over,
# and what the line still held from before is read off through ftdi_sio.
unplug() { echo 1 > "/sys/bus/usb/devices/$instrument/remove"; }
replug() {
    echo "$bus" > /sys/bus/pci/drivers/xhci_hcd/unbind; echo "$bus" > /sys/bus/pci/drivers/xhci_hcd/bind
    instrument=$(usbdev CVM00001) || return 1
    for _ in $(seq 25); do [ -n "$(sio_tty)" ] && [ -e "/dev/$(sio_tty)" ] && break; sleep 0.2; done
    stty -F "/dev/$(sio_tty)" raw -echo && timeout 1 cat "/dev/$(sio_tty)" > /dev/null
    return 0
}
# cable on|off: the user's serial cable, an FTDI chip with serial FT9CABLE on a controller of its own.
cable() {
    case $1 in
        on) echo "$cable_bus" > /sys/bus/pci/drivers/xhci_hcd/bind && usbdev FT9CABLE > /dev/null ;;
        off) echo "$cable_bus" > /sys/bus/pci/drivers/xhci_hcd/unbind ;;
    esac
}
# The next trace line number, to name the frames a run is about to start.
mark() { wc -l < "$trace"; }
# corva COMMAND ARGS: corvactl on the build's graticules; standard error to $state/err.
corva() {
    case $1 in capture|watch) set -- "$@" --graticules "$CORVA_BUILD/graticules" ;; esac
    "$corvactl" "$@" 2> "$state/err"
}
lasterr() { grep -v "^USB driver library" "$state/err" | tail -3 | tr "\n" "|"; cp "$state/err" "$CORVA_OUT/${name:-x}.err" 2> /dev/null; }
# as UID GROUPS CMD...: a user with no entry anywhere, in the given groups ("" for none).
as() {
    local uid=$1 groups=$2; shift 2
    mkdir -p "/tmp/u$uid" && chown "$uid" "/tmp/u$uid"
    HOME=/tmp/u$uid setpriv --reuid="$uid" --regid="$uid" $([ -n "$groups" ] && echo "--groups=$groups" || echo --clear-groups) \
        --inh-caps=-all -- "$@"
}

# scenarios FILE [NAMES...]: each function sc_NAME of FILE in its order (or the
# ones named), each in a subshell, one line each in results.txt:
# "ok NAME", "fail NAME: why" or "skip NAME: why". A scenario passes
# unless it calls fail or skip. It runs in WORK/out/NAME, kept afterwards.
scenarios() {
    local file=$1 name t0; shift
    [ $# -gt 0 ] || set -- $(grep -o '^sc_[a-z0-9_]*' "$file" | cut -c4-)
    for name; do
        t0=$SECONDS
        (
            verdict() { echo "$1 $name${2:+: $2}" >> "$results"; echo "== $1 $name${2:+: $2} ($((SECONDS - t0)) s)"; exit 0; }
            fail() { verdict fail "$*"; }; skip() { verdict skip "$*"; }
            mkdir -p "$CORVA_OUT/$name" && cd "$CORVA_OUT/$name" && "sc_$name" && verdict ok
            fail "stopped on a failing command"
        )
        # A scenario that failed half-way leaves the cable as it found it.
        cable off 2> /dev/null
    done
}

instrument=$(usbdev CVM00001) || echo "no instrument on the bus"
bus=$(controller "$instrument")
cable_bus=$(controller "$(usbdev FT9CABLE)") && cable off
script=$1; shift
if [ "$script" = shell ]; then
    echo "test machine: instrument $instrument on $bus, cable on $cable_bus (cable on|off); exit powers off"
    setsid -c bash -i
else
    . "$script"
fi
sync
echo b > /proc/sysrq-trigger
