#!/usr/bin/env bash
# Builds FTDI's own D2XX library for Linux x86_64 as libftd2xx.so in folder $1,
# linked against the emulated FTDI chip (libusb-1.0.so.0 in folder $2).
# FTDI publishes it in the npm registry as a static archive that also carries
# its own copy of libusb's objects: those are left out, so the library reaches
# the chip through ours. Without $2 the whole archive goes in, FTDI's libusb
# too, as FTDI ships it: for a machine with a real kernel (tests/vm).
# Nothing of FTDI's is ever kept in the source tree.
# Exit code 77 = skipped (no npm, no network, not x86_64), reason printed.
set -euo pipefail
out=$1; emu=${2:-}
version=1.3.1
[ "$(uname -m)" = x86_64 ] || { echo "SKIP: FTDI's Linux archive in the npm package is for x86_64 only"; exit 77; }
command -v npm >/dev/null || { echo "SKIP: npm is not installed (apt-get install npm)"; exit 77; }
[ -z "$emu" ] || [ -e "$emu/libusb-1.0.so.0" ] || { echo "FAIL: no emulated chip in $emu"; exit 1; }
mkdir -p "$out/download"
tgz="$out/download/ftdi-d2xx-$version.tgz"
if [ ! -s "$tgz" ]; then
    if ! (cd "$out/download" && npm pack "ftdi-d2xx@$version" --silent >/dev/null 2>npm.log); then
        echo "SKIP: npm could not fetch ftdi-d2xx@$version:"; tail -3 "$out/download/npm.log"; exit 77
    fi
fi
if [ -z "$emu" ]; then
    tar -xzOf "$tgz" package/lib/Linux/libftd2xx.a > "$out/libftd2xx.a"
    cc -shared -o "$out/libftd2xx.so.tmp" -Wl,-soname,libftd2xx.so \
       -Wl,--whole-archive "$out/libftd2xx.a" -Wl,--no-whole-archive -lpthread -lrt
    mv "$out/libftd2xx.so.tmp" "$out/libftd2xx.so" && rm "$out/libftd2xx.a"
    echo "FTDI's whole archive, its libusb included, linked into $out/libftd2xx.so"
    exit 0
fi
objs="$out/objects"
rm -rf "$objs" && mkdir -p "$objs"
tar -xzf "$tgz" -C "$objs" package/lib/Linux/libftd2xx.a
(cd "$objs" && ar x package/lib/Linux/libftd2xx.a)
keep=()
for o in "$objs"/*.o; do
    # libusb's own objects define its API and internals.
    if nm --defined-only "$o" | grep -E ' [TDBRC] (libusb_|usbi_|linux_)' >/dev/null; then continue; fi
    keep+=("$o")
done
[ ${#keep[@]} -gt 10 ] || { echo "FAIL: unexpected archive contents"; exit 1; }
# The vendor's shared library carries the SONAME libftd2xx.so.
cc -shared -o "$out/libftd2xx.so.tmp" -Wl,-soname,libftd2xx.so "${keep[@]}" \
   -L"$emu" -l:libusb-1.0.so.0 -lpthread
mv "$out/libftd2xx.so.tmp" "$out/libftd2xx.so"
rm -rf "$objs"
echo "FTDI's D2XX objects (${#keep[@]} of the archive) linked into $out/libftd2xx.so over $emu/libusb-1.0.so.0"
