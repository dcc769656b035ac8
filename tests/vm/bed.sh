#!/usr/bin/env bash
# The test bed on a real kernel: a QEMU machine booting Debian's own kernel on
# this machine's root (shared read-only over 9p), with the simulated instrument's
# serial line (corvasim-serial) behind QEMU's emulated FTDI chip on an xHCI bus,
# a USB keyboard beside it, and on a second xHCI controller, off until
# `cable on`, another FTDI chip with another serial number: a user's serial
# cable, whose line goes to WORK/cable.out.
#   tests/vm/bed.sh BUILD WORK SCRIPT [ARGS...]
# runs SCRIPT with ARGS in the machine as root, tests/vm/guest.sh sourced;
# SCRIPT "shell" gives a shell on the console instead. The machine's console
# comes to standard output; WORK/out is written from inside (results.txt).
# CORVA_VM_INIT=systemd: systemd is the machine's first process, and runs SCRIPT
# once the system is up.
# Exit 77 = skipped: no QEMU or no Debian kernel (./bootstrap vm installs both).
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,12p' "$0"; exit 2; }
build=$(realpath "$1"); mkdir -p "$2"; work=$(realpath "$2"); shift 2
[ "$1" = shell ] || set -- "$(realpath "$1")" "${@:2}"
here=$(cd "$(dirname "$0")" && pwd)
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1 || true)
kver=${kernel#/boot/vmlinuz-}
command -v qemu-system-x86_64 >/dev/null || { echo "SKIP: no qemu-system-x86_64 (apt-get install qemu-system-x86)"; exit 77; }
[ -n "$kernel" ] && [ -d "/lib/modules/$kver" ] || { echo "SKIP: no kernel in /boot (apt-get install linux-image-amd64)"; exit 77; }
[ -x /bin/busybox ] || { echo "SKIP: no /bin/busybox (apt-get install busybox-static)"; exit 77; }
[ -x "$build/sim/corvasim-serial" ] || { echo "FAIL: $build/sim/corvasim-serial not built"; exit 1; }

# The initramfs: busybox and what it takes to mount 9p and the /etc layer.
initrd=$work/initrd-$kver.gz
if [ ! -s "$initrd" ] || [ "$here/init" -nt "$initrd" ]; then
    r=$work/initrd.d; rm -rf "$r"; mkdir -p "$r/bin" "$r/modules"
    cp /bin/busybox "$r/bin/" && install -m 755 "$here/init" "$r/init"
    for m in virtio_pci 9pnet_virtio 9p overlay; do
        modprobe -S "$kver" --show-depends $m | awk '$1 == "insmod" { print $2 }'
    done | awk '!seen[$0]++' | while read -r ko; do
        cp "$ko" "$r/modules/" && basename "$ko" >> "$r/modules/order"
    done
    (cd "$r" && find . | cpio -o -H newc --quiet | gzip -1) > "$initrd.tmp" && mv "$initrd.tmp" "$initrd"
    rm -rf "$r"
fi

out=$work/out
rm -rf "$out" && mkdir -p "$out"
: > "$work/cable.out"
{
    echo "export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root TERM=${TERM:-dumb}"
    echo "export CORVA_SRC=$(cd "$here/../.." && pwd) CORVA_BUILD=$build CORVA_WORK=$work CORVA_OUT=$out"
    printf '%q ' exec /bin/bash "$here/guest.sh" "$@"; echo
} > "$out/run.sh"

# The instrument's end of the line; QEMU connects to it.
trace=$work/line-trace.txt
: > "$trace"
rm -f "$work/line.sock"
CORVASIM_MODES=${CORVASIM_MODES:-4,12,1} CORVASIM_TRACE=$trace "$build/sim/corvasim-serial" "$work/line.sock" &
line=$!
trap 'kill $line 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -S "$work/line.sock" ] && break; sleep 0.1; done

fs() { echo "-fsdev local,id=$1,path=$2,security_model=none,multidevs=remap$3 -device virtio-9p-pci,fsdev=$1,mount_tag=$1"; }
serial=(-serial stdio)
[ "$1" = shell ] && serial=(-serial mon:stdio)
boot=""
[ "${CORVA_VM_INIT:-}" = systemd ] && boot=" corva.init=systemd"
# shellcheck disable=SC2046
qemu-system-x86_64 -machine accel=tcg -cpu max -smp 2 -m 1536 -nodefaults -no-reboot -display none "${serial[@]}" \
    -kernel "$kernel" -initrd "$initrd" -append "console=ttyS0 quiet panic=-1 corva.out=$out$boot" \
    $(fs root / ,readonly=on) $(fs out "$out" "") \
    -device qemu-xhci,id=xhci -device usb-kbd,bus=xhci.0 \
    -chardev socket,id=line,path="$work/line.sock" -device usb-serial,bus=xhci.0,chardev=line,serial=CVM00001 \
    -device qemu-xhci,id=xhci2 \
    -chardev file,id=cable,path="$work/cable.out" -device usb-serial,bus=xhci2.0,chardev=cable,serial=FT9CABLE
