#!/usr/bin/env bash
# Times crc32_buf natively (g++, -O2 as the setup's copy files are built, no sanitizers) against memcpy and
# zlib's crc32, and with --wine the same program cross-built for Windows (MinGW -O2) under a private Wine
# prefix. Prints figures; asserts nothing.
# Usage: bench/crc_speed.sh [--wine]
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench
mkdir -p "$out"
srcs="bench/crc_speed.cpp src/util/crc32.cpp"
zlib=()
[ -f /usr/include/zlib.h ] && zlib=(-DWITH_ZLIB -lz)
g++ -std=c++17 -O2 -Isrc -o "$out/crc_speed" $srcs "${zlib[@]}"
echo "== native (g++ -O2)"
"$out/crc_speed"
if [ "${1:-}" = "--wine" ]; then
  x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wa,-muse-unaligned-vector-move -Isrc -static -o "$out/crc_speed.exe" $srcs
  echo "== Windows build (MinGW -O2) under Wine"
  tpl=()
  [ -d build/windows/wine-template/prefix ] && tpl=(--template build/windows/wine-template)
  python3 tests/wine/winerun.py "${tpl[@]}" -- "$PWD/$out/crc_speed.exe"
fi
