#!/usr/bin/env bash
# check_install.sh BUILD_DIR CONSUMER_SOURCE SCRATCH
set -euo pipefail
build=$1 consumer=$2 scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -f "$scratch/prefix/include/zrappapi/zrappapi.h"

# find_package
cmake -S "$consumer" -B "$scratch/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
"$scratch/cmake-build/consumer"

# pkg-config
libdir=$(ls -d "$scratch"/prefix/lib*/pkgconfig | head -1)
flags=$(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs zrappapi)
# shellcheck disable=SC2086
c++ -std=c++17 "$consumer/main.cc" -o "$scratch/consumer-pc" $flags -Wl,-rpath,"$(dirname "$libdir")"
"$scratch/consumer-pc"
echo "install_consumer: find_package and pkg-config consumers built and ran"
