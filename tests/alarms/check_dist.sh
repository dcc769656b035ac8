#!/bin/sh
# check_dist.sh rules|mib SOURCE_DIR: the shipped alert rules under promtool,
# or the MIB under smilint. 77 (skipped) when the tool is missing.
set -eu
what=$1 src=$2
case "$what" in
rules)
    command -v promtool >/dev/null || { echo "promtool not found (Debian: prometheus)"; exit 77; }
    promtool check rules "$src/dist/corvameter-alerts.yml"
    promtool test rules "$src/tests/alarms/alerts_test.yml"
    ;;
mib)
    command -v smilint >/dev/null || { echo "smilint not found (Debian: smitools)"; exit 77; }
    # The IETF modules it imports: the machine's, else the short forms beside this script.
    if ! smiquery module SNMPv2-TC 2>/dev/null | grep -q SNMPv2-TC; then
        echo "the IETF modules are not installed (Debian: libsmi2-common): using tests/alarms/mibs"
        export SMIPATH="$src/tests/alarms/mibs"
    fi
    out=$(smilint -l 4 -s "$src/dist/CORVAMETER-MIB.txt" 2>&1)
    [ -z "$out" ] || { printf '%s\n' "$out"; exit 1; }
    echo "smilint -l 4: nothing to say"
    ;;
esac
