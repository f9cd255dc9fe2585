#!/usr/bin/env bash
# Every ```ini block of a Markdown file is imported with `tr47ini show`, and
# the ```text block that follows it must be exactly what the program prints
# (messages first). The exit status must be 1 when messages are expected,
# else 0. Arguments: the tool, the Markdown file.
set -uo pipefail
tool=$(realpath "$1"); doc="$2"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
# Splits the file into numbered ini/text block files.
awk -v dir="$work" '
  /^```ini$/  { n++; out = dir "/" n ".ini"; printf "" > out; inblock = 1; next }
  /^```text$/ { if (n && !(n in seen)) { seen[n] = 1; out = dir "/" n ".expected"; printf "" > out; inblock = 1; next } }
  /^```/      { if (inblock) { inblock = 0; close(out); next } }
  inblock     { print > out }
' "$doc"
count=0; failures=0
for ini in "$work"/*.ini; do
  [ -e "$ini" ] || break
  n=$(basename "$ini" .ini); count=$((count + 1))
  if [ ! -f "$work/$n.expected" ]; then
    echo "example $n: no text block after the ini block" >&2; failures=$((failures + 1)); continue
  fi
  LC_ALL=C.UTF-8 "$tool" show "$ini" >"$work/$n.out" 2>"$work/$n.err"; rc=$?
  cat "$work/$n.err" "$work/$n.out" >"$work/$n.actual"
  want=0; grep -q '^Die ' "$work/$n.expected" && want=1
  if ! diff -u "$work/$n.expected" "$work/$n.actual" >"$work/$n.diff" || [ $rc -ne $want ]; then
    echo "example $n (exit $rc, expected $want):" >&2; sed 's/^/  /' "$ini" >&2; cat "$work/$n.diff" >&2
    failures=$((failures + 1))
  fi
done
[ "$count" -gt 0 ] || { echo "no examples found in $doc" >&2; exit 1; }
echo "$count examples, $failures failed"
[ "$failures" -eq 0 ]
