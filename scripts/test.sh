#!/usr/bin/env bash
# Builds and runs every test twice: a normal build (g++) and an
# AddressSanitizer + UndefinedBehaviorSanitizer build (clang, with the
# libFuzzer targets run for a bounded time). Exits non-zero if either fails.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit 1

jobs=$(nproc)
status=0

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build build -j"$jobs" || exit 1
(cd build && ctest -j"$jobs" --output-on-failure) || status=1

echo "== sanitizer build (address, undefined)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQM_SANITIZE=ON -DQM_FUZZ=ON -DQM_BENCH=OFF >/dev/null || exit 1
cmake --build build-asan -j"$jobs" || exit 1
# Every test also gets LSAN_OPTIONS naming cmake/lsan.supp (cmake/test-home.sh).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest -j"$jobs" --output-on-failure) || status=1

exit $status
