#!/usr/bin/env bash
# The Windows programs on a real desktop: under Wine, with Xvfb.
#   1. a host (quorle_show_notes.exe) loads Quorle.dll and calls PNDisplayFile
#      on a notes file without a section: Wine's own notepad.exe opens with
#      the file, in a window titled "<file> - Notepad" that shows its text;
#   2. Vestrel.exe started without an argument shows its message box, with
#      the program's caption and its exact text, and ends with status 0 once
#      the box is closed.
#   desktop_wine_test.sh BIN_FOLDER WINE_PREFIX ARTEFACT_FOLDER
# BIN_FOLDER holds quorle_show_notes.exe, Quorle.dll, Vestrel.exe and
# window_texts.exe. The screenshots are kept in the artefact folder. Exit
# status 77 (skipped) when a desktop tool is missing.
set -euo pipefail
bin=$1
export WINEPREFIX=$2
artefacts=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=desktop_session.sh
source "$here/desktop_session.sh"
desktop_need Xvfb xdotool import xclip
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-$(dirname "$wine")/wineserver}
[[ -x "$wine" ]] || { echo "skipped: $wine is not installed"; exit 77; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# A test that ran just before may have left the prefix's wineserver and its
# desktop process running without a display; windows would open there.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true

rm -rf "$artefacts"
desktop_start "$artefacts"
# Every Wine process of the prefix ends with the test; no wineserver stays.
trap '"$wineserver" -k 2>/dev/null || true; desktop_cleanup' EXIT
work="$artefacts/work"
mkdir -p "$work"
cd "$work"

fail() {
    echo "FAILED: $*"
    exit 1
}

# 1. Wine's notepad.exe.
start=$SECONDS
printf 'Release notes\r\nShown by the system'"'"'s own editor.\r\n' >notes.txt
"$wine" "$bin/quorle_show_notes.exe" notes.txt </dev/null >show.log 2>&1 ||
    fail "quorle_show_notes.exe gave $?: $(cat show.log)"
window=$(desktop_wait_window "notes.txt - Notepad" 60) ||
    fail "no window titled 'notes.txt - Notepad' appeared"
desktop_screenshot wine-notepad
text=$(desktop_window_text "$window") || fail "Notepad's text could not be read"
[[ "$text" == "$(tr -d '\r' <notes.txt)" ]] || fail "Notepad shows '$text'"
echo "Wine: window $window 'notes.txt - Notepad' shows the notes ($((SECONDS - start)) s)"
"$wineserver" -k 2>/dev/null || true
desktop_close_windows

# 2. Vestrel's message box.
start=$SECONDS
"$wine" "$bin/Vestrel.exe" </dev/null >vestrel.log 2>&1 &
vestrel=$!
desktop_track_pid "$vestrel"
window=$(desktop_wait_window "Vestrel" 60) || fail "no window titled 'Vestrel' appeared"
desktop_screenshot wine-vestrel-message
texts=$("$wine" "$bin/window_texts.exe" Vestrel </dev/null 2>&1 | tr -d '\r') ||
    fail "the message box's texts could not be read: $texts"
grep -qx 'Static: Error: Give ini-file name as command line parameter!' <<<"$texts" ||
    fail "the message box says: $texts"
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key --clearmodifiers Return
status=0
wait "$vestrel" || status=$?
((status == 0)) || fail "Vestrel.exe ended with status $status"
echo "Wine: message box 'Vestrel' says 'Error: Give ini-file name as command line parameter!';" \
    "Vestrel.exe ended with 0 once it was closed ($((SECONDS - start)) s)"
