#!/usr/bin/env bash
# Installs what the tests need, then builds and runs the C++ unit tests and the Python suite.
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
./build/unit/quarnel_unit_tests --gtest_brief=1

# Run from the tests folder so that the installed module is the one imported.
"$python" -m pytest -q -p no:cacheprovider "$@"
