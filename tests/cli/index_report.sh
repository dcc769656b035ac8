#!/usr/bin/env bash
# tools/index_report.py on an index with a gap, a frame short of its
# graticule and a late frame: what it reports, and exit 1 while a listed file
# is missing or the instrument never came back. Exit code 77 = skipped.
set -u
script=$1
command -v python3 >/dev/null || { echo "SKIP: python3 is not installed"; exit 77; }
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; echo "$out"; exit 1; }
cat > "$dir/index.csv" <<'EOF'
file,time,serial,mode,graticule,outcome
frame-000001.png,2026-12-07T22:00:00.004+01:00,CVM00001,1,wfm_eu.bmp,ok
frame-000002.png,2026-12-07T22:01:00.010+01:00,CVM00001,1,wfm_eu.bmp,ok
,2026-12-07T22:01:30.500+01:00,CVM00001,,,instrument lost
,2026-12-07T22:04:12.000+01:00,CVM00001,,,instrument back
frame-000003.png,2026-12-07T22:04:12.300+01:00,CVM00001,17,,"no graticule, no level bars"
frame-000004.png,2026-12-07T22:05:00.002+01:00,CVM00001,1,wfm_eu.bmp,ok
frame-000005.png,2026-12-07T22:07:00.002+01:00,CVM00001,1,wfm_eu.bmp,ok
EOF
touch "$dir"/frame-00000{1,2,3,5}.png
out=$(python3 "$script" "$dir/index.csv"); rc=$?
[ $rc -eq 1 ] || fail "exit $rc with frame-000004.png missing"
for line in '^files     5: 4 ok, 1 no graticule, no level bars$' '^MISSING   1 .*frame-000004.png$' \
            '^gap       lost 2026-12-07T22:01:30\+01:00, back 2026-12-07T22:04:12\+01:00 \(0:02:42\)$' \
            '^spacing   median 60\.006 s, 47\.702 to 120\.000 s, 1 late$' '^  frame-000005.png 120\.000 s'; do
    grep -Eq "$line" <<<"$out" || fail "no line $line"
done
touch "$dir/frame-000004.png"
out=$(python3 "$script" "$dir/index.csv") || fail "exit $? with every file there"
echo ',2026-12-07T22:07:30.000+01:00,CVM00001,,,instrument lost' >> "$dir/index.csv"
out=$(python3 "$script" "$dir/index.csv") && fail "exit 0 with the instrument lost for good"
grep -q '^LOST      2026-12-07T22:07:30+01:00, not back$' <<<"$out" || fail "the loss at the end not told"
echo "PASS: index report"
