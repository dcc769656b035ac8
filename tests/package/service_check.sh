# The installed corvameter-serve service under systemd: not enabled by the
# install, started, its address with the token read from the journal, the
# status fetched with it, stopped with exit status 0. In the test machine
# (tests/vm/bed.sh with CORVA_VM_INIT=systemd, guest.sh sourced) also "1 Frame"
# through it, the picture exact: the dynamic user reaches the instrument
# through plugdev and the sandbox's device list, and gives it back to ftdi_sio.
# Elsewhere: bash service_check.sh, as root on a machine where systemd runs.
sc_service() {
    local unit=corvameter-serve.service url token base from
    [ "$(systemctl is-enabled $unit 2> /dev/null)" = disabled ] || fail "the install enabled the service, or it is missing"
    [ -z "${instrument:-}" ] || from=$(mark)
    systemctl start $unit || fail "start: $(systemctl status $unit 2>&1 | tail -5 | tr '\n' '|')"
    for _ in $(seq 100); do
        url=$(journalctl -u $unit -o cat | grep -m1 '^http://.*/#token=') && break
        sleep 0.3
    done
    [ -n "$url" ] || fail "no address in the journal: $(journalctl -u $unit -o cat | tail -5 | tr '\n' '|')"
    token=${url#*#token=} base=${url%%/#*}
    curl -sf -H "Authorization: Bearer $token" "$base/api/v1/status" > status.json || fail "GET status: curl exit $?"
    grep -q '"driver"' status.json || fail "status: $(cat status.json)"
    [ "$(journalctl -u $unit -o cat | grep -c "$token")" = 1 ] || fail "the token is in the journal beyond its start line"
    [ "$(stat -c %a /var/lib/private/corvameter-serve/serve-token)" = 600 ] || fail "the token file is open to others"
    if [ -n "${instrument:-}" ]; then
        curl -sf -X POST -H "Authorization: Bearer $token" -o frame.png "$base/api/v1/frame" ||
            fail "1 Frame through the service: $(curl -s -X POST -H "Authorization: Bearer $token" "$base/api/v1/frame")"
        [ ! -x "$check" ] || "$check" picture frame.png "$trace" "$from" 2> "$state/why" || fail "1 Frame through the service: $(cat "$state/why")"
        grep -q '"serial": *"CVM00001"' status.json || curl -sf -H "Authorization: Bearer $token" "$base/api/v1/status" |
            grep -q '"serial": *"CVM00001"' || fail "status names no CVM00001"
    fi
    systemctl stop $unit
    [ "$(systemctl show -p ExecMainStatus --value $unit)" = 0 ] || fail "the service's exit status: $(systemctl show -p ExecMainStatus --value $unit)"
    [ -z "${instrument:-}" ] || sio_bound || fail "ftdi_sio is not attached to the instrument again after the service stopped"
}

if declare -F scenarios > /dev/null; then
    scenarios "$BASH_SOURCE" "$@"
else
    set -u
    fail() { echo "FAIL service: $*"; exit 1; }
    cd "$(mktemp -d)" && sc_service && echo "ok service"
fi
