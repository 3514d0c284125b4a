#!/usr/bin/env bash
# Runs the pytest file that hands the native modules misaligned, strided and
# big-endian arrays (and races and interrupts them) against a build of the
# modules with AddressSanitizer + UndefinedBehaviorSanitizer, so that a
# misaligned or out-of-bounds read aborts the run instead of passing unseen.
# The modules are built apart (build/sanitize) and staged with the Python
# package; the installed package is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}
BUILD=build/sanitize

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRT_SANITIZE=ON \
  -DMIRT_BUILD_PYTHON=ON -DMIRT_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
  -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$BUILD" -j "$JOBS"

STAGE="$BUILD/stage"
rm -rf "$STAGE"
mkdir -p "$STAGE"
cp -r src/mirt "$STAGE/"
cp "$BUILD"/lowpatch*.so "$STAGE/mirt/diagnoser/"
cp "$BUILD"/_native*.so "$STAGE/mirt/"
cp "$BUILD"/xgboost*.so "$STAGE/mirt/models/xgb2/"

# The interpreter is not instrumented: the sanitizer runtimes are preloaded,
# and leak checks (the interpreter keeps much alive at exit) are off.
RUNTIMES="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$RUNTIMES" ASAN_OPTIONS=detect_leaks=0:alloc_dealloc_mismatch=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH="$STAGE" MPLBACKEND=Agg \
  "$PYTHON" -m pytest -q -p no:cacheprovider tests/test_robustness.py
