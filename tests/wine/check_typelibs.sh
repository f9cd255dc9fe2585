#!/bin/bash
# Reads the type libraries of the 64-bit and the 32-bit TR47_INI.dll with
# typelib_check.exe in a fresh Wine prefix, checks both against the
# published surface and compares them. Nothing is registered; a 64-bit
# process reads the 32-bit DLL's resource as data.
# Usage: tests/wine/check_typelibs.sh <64-bit build dir (TR47_INI.dll, typelib_check.exe)> <dir with 32-bit TR47_INI.dll>
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 <64-bit build dir> <dir with 32-bit TR47_INI.dll>" >&2; exit 2; }
win64=$(cd "$1" && pwd)
win32=$(cd "$2" && pwd)
for f in "$win64/typelib_check.exe" "$win64/TR47_INI.dll" "$win32/TR47_INI.dll"; do
  [ -f "$f" ] || { echo "$f not found" >&2; exit 1; }
done
wine=/usr/lib/wine/wine64
command -v wine64 >/dev/null && wine=$(command -v wine64)

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

winpath() { echo "Z:${1//\//\\}"; }

timeout 300 "$wine" wineboot --init >/dev/null 2>&1

rc=0
timeout 120 "$wine" "$(winpath "$win64/typelib_check.exe")" \
    "$(winpath "$win64/TR47_INI.dll")" "$(winpath "$win32/TR47_INI.dll")" >"$work/log" 2>&1 || rc=$?
tr -d '\r' <"$work/log"
if [ "$rc" -eq 124 ]; then
  echo "typelib_check timed out" >&2
  exit 1
elif [ "$rc" -gt 128 ]; then
  echo "typelib_check killed by signal $((rc - 128))" >&2
  exit 1
elif [ "$rc" -ne 0 ]; then
  echo "typelib_check failed (exit status $rc)" >&2
  exit 1
fi
# A crash inside Wine can still end with status 0: require the last line.
tr -d '\r' <"$work/log" | tail -n 1 | grep -qx 'typelib_check: all checks passed' \
  || { echo "typelib_check did not finish" >&2; exit 1; }
