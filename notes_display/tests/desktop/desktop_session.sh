# A desktop for one test, sourced by the desktop tests: an X server of its
# own (Xvfb, on a display it picks), windows found by title (xdotool),
# screenshots (ImageMagick's import) and a clean-up that closes every window
# and ends every process the test started, whatever the result.
#
#   desktop_start ARTEFACT_FOLDER   start the server; DISPLAY is set
#   desktop_wait_window TITLE [S]   wait up to S seconds (default 20) for a
#                                   window whose title is TITLE; prints its id
#   desktop_window_text ID          the text of a window's editor (select
#                                   all and copy, read back from the clipboard)
#   desktop_screenshot NAME         the whole screen into ARTEFACT_FOLDER/NAME.png
#   desktop_track_pid PID           a process to end at clean-up
#   desktop_close_windows           end the processes of all windows now
# A missing tool skips the test (exit status 77).

desktop_need() {
    local tool
    for tool in "$@"; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "skipped: $tool is not installed"
            exit 77
        fi
    done
}

desktop_pids=()
desktop_track_pid() { desktop_pids+=("$1"); }

# Ends the processes of every window on the display, and the tracked ones.
desktop_close_windows() {
    local window pid
    if [[ -n "${DISPLAY:-}" ]]; then
        for window in $(xdotool search --name '.' 2>/dev/null); do
            pid=$(xdotool getwindowpid "$window" 2>/dev/null) && desktop_pids+=("$pid")
        done
    fi
    for pid in "${desktop_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    sleep 0.2
    for pid in "${desktop_pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    desktop_pids=()
}

desktop_cleanup() {
    desktop_close_windows
    if [[ -n "${desktop_server:-}" ]]; then
        kill "$desktop_server" 2>/dev/null || true
        wait "$desktop_server" 2>/dev/null || true
    fi
}

desktop_start() {
    desktop_artefacts=$1
    mkdir -p "$desktop_artefacts"
    trap desktop_cleanup EXIT
    local display_file="$desktop_artefacts/display"
    rm -f "$display_file"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" \
        >"$desktop_artefacts/xvfb.log" 2>&1 &
    desktop_server=$!
    local waited=0
    until [[ -s "$display_file" ]]; do
        sleep 0.1
        waited=$((waited + 1))
        if ((waited > 100)); then
            echo "the X server did not start"
            exit 1
        fi
    done
    export DISPLAY=":$(head -1 "$display_file")"
}

desktop_wait_window() {
    local title=$1 seconds=${2:-20} waited=0 window
    while ((waited < seconds * 10)); do
        window=$(xdotool search --name "^$(desktop_pattern "$title")\$" 2>/dev/null | head -1) || true
        if [[ -n "$window" ]]; then
            echo "$window"
            return 0
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    return 1
}

# A title as a regular expression matching exactly that text.
desktop_pattern() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|/]/\\&/g'; }

desktop_window_text() {
    xdotool windowfocus --sync "$1" 2>/dev/null
    xdotool key --clearmodifiers ctrl+a ctrl+c 2>/dev/null
    local tries=0
    until xclip -selection clipboard -o 2>/dev/null; do
        tries=$((tries + 1))
        ((tries > 20)) && return 1
        sleep 0.1
    done
}

desktop_screenshot() {
    import -window root "$desktop_artefacts/$1.png"
}
