#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a bounded run of
# every fuzz target (scripts/fuzz.sh), the normal build, then the sanitizer
# build (address, undefined, leaks) of the unit tests. The fuzz step prints
# its own "fuzz: N passed, N failed" line before the test runs start.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "${ZK_SKIP_FUZZ:-0}" != "1" ]; then
  bash scripts/fuzz.sh build-fuzz
fi
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

if [ "${ZK_SKIP_SANITIZE:-0}" != "1" ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZK_SANITIZE=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  # The unit tests; the mount tests already ran above on the normal build.
  # Leaks are reported, but for those inside the archive library.
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
     LSAN_OPTIONS=suppressions="$PWD/../scripts/lsan.supp":print_suppressions=0 \
     ctest --output-on-failure -j"$jobs" --timeout 600 -E '^py_')
fi
