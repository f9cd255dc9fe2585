#!/bin/bash
# Registers TR47_INI.dll in a fresh Wine prefix and runs the VBScript suite
# with cscript, including the exchange of password-protected files with the
# Linux build.  Usage: tests/wine/run.sh <dir with TR47_INI.dll> <native build dir>
set -euo pipefail
dll_dir=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
wine=/usr/lib/wine/wine64
command -v wine64 >/dev/null && wine=$(command -v wine64)

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

winpath() { echo "Z:${1//\//\\}"; }

timeout 300 "$wine" wineboot --init >/dev/null 2>&1
cp "$dll_dir/TR47_INI.dll" "$work/"
timeout 120 "$wine" regsvr32.exe /s "$(winpath "$work/TR47_INI.dll")"

# A file stored by the Linux tool, for the Windows build to load.
printf 'interchange\n' >"$work/password"
"$native/tr47ini" save "$root/examples/settings.ini" "$work/from_linux.dat" --password-file "$work/password"

timeout 300 "$wine" cscript.exe //nologo "$(winpath "$here/suite.vbs")" \
    "$(winpath "$root/examples/settings.ini")" "$(winpath "$work")" "$(winpath "$work/from_linux.dat")" \
    | tr -d '\r' | tee "$work/log"
grep -q '^all checks passed$' "$work/log" || { echo "VBScript suite failed" >&2; exit 1; }

# And the file stored by the Windows build loads on Linux.
"$native/tr47ini" load "$work/to_linux.dat" --password-file "$work/password" >"$work/loaded.txt"
grep -q 'from VBScript' "$work/loaded.txt" || { echo "Linux could not read the Windows file" >&2; exit 1; }
echo "Windows file loads on Linux"

timeout 120 "$wine" regsvr32.exe /s /u "$(winpath "$work/TR47_INI.dll")"
echo "wine suite passed"
