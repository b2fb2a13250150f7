#!/usr/bin/env bash
# Builds and runs the consumer host the ways a user would, outside the build
# tree of razezir:
#   check_consumers.sh installed PREFIX WORK_DIR
#     against the copy installed under PREFIX (a `cmake --install` prefix, or
#     /usr for the Debian packages): through find_package and through
#     pkg-config, and checks that asking for another major version fails;
#   check_consumers.sh subproject WORK_DIR
#     as part of a parent project that adds razezir with add_subdirectory or
#     FetchContent, which must get the library and none of razezir's tests
#     or programs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
mode=$1
shift

fail() { echo "FAIL: $*" >&2; exit 1; }

# Nothing of the source tree may be on a consumer's include path.
check_no_source_includes() {
  if grep -q -- "-I$source_dir/\|-isystem $source_dir/" "$1"; then
    fail "$1 compiles with include paths from the source tree"
  fi
}

case $mode in
installed)
  prefix=$1 work=$2
  rm -rf "$work" && mkdir -p "$work"
  pc=$(find "$prefix"/lib* -name razezir.pc -path '*/pkgconfig/*' 2>/dev/null | head -n1 || true)
  [ -n "$pc" ] || fail "no razezir.pc under $prefix"

  echo "-- find_package(razezir CONFIG REQUIRED) against $prefix"
  cmake -S "$here" -B "$work/find" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
  cmake --build "$work/find"
  check_no_source_includes "$work/find/compile_commands.json"
  (cd "$work/find" && ./consumer)

  echo "-- pkg-config --cflags --libs razezir against $prefix"
  export PKG_CONFIG_PATH
  PKG_CONFIG_PATH=$(dirname "$pc")
  flags=$(pkg-config --cflags --libs razezir)
  libdir=$(pkg-config --variable=libdir razezir)
  echo "$flags" > "$work/pkg-config-flags"
  check_no_source_includes "$work/pkg-config-flags"
  # shellcheck disable=SC2086
  c++ -std=c++17 -Wall -Wextra -Werror "$here/consumer.cc" -o "$work/consumer-pc" \
      $flags -Wl,-rpath,"$libdir"
  (cd "$work" && ./consumer-pc)

  echo "-- find_package(razezir 1) must fail against $(pkg-config --modversion razezir)"
  if cmake -S "$here" -B "$work/major" -DCMAKE_PREFIX_PATH="$prefix" \
           -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON \
           -DRAZEZIR_CONSUMER_VERSION=1 > "$work/major.log" 2>&1; then
    fail "a consumer asking for razezir 1 configured"
  fi
  grep -q 'compatible with requested version "1"' "$work/major.log" ||
    { cat "$work/major.log"; fail "asking for razezir 1 failed for another reason"; }
  echo "refused, as it should be"
  ;;
subproject)
  work=$1
  rm -rf "$work"
  for fetch in OFF ON; do
    echo "-- a parent project brings razezir in (FetchContent: $fetch)"
    cmake -S "$source_dir/tests/subproject" -B "$work/fetch-$fetch" \
          -DRAZEZIR_SOURCE_DIR="$source_dir" -DRAZEZIR_PARENT_FETCH=$fetch
    cmake --build "$work/fetch-$fetch" -j2
    targets=$(cmake --build "$work/fetch-$fetch" --target help)
    for unwanted in emit_test wide_format_bench two_threads syscall_probe \
                    wide_format_replay lnav_sample_host; do
      if grep -q "\b$unwanted\b" <<<"$targets"; then
        fail "the parent project builds razezir's $unwanted"
      fi
    done
    tests=$(ctest --test-dir "$work/fetch-$fetch" -N | grep -c 'Test *#' || true)
    [ "$tests" -eq 1 ] || fail "the parent project has $tests tests, expected only its own"
    ctest --test-dir "$work/fetch-$fetch" --output-on-failure
  done
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
