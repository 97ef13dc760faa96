#!/usr/bin/env bash
# Installs what the tests need, then builds and runs the C++ unit tests and the Python suite.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi

"$python" -m pip install -q --disable-pip-version-check '.[test]'

cmake -S . -B build/unit -G Ninja -DQUARNEL_BUILD_UNIT_TESTS=ON \
      -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build build/unit --target quarnel_unit_tests
./build/unit/quarnel_unit_tests --gtest_brief=1

# Run from the tests folder so that the installed module is the one imported.
"$python" -m pytest -q -p no:cacheprovider "$@"
