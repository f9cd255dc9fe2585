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

# A password file that gives no password is a usage error with a message,
# never an unprotected file: empty, a blank first line, too long, a folder,
# a device without end, a FIFO without a writer, missing.
: > "$work/pw-empty"
printf '\nsecret\n' > "$work/pw-blank"
printf ' \t \r\n' > "$work/pw-spaces"
head -c 70000 /dev/zero | tr '\0' x > "$work/pw-long"
mkfifo "$work/pw-fifo"
for pw in "$work/pw-empty" "$work/pw-blank" "$work/pw-spaces" "$work/pw-long" "$work" /dev/zero "$work/pw-fifo" \
          "$work/pw-missing"; do
  rm -f "$work/out.tr47"
  timeout 10 "$tool" save "$ini" "$work/out.tr47" --password-file "$pw" 2>"$work/err"; rc=$?
  [ $rc -eq 2 ] || { echo "save --password-file $pw: exit $rc, expected 2" >&2; exit 1; }
  [ -s "$work/err" ] || { echo "save --password-file $pw: no message" >&2; exit 1; }
  [ ! -e "$work/out.tr47" ] || { echo "save --password-file $pw wrote a file" >&2; exit 1; }
  timeout 10 "$tool" load "$work/secure.tr47" --password-file "$pw" >/dev/null 2>"$work/err"; rc=$?
  [ $rc -eq 2 ] || { echo "load --password-file $pw: exit $rc, expected 2" >&2; exit 1; }
  [ -s "$work/err" ] || { echo "load --password-file $pw: no message" >&2; exit 1; }
done
# The first line counts, without its CR LF; what follows it does not.
printf 'secret\r\nmore\n' > "$work/pw-crlf"
"$tool" load "$work/secure.tr47" --password-file "$work/pw-crlf" >/dev/null || exit 1
exit 0
