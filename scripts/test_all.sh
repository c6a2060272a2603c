#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: native (unit tests under ASan/UBSan,
# fuzzers, the sample CD maker; the copy workers' tests under TSan) and Windows (unit tests and
# end-to-end tests of setup.exe under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh
status=0
ctest --preset native -j2 || status=1
# The copy workers under ThreadSanitizer (a separate build of the unit tests, a short run).
cmake --preset tsan -DPython3_EXECUTABLE="$(command -v /usr/bin/python3 || command -v python3)" > /dev/null
cmake --build --preset tsan > /dev/null
ctest --preset tsan || status=1
ctest --preset windows -j2 || status=1
exit $status
