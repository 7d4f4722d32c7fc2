#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a consumer against it, once
# through find_package(Tarvos) and once through pkg-config.
set -euo pipefail
build_dir=$1; consumer_src=$2; work=$3
rm -rf "$work"; mkdir -p "$work"
prefix="$work/prefix"
cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log"

cmake -S "$consumer_src" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$work/configure.log"
cmake --build "$work/cmake-build" > "$work/build.log"
LD_LIBRARY_PATH="$prefix/lib" "$work/cmake-build/consumer"

libdir=$(find "$prefix" -name tarvos.pc -printf '%h\n' | head -n1)
export PKG_CONFIG_PATH="$libdir"
c++ -std=c++20 "$consumer_src/main.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs tarvos)
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/consumer-pc"

# Only exported classes are visible: an internal class must not be in the dynamic symbol table.
so=$(find "$prefix" -name 'libtarvos.so.0' | head -n1)
if nm -D --defined-only "$so" | c++filt | grep -q 'MTInterfaceImpPosix'; then
  echo "internal class MTInterfaceImpPosix is exported"; exit 1
fi
echo "packaging ok"
