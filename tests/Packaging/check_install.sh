#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a consumer against it, once
# through find_package(Tarvos) and once through pkg-config; the consumer checks that header, library and
# package agree on the version. Then checks the package's metadata (liburing as a private pkg-config
# requirement, not a link flag), the symbol table (only Tarvos:: symbols, all versioned TARVOS_0.1),
# the man page and the licence.
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
version=$(pkg-config --modversion tarvos)
c++ -std=c++20 "$consumer_src/main.cpp" -o "$work/consumer-pc" -DTARVOS_PACKAGE_VERSION="\"$version\"" \
  $(pkg-config --cflags --libs tarvos)
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/consumer-pc"

if ! pkg-config --print-requires-private tarvos | grep -qx 'liburing'; then
  echo "tarvos.pc does not name liburing in Requires.private"; exit 1
fi
if pkg-config --libs tarvos | grep -q -- '-luring'; then
  echo "tarvos.pc puts -luring on a shared-library consumer's link line"; exit 1
fi

# The dynamic symbol table: only Tarvos:: names, every one versioned TARVOS_0.1.
so=$(find "$prefix" -name 'libtarvos.so.0' | head -n1)
nm -DC --defined-only "$so" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' > "$work/symbols"
if [ ! -s "$work/symbols" ]; then
  echo "the library exports nothing"; exit 1
fi
if grep -v -e 'Tarvos::' -e '^TARVOS_0\.1$' "$work/symbols" > "$work/foreign"; then
  echo "symbols outside Tarvos:: are exported:"; head -n 20 "$work/foreign"; exit 1
fi
if grep -q 'MTInterfaceImpPosix' "$work/symbols"; then
  echo "internal class MTInterfaceImpPosix is exported"; exit 1
fi
readelf --dyn-syms -W "$so" | awk '$7 != "UND" && $8 != "" && $5 != "LOCAL" && NR > 3 { print $8 }' > "$work/versioned"
if grep -v -e '@@TARVOS_0\.1$' -e '^TARVOS_0\.1$' "$work/versioned" > "$work/unversioned"; then
  echo "exported symbols without the version node TARVOS_0.1:"; head -n 20 "$work/unversioned"; exit 1
fi
grep -q 'TARVOS_0.1' <(readelf -V -W "$so") || { echo "no version node TARVOS_0.1"; exit 1; }

if command -v scdoc > /dev/null && [ -d "$build_dir/tools" ]; then
  test -s "$prefix/share/man/man1/tarvos.1" || { echo "the man page tarvos.1 is not installed"; exit 1; }
fi
test -s "$prefix/share/doc/Tarvos/LICENSE" || { echo "the licence is not installed"; exit 1; }
echo "packaging ok: version $version, $(wc -l < "$work/symbols") symbols, all Tarvos:: at TARVOS_0.1"
