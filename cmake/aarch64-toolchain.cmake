# Cross-compiling for aarch64 Linux on a Debian host (scripts/arm64.sh):
# Debian's cross compilers (crossbuild-essential-arm64) and the arm64 builds
# of the -dev packages, installed side by side with the host's through
# multiarch (/usr/lib/aarch64-linux-gnu, /usr/include/aarch64-linux-gnu).
# Programs that run during the build (protoc-c) are the host's; target
# programs (gtest discovery, ctest) run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The target's libraries and CMake package files come from the multiarch
# directory only; headers from /usr/include work for both (the arm64-only
# ones live in /usr/include/aarch64-linux-gnu, which the cross compiler
# searches first). Programs are looked up on the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must see the arm64 .pc files and none of the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The loader and C/C++ runtime of the cross toolchain live under
# /usr/aarch64-linux-gnu; qemu looks there first and falls back to the
# plain path for the multiarch libraries. The C library must come from the
# same place as the loader: the multiarch libc6:arm64 that the -dev packages
# pull in is another build, whose private loader data differs, and a program
# paired with it hangs in its first pthread_create. LD_LIBRARY_PATH puts the
# cross toolchain's directory ahead of the loader cache.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
