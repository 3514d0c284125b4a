#!/usr/bin/env bash
# Sets up what the tests need and runs all of them: the native core's
# GoogleTest suite (plain, then under AddressSanitizer + UBSan) through ctest,
# and the Python suite through pytest against the installed package.
#
# GoogleTest is installed from Debian's packages when it is missing, which
# needs root or sudo; without either, the GoogleTest step is skipped with a
# note and the rest runs. An installed build of the same sources (the demo's,
# say) is tested as it is; otherwise the package is built again, recompiling
# only what changed since the last build of this script.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
# Parallel compile jobs of every native build, the package's included.
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
export CMAKE_BUILD_PARALLEL_LEVEL=$JOBS

have_gtest() { [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; }

# Prints the command prefix that runs apt-get as root, or fails when there is
# none: not root, and sudo absent or asking for a password nobody can type.
root_prefix() {
  if [ "$(id -u)" -eq 0 ]; then
    echo ""
  elif command -v sudo >/dev/null 2>&1 && { sudo -n true 2>/dev/null || [ -t 0 ]; }; then
    echo "sudo"
  else
    return 1
  fi
}

# GoogleTest comes from Debian's packages; nothing is fetched from elsewhere.
if ! have_gtest && command -v apt-get >/dev/null 2>&1 && prefix=$(root_prefix); then
  echo "== installing GoogleTest (libgtest-dev)"
  $prefix apt-get update -qq
  $prefix env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev g++ >/dev/null
fi
if ! cmake --version >/dev/null 2>&1 || ! ninja --version >/dev/null 2>&1; then
  "$PYTHON" -m pip install -q cmake ninja
  # Their commands land beside the interpreter, which need not be on PATH.
  PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
fi

echo "== installing mirt with its test dependencies and the Dask extra"
# The build requirements of pyproject.toml's [build-system]: a build without
# isolation and the sanitizer build of the modules both need them here.
"$PYTHON" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0"
installed=$("$PYTHON" tools/source_digest.py --installed)
current=$("$PYTHON" tools/source_digest.py)
if [ -n "$installed" ] && [ "$installed" = "$current" ]; then
  echo "   the installed build was made from these sources: testing it as it is"
  "$PYTHON" -m pip install -q "mirt[test,dask]"
else
  # Without build isolation the build directory set in pyproject.toml is kept
  # from one run to the next (an isolated build starts from an empty one), so
  # only what changed is compiled again. The build requirements must then be
  # installed here: those of pyproject.toml's [build-system], installed above.
  "$PYTHON" -m pip install -q --no-build-isolation ".[test,dask]"
fi

if have_gtest; then
  echo "== native core: GoogleTest"
  cmake -S . -B build/ctest -G Ninja -DMIRT_BUILD_PYTHON=OFF -DMIRT_BUILD_TESTS=ON >/dev/null
  cmake --build build/ctest -j "$JOBS"
  ctest --test-dir build/ctest --output-on-failure

  echo "== native core: GoogleTest under AddressSanitizer + UndefinedBehaviorSanitizer"
  cmake -S . -B build/ctest-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMIRT_BUILD_PYTHON=OFF \
    -DMIRT_BUILD_TESTS=ON -DMIRT_SANITIZE=ON >/dev/null
  cmake --build build/ctest-asan -j "$JOBS"
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/ctest-asan --output-on-failure
else
  echo "== native core: GoogleTest SKIPPED: GoogleTest is not installed, and installing it"
  echo "   needs root or sudo. Install it with 'sudo apt-get install libgtest-dev' (on Debian"
  echo "   or Ubuntu; elsewhere, your system's GoogleTest package) and run this again."
fi

echo "== Python: the robustness tests against modules built with ASan + UBSan"
PYTHON="$PYTHON" JOBS="$JOBS" bash tools/sanitize_pytest.sh

echo "== Python: pytest"
# Run from the repository root: the package is imported from site-packages
# (it lives under src/, which is not on the path), so the installed build is tested.
MPLBACKEND=Agg "$PYTHON" -m pytest -q "$@"
