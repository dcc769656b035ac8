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
