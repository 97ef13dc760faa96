#!/usr/bin/env bash
# The core, its C++ unit tests and the extension module built for 64-bit ARM Linux with Debian's
# cross compiler, from the same CMakeLists.txt as pip install; the unit tests run under
# qemu-aarch64, the golden sweep digests included, so ARM must give the bits x86-64 gives. (The
# module is linked, not loaded: it is built against this interpreter's Python and NumPy headers,
# which are the same for both processors.) Installs the cross compiler, QEMU and GoogleTest's
# sources with apt when they are missing. Extra arguments go to the unit test program.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
sysroot=/usr/aarch64-linux-gnu
toolchain=$PWD/cmake/aarch64-linux-gnu.cmake
build=$PWD/build/aarch64

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(libgtest-dev)  # GoogleTest's sources
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "scripts/test-aarch64.sh: missing ${missing[*]}; install them (as root: apt-get install ${missing[*]}) and rerun" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# CMake and Ninja from PyPI into the active environment when either is missing, as in test.sh.
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  "$python" -m pip install -q --disable-pip-version-check cmake ninja
  PATH="$("$python" -c 'import cmake, ninja; print(cmake.CMAKE_BIN_DIR + ":" + ninja.BIN_DIR)'):$PATH"
fi

# GoogleTest for ARM, from Debian's sources, installed into the build tree.
if [ ! -f "$build/googletest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -Wno-deprecated -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$build/googletest/install" >/dev/null
  cmake --build "$build/googletest" --target install >/dev/null
fi

# NumPy's headers for the module, as pip install gets them when it builds.
"$python" -c 'import numpy' 2>/dev/null || "$python" -m pip install -q --disable-pip-version-check numpy
cmake -S . -B "$build/quarnel" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUARNEL_BUILD_UNIT_TESTS=ON \
      -DGTest_DIR="$build/googletest/install/lib/cmake/GTest" -DPython_EXECUTABLE="$(command -v "$python")" \
      -DPython_INCLUDE_DIR="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" >/dev/null
cmake --build "$build/quarnel" --target quarnel_unit_tests quarnel
qemu-aarch64 -L "$sysroot" "$build/quarnel/quarnel_unit_tests" --gtest_brief=1 "$@"
