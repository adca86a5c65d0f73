#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: a bounded run of
# every fuzz target (scripts/fuzz.sh), the normal build, then the sanitizer
# build (address, undefined, leaks) of the unit tests. The fuzz step prints
# its own "fuzz: N passed, N failed" line before the test runs start.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

# ctest reports a skipped test as "Skipped" and still exits 0. Where mounts
# can be made (root and /dev/fuse) nothing may skip: a run that skipped a
# test there has not tested what it claims, so it fails, naming each test
# with its output (the reason). Elsewhere the skips are listed and pass.
mounts_here=0
if [ "$(id -u)" = 0 ] && [ -c /dev/fuse ]; then
  mounts_here=1
fi
# run_ctest DIR [ARGS...]: ctest in DIR, then the skip check on its results.
run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600 --output-junit ctest-results.xml "$@")
  python3 - "$dir/ctest-results.xml" "$mounts_here" <<'PY'
import sys
import xml.etree.ElementTree as ET
skipped = [t for t in ET.parse(sys.argv[1]).getroot().iter("testcase") if t.find("skipped") is not None]
for t in skipped:
    print("skipped: %s\n%s" % (t.get("name"), (t.findtext("system-out") or "").strip()[-2000:]))
if skipped and sys.argv[2] == "1":
    sys.exit("%d test(s) skipped on a machine with root and /dev/fuse: nothing may skip here" % len(skipped))
PY
}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
if [ "${ZK_SKIP_FUZZ:-0}" != "1" ]; then
  bash scripts/fuzz.sh build-fuzz
fi
run_ctest build

if [ "${ZK_SKIP_SANITIZE:-0}" != "1" ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZK_SANITIZE=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  # The unit tests; the mount tests already ran above on the normal build.
  # Leaks are reported, but for those inside the archive library.
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    LSAN_OPTIONS=suppressions="$PWD/scripts/lsan.supp":print_suppressions=0 \
    run_ctest build-asan -E '^py_'
fi
