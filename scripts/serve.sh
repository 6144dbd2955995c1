#!/usr/bin/env bash
# Sets up, builds and serves the default stream until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DNERIVO_TESTS=OFF -DNERIVO_BENCH=OFF
exec build/tools/nerivo-serve "$@"
