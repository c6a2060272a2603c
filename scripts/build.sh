#!/usr/bin/env bash
# Configures and builds both configurations: build/windows (setup.exe, tests for Wine) and build/native.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(command -v /usr/bin/python3 || command -v python3)
cmake --preset windows -DPython3_EXECUTABLE="$py" > /dev/null
cmake --build --preset windows
if [ "${1:-}" != "--windows-only" ]; then
  cmake --preset native -DPython3_EXECUTABLE="$py" > /dev/null
  cmake --build --preset native
fi
