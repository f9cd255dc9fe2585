#!/usr/bin/env bash
# Builds and runs consumer programs against TR47_INI.
#   check.sh install BUILD_DIR   installs BUILD_DIR into a scratch prefix; then
#                                the CMake package, pkg-config (g++ -lTR47_INI)
#                                and the installed server and activation helper
#   check.sh subdir              the project as a subproject (add_subdirectory)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd); src=$(cd "$here/../.." && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
ini="$src/examples/settings.ini"
fail() { echo "consumer check: $*" >&2; exit 1; }
jobs=${JOBS:-2}

case "${1:-}" in
install)
  build=$(cd "$2" && pwd); prefix="$work/prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  libdir=$(find "$prefix" -name 'libTR47_INI.*' -printf '%h\n' | head -1)
  [ -n "$libdir" ] || fail "no libTR47_INI installed"
  shared=no; [ -e "$libdir/libTR47_INI.so" ] && shared=yes
  echo "consumer check: installed tree $prefix, shared library: $shared"
  # The server module can never be taken for the C++ library.
  server="$libdir/tr47ini/TR47_INI.so"
  [ -f "$server" ] || fail "server module not at $server"
  count=$(find "$prefix" -name 'libTR47_INI.so*' | wc -l)
  [ "$count" -eq "$([ $shared = yes ] && echo 3 || echo 0)" ] \
    || fail "unexpected libTR47_INI.so files: $(find "$prefix" -name 'libTR47_INI.so*')"
  [ -f "$prefix/include/tr47ini/server/automation.h" ] && [ -f "$prefix/include/tr47ini/server/activation.hpp" ] \
    || fail "server headers not installed"

  # 1. CMake package.
  cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" \
    || { cat "$work/cmake.log"; fail "configure against the package failed"; }
  grep -q "consumer: TR47_INI 1\.1\." "$work/cmake.log" || fail "package version not reported"
  cmake --build "$work/cmake" -j"$jobs" >/dev/null || fail "build against the package failed"
  LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer" "$ini"

  # 2. pkg-config and a plain compiler command.
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  [ "$(pkg-config --modversion TR47_INI)" = "$(grep -o 'VERSION_STRING "[^"]*' "$prefix/include/tr47ini/version.hpp" | cut -d'"' -f2)" ] \
    || fail "pkg-config version differs from version.hpp"
  if [ $shared = yes ]; then
    # Neither ICU nor OpenSSL reaches a consumer of the shared library.
    libs=$(pkg-config --cflags --libs TR47_INI)
    case "$libs" in *icu*|*crypto*) fail "pkg-config hands private dependencies out: $libs" ;; esac
    # shellcheck disable=SC2086
    g++ -std=c++20 "$here/main.cpp" $libs -o "$work/pc-consumer"
    needed=$(readelf -d "$work/pc-consumer" | grep NEEDED)
    echo "$needed" | grep -q 'libTR47_INI.so.1' || fail "consumer does not need libTR47_INI.so.1"
    case "$needed" in *icu*|*crypto*) fail "consumer links private dependencies: $needed" ;; esac
    readelf -d "$work/cmake/consumer" | grep NEEDED | grep -q 'icu\|crypto' && fail "CMake consumer links ICU or OpenSSL"
    LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$ini"
  else
    # shellcheck disable=SC2046
    g++ -std=c++20 "$here/main.cpp" $(pkg-config --static --cflags --libs TR47_INI) -o "$work/pc-consumer"
    "$work/pc-consumer" "$ini"
  fi

  # 3. The installed tool registers the installed server; a late-bound
  #    client built against the installed activation helper creates objects.
  export TR47_REGISTRY="$work/registry"
  "$prefix/bin/tr47ini" register >/dev/null
  grep -q "InprocServer32=$(realpath "$server")\$" "$TR47_REGISTRY" || fail "register did not name $server: $(grep InprocServer32 "$TR47_REGISTRY" | head -1)"
  out=$("$work/cmake/late_bound_client" "$ini" Port) || fail "late-bound client failed"
  [ "$out" = "Port = 8080" ] || fail "late-bound client printed '$out'"
  "$prefix/bin/tr47ini" unregister >/dev/null
  grep -q InprocServer32 "$TR47_REGISTRY" && fail "unregister left the server registered"
  echo "consumer check: package, pkg-config, installed server: ok"
  ;;
subdir)
  # Warnings as errors on for the library (as in CI), never for the parent.
  cmake -S "$here" -B "$work/sub" -DTR47_SOURCE_DIR="$src" -DTR47_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >"$work/sub.log" \
    || { cat "$work/sub.log"; fail "configure as a subproject failed"; }
  grep -q "consumer: build type after the subproject ''" "$work/sub.log" || fail "the subproject set a build type"
  cmake --build "$work/sub" -j"$jobs" --target consumer >/dev/null || fail "build as a subproject failed"
  tests=$(ctest --test-dir "$work/sub" -N | grep -c 'Test *#' || true)
  [ "$tests" -eq 1 ] || fail "the subproject registered tests in its parent ($tests tests)"
  flags=$(grep -A3 '"file": *"[^"]*tests/consumer/main.cpp"' "$work/sub/compile_commands.json" ; \
          grep -B3 '"file": *"[^"]*tests/consumer/main.cpp"' "$work/sub/compile_commands.json")
  [ -n "$flags" ] || fail "no compile command for main.cpp"
  case "$flags" in *-Werror*|*-Wall*|*-fsanitize*) fail "the subproject's flags reach the parent: $flags" ;; esac
  grep -q -- '-Werror' "$work/sub/compile_commands.json" || fail "TR47_WERROR did not reach the library"
  "$work/sub/consumer" "$ini"
  echo "consumer check: add_subdirectory: ok"
  ;;
*) echo "usage: check.sh install BUILD_DIR | check.sh subdir" >&2; exit 2 ;;
esac
