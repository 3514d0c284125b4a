#!/usr/bin/env bash
# Sets up what the tests need and runs all of them: the native core's
# GoogleTest suite (plain, then under AddressSanitizer + UBSan) through ctest,
# and the Python suite through pytest against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# GoogleTest comes from Debian's packages; nothing is fetched from elsewhere.
if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest (libgtest-dev)"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev g++ >/dev/null
fi
if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
  "$PYTHON" -m pip install -q cmake ninja
fi

echo "== installing mirt with its test dependencies"
"$PYTHON" -m pip install -q ".[test]"

echo "== native core: GoogleTest"
cmake -S . -B build/ctest -G Ninja -DMIRT_BUILD_PYTHON=OFF -DMIRT_BUILD_TESTS=ON >/dev/null
cmake --build build/ctest -j "$JOBS"
ctest --test-dir build/ctest --output-on-failure

echo "== native core: GoogleTest under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/ctest-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMIRT_BUILD_PYTHON=OFF \
  -DMIRT_BUILD_TESTS=ON -DMIRT_SANITIZE=ON >/dev/null
cmake --build build/ctest-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/ctest-asan --output-on-failure

echo "== Python: the robustness tests against modules built with ASan + UBSan"
PYTHON="$PYTHON" JOBS="$JOBS" bash tools/sanitize_pytest.sh

echo "== Python: pytest"
# Run from the repository root: the package is imported from site-packages
# (it lives under src/, which is not on the path), so the installed build is tested.
MPLBACKEND=Agg "$PYTHON" -m pytest -q "$@"
