#!/usr/bin/env bash
# Times the emblem picture pipeline natively (clang, -O2, no sanitizers) and, with --wine, the same
# program cross-built for Windows under a private Wine prefix. Prints figures; asserts nothing.
# Usage: bench/emblem_speed.sh [--wine]
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/bench
mkdir -p "$out"
srcs="bench/emblem_speed.cpp src/install/emblem.cpp src/util/setup_log.cpp src/util/fmt.cpp"
clang++-14 -std=c++17 -O2 -Isrc -o "$out/emblem_speed" $srcs src/platform/platform_posix.cpp
echo "== native (clang -O2)"
"$out/emblem_speed"
if [ "${1:-}" = "--wine" ]; then
  x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Isrc -static -o "$out/emblem_speed.exe" $srcs src/platform/platform_win32.cpp \
    -lcomctl32 -lcomdlg32 -lshell32 -lole32 -luuid -ladvapi32 -luser32 -lgdi32 -lkernel32
  echo "== Windows build (MinGW -O2) under Wine"
  tpl=()
  [ -d build/windows/wine-template/prefix ] && tpl=(--template build/windows/wine-template)
  python3 tests/wine/winerun.py "${tpl[@]}" -- "$PWD/$out/emblem_speed.exe"
fi
