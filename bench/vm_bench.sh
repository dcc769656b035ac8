#!/usr/bin/env bash
# The two driver libraries side by side on the real kernel of the VM bed
# (tests/vm/bed.sh): the frame period of `corvactl watch` and the time of one
# whole `corvactl capture` process, through libftdi1 (ftdi_sio bound, as at
# every plug-in) and through FTDI's library (ftdi_sio unbound), in turns.
#   bench/vm_bench.sh [BUILD]     BUILD configured with -DCORVA_VM=ON (./bootstrap vm)
# Target: a capture through libftdi1 takes at most 0.5 s longer than through
# FTDI's library. Exit 1 when it does not, or a run failed.
set -uo pipefail
if [ "${1:-}" != guest ]; then
    build=${1:-build}
    here=$(cd "$(dirname "$0")" && pwd)
    [ -e "$build/ftdi-vm/libftd2xx.so" ] || { echo "no $build/ftdi-vm: run ./bootstrap vm first"; exit 1; }
    "$here/../tests/vm/bed.sh" "$build" "$build/vm-bench" "$here/vm_bench.sh" guest | grep -v '^guest up'
    cat "$build/vm-bench/out/bench.txt" && grep -q '^target met' "$build/vm-bench/out/bench.txt"
    exit
fi

# In the test machine, guest.sh's helpers at hand.
out=$CORVA_OUT/bench.txt
runs=5 frames=20
stats() { python3 -c 'import statistics as s, sys; v = [float(x) for x in sys.stdin.read().split()]; print(f"{s.median(v):.0f} ms (min {min(v):.0f}, max {max(v):.0f}, n {len(v)})")'; }
period() {   # period INDEX: the spacing of its pictures, in ms
    python3 -c 'import csv, datetime as d, sys
t = [d.datetime.fromisoformat(r["time"]) for r in csv.DictReader(open(sys.argv[1])) if r["file"]]
print(" ".join(str((b - a).total_seconds() * 1000) for a, b in zip(t, t[1:])))' "$1"
}
as_library() {   # as_library libftdi|vendor CMD...: ftdi_sio as that library meets it
    local lib=$1; shift
    if [ "$lib" = vendor ]; then sio_unbind; LD_LIBRARY_PATH=$vendor "$@" --driver vendor; else sio_bind; "$@" --driver libftdi; fi
}
declare -A capture_ms period_ms
failed=0
cd /tmp
for lib in libftdi vendor; do capture_ms[$lib]=""; period_ms[$lib]=""; done
for i in $(seq $runs); do
    for lib in libftdi vendor; do
        t=$(date +%s%N)
        as_library $lib corva capture -o "c-$lib.png" || { echo "capture through $lib failed: $(lasterr)" >> "$out"; failed=1; }
        capture_ms[$lib]+=" $((($(date +%s%N) - t) / 1000000))"
    done
done
for lib in libftdi vendor; do
    rm -rf "w-$lib"
    as_library $lib corva watch "w-$lib" --count $frames > /dev/null || { echo "watch through $lib failed: $(lasterr)" >> "$out"; failed=1; }
    period_ms[$lib]=$(period "w-$lib/index.csv")
done
{
    echo "VM bed, $(uname -r), QEMU's FTDI chip under TCG, $(date -u +%Y-%m-%d)"
    printf '%-10s %-36s %s\n' library "capture, whole process" "watch, frame period"
    for lib in libftdi vendor; do
        printf '%-10s %-36s %s\n' $lib "$(echo ${capture_ms[$lib]} | stats)" "$(echo ${period_ms[$lib]} | stats)"
    done
    l=$(echo ${capture_ms[libftdi]} | tr ' ' '\n' | sort -n | sed -n "$(((runs + 1) / 2))p")
    v=$(echo ${capture_ms[vendor]} | tr ' ' '\n' | sort -n | sed -n "$(((runs + 1) / 2))p")
    if [ $failed = 0 ] && [ "$l" -le $((v + 500)) ]; then echo "target met: libftdi1 $l ms <= FTDI's $v ms + 500 ms"
    else echo "target missed: libftdi1 $l ms, FTDI's $v ms (+ 500 ms allowed), failures: $failed"; fi
} >> "$out"
