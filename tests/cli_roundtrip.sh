#!/usr/bin/env bash
# tr47ini save then load --json reproduces show --json, except the enumeration
# references of enum values, which stored forms do not keep.
set -euo pipefail
tool="$1"; ini="$2"; work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
strip_enum() { sed -E 's/,"enum":"[^"]*"//g'; }

"$tool" show "$ini" --json | strip_enum > "$work/show.json"
"$tool" save "$ini" "$work/plain.tr47"
"$tool" load "$work/plain.tr47" --json > "$work/load.json"
diff "$work/show.json" "$work/load.json"

printf 'secret\n' > "$work/pw"
"$tool" save "$ini" "$work/secure.tr47" --password-file "$work/pw"
"$tool" load "$work/secure.tr47" --json --password-file "$work/pw" > "$work/load2.json"
diff "$work/show.json" "$work/load2.json"
if "$tool" load "$work/secure.tr47" 2>/dev/null; then echo "loaded without the password" >&2; exit 1; fi

# Exit codes: found 0, default 3, import false 1, usage 2.
"$tool" get "$ini" Face >/dev/null
set +e
"$tool" get "$ini" NoSuchName --default x >/dev/null; [ $? -eq 3 ] || exit 1
printf 'bad line\n' > "$work/bad.ini"
"$tool" show "$work/bad.ini" >/dev/null 2>&1; [ $? -eq 1 ] || exit 1
"$tool" frobnicate >/dev/null 2>&1; [ $? -eq 2 ] || exit 1
exit 0
