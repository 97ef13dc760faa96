#!/usr/bin/env bash
# Installs what the tests need, then builds and runs the C++ unit tests (under every build of the
# kernels this processor runs) and the Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "scripts/test.sh: GoogleTest is missing; install libgtest-dev (as root: apt-get install libgtest-dev) and rerun" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi

# CMake and Ninja from PyPI into the active environment when either is missing (as the build
# itself gets them), run from where those packages keep them.
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  "$python" -m pip install -q --disable-pip-version-check cmake ninja
  PATH="$("$python" -c 'import cmake, ninja; print(cmake.CMAKE_BIN_DIR + ":" + ninja.BIN_DIR)'):$PATH"
fi

"$python" -m pip install -q --disable-pip-version-check '.[test]'

cmake -S . -B build/unit -G Ninja -DQUARNEL_BUILD_UNIT_TESTS=ON \
      -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build build/unit --target quarnel_unit_tests

# The kernels are compiled once per instruction set: code of theirs outside their build's
# namespace (an inline function compiled out of line) could be the one the linker keeps for
# every build, and stop the others with an illegal instruction.
strays=$(nm -C --defined-only build/unit/CMakeFiles/quarnel_kernels_*.dir/src/core/kernels/*.o |
         awk '$2 ~ /^[TWi]$/ && !/quarnel::kernels_/')
if [ -n "$strays" ]; then
  echo "scripts/test.sh: kernel code outside its build's namespace:" >&2
  echo "$strays" >&2
  exit 1
fi

# Every build of the kernels this processor runs (or the one QUARNEL_INSTRUCTION_SET names):
# the unit tests and the seeded sweeps' golden values under each.
builds=${QUARNEL_INSTRUCTION_SET:-$("$python" -c 'import quarnel; print(*quarnel._pool_info()["instruction_sets"])')}
for build in $builds; do
  echo "the $build build:"
  QUARNEL_INSTRUCTION_SET=$build ./build/unit/quarnel_unit_tests --gtest_brief=1
  QUARNEL_INSTRUCTION_SET=$build "$python" -m pytest -q -p no:cacheprovider tests/test_golden.py
done

# Run from the tests folder so that the installed module is the one imported.
"$python" -m pytest -q -p no:cacheprovider "$@"
