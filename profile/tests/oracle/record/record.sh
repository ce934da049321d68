#!/bin/sh
# Builds record_null_cases with mingw-w64 and re-records the results of a case
# file in place, under Wine.
#
#   ./record.sh [CASES]        default: ../../data/cases-null.txt (the corpus test's copy)
#
# Environment: WINE (default /usr/lib/wine/wine64), WINESERVER (default
# /usr/lib/wine/wineserver), CXX (default x86_64-w64-mingw32-g++-posix),
# WINEPREFIX (default /tmp/null-oracle-prefix), RECORD_USER (account Wine runs
# as when started by root, default nobody: root writes into read-only files).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cases=$(cd "$(dirname "${1:-$here/../../data/cases-null.txt}")" && pwd)/$(basename "${1:-cases-null.txt}")
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
CXX=${CXX:-x86_64-w64-mingw32-g++-posix}
prefix=${WINEPREFIX:-/tmp/null-oracle-prefix}

runas=""
if [ "$(id -u)" = 0 ]; then
    user=${RECORD_USER:-nobody}
    runas="setpriv --reuid=$(id -u "$user") --regid=$(id -g "$user") --clear-groups"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/null-cases.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$CXX" -std=c++17 -O2 -Wall -Wextra -Werror -static \
    -o "$work/record.exe" "$here/record_null_cases.cpp"
cp "$cases" "$work/cases.txt"
mkdir -p "$prefix"
if [ -n "$runas" ]; then
    chown -R "$user" "$work"
    chown "$user" "$prefix"
fi

wine_env() {
    $runas env HOME="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml=" "$@" </dev/null
}

wine_env "$WINE" wineboot >/dev/null 2>&1 || true  # sets up a new prefix
rc=0
(cd "$work" && wine_env "$WINE" record.exe cases.txt out.txt) || rc=$?
wine_env "$WINESERVER" -k >/dev/null 2>&1 || true
[ "$rc" = 0 ] || exit 1
cp "$work/out.txt" "$cases"
