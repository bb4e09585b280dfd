#!/usr/bin/env bash
# Installs what is missing, builds, and runs the examples end to end: a bare request on a channel, then
# shared preferences through the public client, each answered on the UI thread.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target hello_channel shared_prefs
./build/release/examples/hello_channel/hello_channel
./build/release/examples/shared_prefs/shared_prefs
