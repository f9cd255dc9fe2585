#!/bin/bash
# Registers TR47_INI.dll in a fresh Wine prefix and runs its clients there:
# the VBScript and JScript suites with cscript (including the exchange of
# password-protected files with the Linux build), and the C++ clients of
# tests/clients built here with mingw-w64 against the header widl makes from
# the native build's TR47_INI.idl: early binding through the function
# tables, late binding as real clients call IDispatch, and apartment
# threads. Every program runs under a time limit; it passes when it exits
# with status 0 and prints its final line. All parts run; the script fails
# at the end when any of them failed.
# Usage: tests/wine/run.sh <dir with TR47_INI.dll> <native build dir>
set -euo pipefail
dll_dir=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
wine=/usr/lib/wine/wine64
command -v wine64 >/dev/null && wine=$(command -v wine64)
widl=/usr/lib/wine/widl
command -v widl >/dev/null && widl=$(command -v widl)
mingw=${TR47_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

winpath() { echo "Z:${1//\//\\}"; }

failed=()
# run_logged NAME MARKER LIMIT COMMAND...: runs COMMAND under a time limit,
# its output (also shown) kept in $work/NAME.log; NAME fails unless
# COMMAND exits 0 and printed a line matching MARKER.
run_logged() {
    local name=$1 marker=$2 limit=$3 start=$SECONDS rc
    shift 3
    set +e
    timeout -k 10 "$limit" "$@" 2>&1 | tr -d '\r' | tee "$work/$name.log"
    rc=${PIPESTATUS[0]}
    set -e
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
        failed+=("$name: no end within ${limit}s (hang), exit $rc")
    elif [ "$rc" -gt 128 ]; then
        failed+=("$name: ended by signal $((rc - 128))")
    elif [ "$rc" -ne 0 ]; then
        failed+=("$name: exit status $rc")
    elif ! grep -q "$marker" "$work/$name.log"; then
        failed+=("$name: exit 0 without its final line (an uncaught script error)")
    fi
    echo "$name: exit status $rc after $((SECONDS - start))s"
}

# The prefix starts while the C++ clients compile.
timeout 300 "$wine" wineboot --init >/dev/null 2>&1 &
boot=$!

idl_include=
for d in /usr/share/mingw-w64/include /usr/include/wine/wine/windows /usr/include/wine/windows; do
    [ -f "$d/oaidl.idl" ] && { idl_include=$d; break; }
done
mkdir -p "$work/gen"
"$widl" -I"$idl_include" -h -o "$work/gen/TR47_INI.h" "$native/TR47_INI.idl"
"$widl" -I"$idl_include" -u -o "$work/gen/TR47_INI_i.c" "$native/TR47_INI.idl"
clients=(early_binding late_binding threads)
for c in "${clients[@]}"; do
    "$mingw" -std=c++20 -O1 -Wall -Wextra -Werror -I"$work/gen" -I"$root/tests/clients" \
        "$root/tests/clients/$c.cpp" -o "$work/$c.exe" -static -lole32 -loleaut32 -luuid
done
wait "$boot"

cp "$dll_dir/TR47_INI.dll" "$work/"
timeout 120 "$wine" regsvr32.exe /s "$(winpath "$work/TR47_INI.dll")"

# A file stored by the Linux tool, for the Windows build to load.
printf 'interchange\n' >"$work/password"
"$native/tr47ini" save "$root/examples/settings.ini" "$work/from_linux.dat" --password-file "$work/password"

run_logged suite.vbs '^all checks passed$' 300 "$wine" cscript.exe //nologo "$(winpath "$here/suite.vbs")" \
    "$(winpath "$root/examples/settings.ini")" "$(winpath "$work")" "$(winpath "$work/from_linux.dat")"

# And the file stored by the Windows build loads on Linux.
if "$native/tr47ini" load "$work/to_linux.dat" --password-file "$work/password" >"$work/loaded.txt" &&
    grep -q 'from VBScript' "$work/loaded.txt"; then
    echo "Windows file loads on Linux"
else
    failed+=("the file stored by the VBScript suite does not load on Linux")
fi

run_logged suite.js '^all checks passed$' 300 "$wine" cscript.exe //nologo "$(winpath "$here/suite.js")" \
    "$(winpath "$root/examples/settings.ini")" "$(winpath "$work")" "$(winpath "$work/from_linux.dat")"

for c in early_binding late_binding; do
    run_logged "$c" 'all [0-9]* checks passed$' 300 "$wine" "$work/$c.exe" \
        "$(winpath "$root/examples/settings.ini")" "$(winpath "$work")"
done
# The program ends its own waits after 30 s (worker) and 240 s
# (apartments); the limit here catches a process that does not exit.
for mode in worker apartments; do
    run_logged "threads-$mode" 'all [0-9]* checks passed$' 300 "$wine" "$work/threads.exe" "$mode" \
        "$(winpath "$root/examples/settings.ini")" "$(winpath "$work")"
done

# Unregistering twice succeeds: the second finds nothing to remove.
for pass in 1 2; do
    rc=0
    timeout 120 "$wine" regsvr32.exe /s /u "$(winpath "$work/TR47_INI.dll")" || rc=$?
    [ "$rc" -eq 0 ] || failed+=("regsvr32 /u (pass $pass): exit status $rc")
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "wine suite FAILED:"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
echo "wine suite passed"
