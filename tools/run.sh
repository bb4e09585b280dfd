#!/usr/bin/env bash
# Installs what is missing, builds, and runs the example: a request to an in-process service answered on
# the UI thread.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target hello_channel
./build/release/examples/hello_channel/hello_channel
