#!/bin/sh
# result.sh RESULTS NAME: that scenario's line of the test machine's results.
# "ok" passes; "skip" is reported as skipped with its reason; "fail" or no
# line at all fails.
[ -f "$1" ] || { echo "SKIP: the test machine did not run (see vm_boot)"; exit 77; }
line=$(grep -E "^[a-z]+ $2(:|\$)" "$1")
echo "$line"
case $line in
    ok*) exit 0 ;;
    skip*) exit 77 ;;
    "") echo "no result for $2: the machine stopped before it" ;;
esac
exit 1
