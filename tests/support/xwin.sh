# Sourced by the click-through scripts inside their X session.

# The main window's title, exactly (two blanks, then three).
main_title="^Brisko Corvameter  Remote Control   Ver 1.51$"

# window <title regex> [seconds] [xdotool search options...]: prints the id of
# the first window so named, waiting up to the given seconds (10 by default).
window() {
    local title=$1 tries=$(( ${2:-10} * 5 )) id i
    shift; [ $# -gt 0 ] && shift
    for i in $(seq "$tries"); do
        id=$(xdotool search "$@" --name "$title" 2>/dev/null | head -1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    return 1
}

# The callers set $trace (the simulator's call trace) and define fail.
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }
# writes <code>: how many times the program sent that command byte.
writes() { grep -c "^Write $1 F0" "$trace" 2>/dev/null || true; }
# wait_closes <n> <what>: waits up to 15 s until the trace holds n closes.
wait_closes() {
    local i
    for i in $(seq 150); do
        [ "$(grep -c "^Close" "$trace" 2>/dev/null || true)" -ge "$1" ] && return 0; sleep 0.1
    done
    fail "no close of the device after $2"
}

# The display: 320 x 240 pixels at (146,184) of the main window $win.
display() { import -window "$win" -crop 320x240+146+184 +repage "$1"; }
display_mean() { import -window "$win" -crop 320x240+146+184 +repage -colorspace gray -format "%[fx:mean]" info:; }
lit() { local m; m=$(display_mean); awk "BEGIN{exit !($m > 0.01)}" || fail "display still black after $1 (mean $m)"; }
dark() { local m; m=$(display_mean); awk "BEGIN{exit !($m == 0)}" || fail "$1 left the display lit (mean $m)"; }
# exit_app <tenths of a second>: "Exit", and the program $pid must be gone within that time.
exit_app() {
    local i
    click "$win" 432 472
    for i in $(seq "$1"); do kill -0 $pid 2>/dev/null || return 0; sleep 0.1; done
    fail "still running after Exit"
}
