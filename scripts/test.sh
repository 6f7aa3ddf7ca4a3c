#!/bin/sh
# Installs the dependencies, builds korvan with warnings as errors and runs
# the whole test suite. KORVAN_SANITIZE=1 builds and tests a second time
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
JOBS=$(nproc)

build_and_test() {
  dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVAN_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
  (cd "$dir" && ctest --output-on-failure -j"$JOBS" --timeout 600)
}

build_and_test build
if [ "${KORVAN_SANITIZE:-0}" = "1" ]; then
  build_and_test build-sanitize -DKORVAN_SANITIZE=ON
fi
