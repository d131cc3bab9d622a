#!/bin/sh
# Builds the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the saved-scan store tests, the fuzz test included.
# Extra arguments go to the test binary (e.g. --gtest_filter='Store*:Tree*').
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/sanitize"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DTALLMAP_SANITIZE=ON -DTALLMAP_BUILD_MODULE=OFF
ninja -C "$build" -j2 tallmap_tests

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if [ "$#" -eq 0 ]; then
  set -- --gtest_filter='Store*'
fi
exec "$build/tallmap_tests" "$@"
