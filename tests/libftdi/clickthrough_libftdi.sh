#!/usr/bin/env bash
# The click-through under Xvfb with only the emulated libusb on the loader
# path and no vendor library: the program must take libftdi1 and work the
# same. Arguments as for clickthrough_e2e.sh. Exit code 77 = skipped.
out=$("$(dirname "$0")/../e2e/clickthrough_e2e.sh" "$@" 2>&1); rc=$?
echo "$out"
[ $rc -eq 0 ] || exit $rc
grep -q "^USB driver library: libftdi1 " <<<"$out" || { echo "FAIL: the program did not take libftdi1"; exit 1; }
