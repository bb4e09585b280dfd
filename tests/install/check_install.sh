#!/usr/bin/env bash
# check_install.sh BUILD_DIR CONSUMER_SOURCE SCRATCH
# Installs into a scratch prefix (not a system one) and builds the consumers against it as applications
# would: a console program and a wxGTK program, through find_package (wxWidgets looked for before and
# after zrappapi) and through pkg-config. Each runs with no LD_LIBRARY_PATH and --as-needed linking, the
# GUI one under Xvfb.
set -euo pipefail
build=$1 consumer=$2 scratch=$3
unset LD_LIBRARY_PATH
command -v xvfb-run >/dev/null || { echo "install_consumer: xvfb-run missing (bash tools/install-deps.sh)"; exit 1; }
export NO_AT_BRIDGE=1
gui() { timeout 60 xvfb-run -a "$@"; }

rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -f "$scratch/prefix/include/zrappapi/zrappapi.h"

# find_package, both orders
for wx_first in OFF ON; do
  out=$scratch/cmake-wx-first-$wx_first
  cmake -S "$consumer" -B "$out" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/prefix" -DWX_FIRST=$wx_first \
        -DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed >/dev/null
  cmake --build "$out" >/dev/null
  "$out/consumer"
  gui "$out/gui_consumer"
done

# pkg-config: the prefix comes from PKG_CONFIG_PATH, the run-time path from an rpath to its libdir
export PKG_CONFIG_PATH=$(ls -d "$scratch"/prefix/lib*/pkgconfig | head -1)
libdir=$(pkg-config --variable=libdir zrappapi)
if pkg-config --cflags --libs zrappapi | grep -Eq -- '-DwxUSE_GUI|-L/usr/lib |-L/usr/lib/[^ ]*-linux-gnu|-I/usr/include( |$)'; then
  echo "install_consumer: zrappapi.pc pushes console or system flags: $(pkg-config --cflags --libs zrappapi)"
  exit 1
fi
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/main.cc" -o "$scratch/consumer-pc" $(pkg-config --cflags zrappapi) \
    -Wl,--as-needed $(pkg-config --libs zrappapi) -Wl,-rpath,"$libdir"
"$scratch/consumer-pc"
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/gui.cc" -o "$scratch/gui-consumer-pc" $(wx-config --cxxflags core,base) \
    $(pkg-config --cflags zrappapi) -Wl,--as-needed $(pkg-config --libs zrappapi) $(wx-config --libs core,base) \
    -Wl,-rpath,"$libdir"
gui "$scratch/gui-consumer-pc"
echo "install_consumer: console and GUI consumers built through find_package and pkg-config, and ran"
