#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: native (unit tests under ASan/UBSan,
# fuzzers, the sample CD maker) and Windows (unit tests and end-to-end tests of setup.exe under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
status=0
ctest --preset native -j2 || status=1
ctest --preset windows -j2 || status=1
exit $status
