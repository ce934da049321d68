#!/usr/bin/env bash
# Quorle on a real Linux desktop, with Debian's programs under Xvfb:
#   1. a desktop set up as a new user's would be, in a scratch HOME: l3afpad
#      is the default program for text/plain (xdg-mime); a host calls
#      PNDisplayFile on a notes file without a section, whose name has
#      blanks: the editor's window, titled with the file's name, shows the
#      file's text;
#   2. a notes file whose section names a command: that command's window
#      opens instead, and no editor.
#   desktop_linux_test.sh SHOW_NOTES ARTEFACT_FOLDER
# SHOW_NOTES is the host (quorle_show_notes); the screenshots are kept in the
# artefact folder. Exit status 77 (skipped) when a desktop tool is missing.
set -euo pipefail
show_notes=$1
artefacts=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=desktop_session.sh
source "$here/desktop_session.sh"
desktop_need Xvfb xdotool import xclip xdg-mime xdg-open l3afpad xmessage file

rm -rf "$artefacts"
desktop_start "$artefacts"
scratch="$artefacts/scratch"
mkdir -p "$scratch/home" "$scratch/notes"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config"
export XDG_DATA_HOME="$scratch/home/.local/share" XDG_CACHE_HOME="$scratch/home/.cache"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION
xdg-mime default l3afpad.desktop text/plain
cd "$scratch/notes"

fail() {
    echo "FAILED: $*"
    exit 1
}

# 1. The desktop's own text editor.
start=$SECONDS
printf 'Release notes\nThe probe now reads every port.\n' >"release notes.txt"
"$show_notes" "release notes.txt" || fail "quorle_show_notes gave $?"
window=$(desktop_wait_window "release notes.txt") ||
    fail "no window titled 'release notes.txt' appeared"
desktop_screenshot default-editor
text=$(desktop_window_text "$window") || fail "the editor's text could not be read"
[[ "$text" == "$(cat "release notes.txt")" ]] || fail "the editor shows '$text'"
echo "default editor: window $window '$(xdotool getwindowname "$window")' shows the notes" \
    "($((SECONDS - start)) s)"
desktop_close_windows

# 2. A command named by the notes file.
start=$SECONDS
cat >"configured notes.txt" <<'NOTES'
[ZOR_PNotes_File]
PNotesCommandLine=xmessage -title "configured viewer" "shown by the configured command"
NOTES
"$show_notes" "configured notes.txt" || fail "quorle_show_notes gave $?"
window=$(desktop_wait_window "configured viewer") || fail "the configured command's window did not appear"
desktop_screenshot configured-command
if desktop_wait_window "configured notes.txt" 1 >/dev/null; then
    fail "the editor opened the notes file although it names a command"
fi
echo "configured command: window $window '$(xdotool getwindowname "$window")'" \
    "($((SECONDS - start)) s)"
