#!/usr/bin/env bash
# Installs what is missing, builds zkue and runs it with the given arguments,
# e.g.: bash scripts/run.sh -u /srv/data -m /mnt/zk
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zkue
exec ./build/src/opt/zkue/zkue "$@"
