#!/usr/bin/env bash
# Installs every Debian package the build, the program and its tests need.
# Idempotent: packages already present are left alone, and apt is only asked
# when something is missing.
set -euo pipefail

PKGS=(
  # build
  build-essential cmake ninja-build pkg-config g++ googletest libgtest-dev
  # libraries the program links
  libfuse-dev fuse libmbedtls-dev liblz4-dev libphysfs-dev
  # tools the tests call
  attr python3 coreutils util-linux procps psmisc
  # the FUSE benchmark's comparison (bench/fuse_bench.py)
  bindfs
  # fuzz targets (cmake -DZK_FUZZ=ON with clang; not part of the test run)
  clang libclang-rt-14-dev
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# FUSE needs its device node; a fresh container may lack it.
if [ ! -e /dev/fuse ]; then
  mknod -m 666 /dev/fuse c 10 229 || true
fi
