#!/usr/bin/env bash
# Prints a long log with "Print Log" through a real CUPS server: a private
# cupsd whose default queue is a raw, file-backed printer, so the captured job
# is the program's own PDF. Then reads the job back with pdftotext. Then the
# ways a job could be lost: each must give the one "Can't find a Printer" box
# and leave no job behind.
# Usage: print_cups.sh <print helper>. Exit code 77 = skipped (reason printed).
set -u
helper=$1

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; [ -s "${dir:-/nonexistent}/log/error_log" ] && tail -20 "$dir/log/error_log"; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "starting a private cupsd needs root (run as root, or see docs/testing.md)"
for t in cupsd lpadmin lpstat pdftotext pdfinfo; do
    command -v $t >/dev/null 2>&1 || PATH=$PATH:/usr/sbin command -v $t >/dev/null 2>&1 ||
        skip "$t is not installed (apt-get install cups cups-client cups-bsd poppler-utils)"
done
export PATH=$PATH:/usr/sbin
[ -d /usr/lib/cups ] || skip "/usr/lib/cups is missing (apt-get install cups)"

dir=$(mktemp -d /tmp/corva-cups.XXXXXX)
chmod 0755 "$dir"
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir"/{etc,spool,cache,state,tmp,log,out,home}
chmod 0755 "$dir"/{etc,cache,state,log,home}
chmod 0710 "$dir/spool"
chmod 1777 "$dir"/{tmp,out}
sock=$dir/cups.sock
job=$dir/out/job.pdf

cat > "$dir/etc/cups-files.conf" <<CONF
FileDevice Yes
SystemGroup root
ServerRoot $dir/etc
RequestRoot $dir/spool
CacheDir $dir/cache
StateDir $dir/state
Printcap $dir/state/printcap
TempDir $dir/tmp
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
CONF
cat > "$dir/etc/cupsd.conf" <<CONF
Listen $sock
LogLevel info
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
chmod 0644 "$dir/etc/"*.conf

cupsd -f -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" &
pid=$!
export CUPS_SERVER=$sock
for i in $(seq 50); do
    [ -S "$sock" ] && lpstat -r >/dev/null 2>&1 && break
    kill -0 $pid 2>/dev/null || fail "cupsd did not start"
    sleep 0.1
done
lpstat -r >/dev/null 2>&1 || fail "cupsd does not answer on $sock"

# The queue's only filter copies the job as it comes (gziptoany leaves data
# that is not compressed untouched), so the file holds the program's own PDF.
# A raw queue would not do: with no filter at all cupsd writes no file.
cat > "$dir/capture.ppd" <<'PPD'
*PPD-Adobe: "4.3"
*cupsFilter: "application/pdf 0 gziptoany"
*OpenUI *PageSize/Media Size: PickOne
*OrderDependency: 10 AnySetup *PageSize
*DefaultPageSize: A4
*PageSize A4/A4: "<</PageSize[595 842]>>setpagedevice"
*CloseUI: *PageSize
*DefaultImageableArea: A4
*ImageableArea A4/A4: "18 18 577 824"
*DefaultPaperDimension: A4
*PaperDimension A4/A4: "595 842"
PPD
lpadmin -p corva -E -v "file://$job" -P "$dir/capture.ppd" 2>&1 | grep -v -i "deprecated" || true
lpstat -v corva >/dev/null 2>&1 || fail "could not add the queue"
lpadmin -d corva || fail "could not make corva the default destination"
[ "$(lpstat -d)" = "system default destination: corva" ] || fail "default destination: $(lpstat -d)"

# A long log in the status box's own form: CR LF line ends, the end line last.
text=$dir/text1.txt
{
    printf ' 0001 Ref lost input 2\r\n'
    for n in $(seq 1 300); do printf '%d:  Entry number %d of the long log\r\n' "$n" "$n"; done
    printf -- '-------- End of Log --------'
} > "$text"

# No user lpoptions or destination variables may pick another printer.
env -u PRINTER -u LPDEST HOME="$dir/home" "$helper" "$text" || fail "printing through cmdPrintLog_Click failed"

for i in $(seq 150); do
    [ -z "$(lpstat -o 2>/dev/null)" ] && [ -s "$job" ] && break
    sleep 0.2
done
[ -s "$job" ] || fail "no job reached the queue's file after 30 s (lpstat -o: $(lpstat -o))"

pages=$(pdfinfo "$job" | sed -n 's/^Pages: *//p')
[ "${pages:-0}" -ge 3 ] || fail "a 302-line log printed on ${pages:-0} page(s)"
got=$(pdftotext "$job" - | tr -d '\f' | tr -s ' ' | sed 's/ *$//; /^$/d')
want=$(printf 'Brisko Corvameter Error Logger\n'; tr -d '\r' < "$text" | tr -s ' ' | sed 's/^ *//'; echo)
[ "$got" = "$want" ] || fail "printed text differs: $(diff <(echo "$want") <(echo "$got") | head -10)"
echo "PASS: $pages pages through the default CUPS queue, title and all $(echo "$want" | wc -l) lines"

# A queue whose filter fails: its jobs stop (or are aborted) once sent.
sed 's|^\*cupsFilter: .*|*cupsFilter: "application/pdf 0 /bin/false"|' "$dir/capture.ppd" > "$dir/failing.ppd"

# case | how the printer is spoiled | how it is mended | jobs the spooler makes
cases=(
    "not accepting jobs|cupsreject corva|cupsaccept corva|0"
    "stopped|cupsdisable corva|cupsenable corva|0"
    "job stopped by a failing filter|lpadmin -p corva -P $dir/failing.ppd|cancel -a corva; lpadmin -p corva -P $dir/capture.ppd; cupsenable corva|1"
    "no default printer|lpadmin -p other -E -v file:///dev/null -P $dir/capture.ppd && lpadmin -x corva|true|0"
)
for c in "${cases[@]}"; do
    IFS='|' read -r name spoil mend made <<< "$c"
    sh -c "$spoil" 2>&1 | grep -v -i deprecated
    rm -f "$job"
    jobs_before=$(lpstat -W all -o 2>/dev/null | wc -l)
    out=$(env -u PRINTER -u LPDEST HOME="$dir/home" "$helper" "$text" 2>&1)
    boxes=$(grep -c '^message box' <<< "$out")
    [ "$boxes" -eq 1 ] && grep -q "^message box \"Print Error\": Can't find a Printer$" <<< "$out" ||
        fail "$name: wanted one \"Can't find a Printer\" box, got: $out"
    jobs_after=$(lpstat -W all -o 2>/dev/null | wc -l)
    [ "$jobs_after" -eq $((jobs_before + made)) ] || fail "$name: $((jobs_after - jobs_before)) job(s) made, wanted $made"
    [ ! -s "$job" ] || fail "$name: a job was printed"
    sh -c "$mend" 2>&1 | grep -v -i deprecated
    echo "PASS: $name gives the print error box"
done
