# Cross-compiling for 64-bit ARM Linux with Debian's cross compilers (g++-aarch64-linux-gnu).
# The programs built run here under qemu-aarch64, with the ARM C and C++ libraries of the cross
# toolchain (scripts/test-aarch64.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries, headers and packages from the ARM tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GoogleTest lists a test program's tests by running it.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)

# GCC's notes that an ABI changed in version 10 (pairs of doubles passed by value) concern
# code built by older compilers, of which there is none here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
