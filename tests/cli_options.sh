#!/usr/bin/env bash
# tr47ini's command line: help and version, options never taken for file
# names, "--", group paths in get, --default-ok, and no JSON for a failed
# import. Arguments: the tool, the example INI file, the project version.
set -uo pipefail
tool=$(realpath "$1"); ini=$(realpath "$2"); version="$3"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# expect STATUS STDOUT-PATTERN -- command...: exit status and whole stdout (an
# extended regular expression; "" for no output).
expect() {
  local status=$1 pattern=$2; shift 3
  local out rc
  out=$("$tool" "$@" 2>"$work/err"); rc=$?
  [ "$rc" -eq "$status" ] || fail "tr47ini $*: exit $rc, expected $status ($(head -c 300 "$work/err"))"
  if [ -z "$pattern" ]; then
    [ -z "$out" ] || fail "tr47ini $*: printed '$out', expected nothing"
  else
    [[ "$out" =~ ^($pattern)$ ]] || fail "tr47ini $*: printed '$out', expected /$pattern/"
  fi
}

# Help on standard output with status 0, in every spelling and position.
for h in --help -h help; do
  expect 0 'usage:.*' -- $h
  [ ! -s "$work/err" ] || fail "$h wrote to standard error"
done
expect 0 'usage:.*' -- show "$ini" --help
expect 0 "tr47ini $version \(library $version\)" -- --version
expect 2 '' -- ; grep -q usage: "$work/err" || fail "no command: no usage on standard error"

# An argument that starts with "-" is an option, never a file name.
expect 0 'usage:.*' -- save "$ini" -h
expect 2 '' -- save "$ini" -x
expect 2 '' -- save "$ini" -
[ ! -e "$work/-h" ] && [ ! -e "$work/-x" ] && [ ! -e "$work/-" ] || fail "an option was taken for a file name"
cp "$ini" "$work/-dash.ini"
expect 2 '' -- show -dash.ini
expect 0 'Title = .*' -- show -- -dash.ini
expect 0 '' -- save -- -dash.ini -out.tr47
[ -s "$work/-out.tr47" ] || fail "save -- -dash.ini -out.tr47 wrote nothing"
expect 0 '8080' -- get -- -dash.ini Port

# Options: values after "=" or as the next argument (which may start with
# "-"); a missing value, an unknown option or one of another command is a
# usage error.
expect 3 '-1' -- get "$ini" Nothing --default -1
expect 3 'x=y' -- get "$ini" Nothing --default=x=y
expect 2 '' -- get "$ini" Nothing --default
expect 2 '' -- get "$ini" Port --json
expect 2 '' -- show "$ini" --password-file "$ini"
expect 2 '' -- save "$ini" out.tr47 --password-file=
expect 2 '' -- show "$ini" --json=yes
expect 2 '' -- show "$ini" --frobnicate

# get: names anywhere in the tree, or a path of group names.
expect 0 '8080' -- get "$ini" Port
expect 3 '' -- get "$ini" Port --no-recurse
expect 0 '8080' -- get "$ini" Network/Port
expect 0 'Helvetica' -- get "$ini" Fonts/Fallback/Face
expect 0 'Arial' -- get "$ini" 'Printer, Fonts/Face'
expect 3 '' -- get "$ini" Network/Face
expect 3 'none' -- get "$ini" Sever/Port --default none

# --default-ok: the default is an answer, for scripts under set -e.
p=$(set -e; "$tool" get "$ini" Timeout --default 30 --default-ok) || fail "--default-ok: exit $?"
[ "$p" = 30 ] || fail "--default-ok printed '$p'"
expect 0 '' -- get "$ini" Timeout --default-ok
expect 0 '8080' -- get "$ini" Port --default 30 --default-ok

# A failed import prints no JSON document, only its messages; the text form
# still shows what was read.
printf 'Good=1\nbad line\n' > "$work/bad.ini"
expect 1 '' -- show "$work/bad.ini" --json
[ -s "$work/err" ] || fail "failed import: no message"
expect 1 'Good = 1  \(Long\)' -- show "$work/bad.ini"
expect 1 '' -- show "$work/missing.ini" --json
expect 0 '\{"version".*' -- show "$ini" --json

[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
