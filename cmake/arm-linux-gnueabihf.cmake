# Cross build for the router's processor, 32-bit ARM with hard float, using Debian's cross
# compiler and the armhf builds of the libraries (dpkg architecture armhf). The programs and tests
# run on this machine under user-mode emulation:
#   cmake -S . -B build-router -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Multiarch: packages, CMake package files and pkg-config files live under lib/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# ctest runs the test programs through the emulator; programs that exec other ARM programs by path
# (the sandboxed tests, the daemon) rely on the emulator's binfmt_misc registration instead. Both
# load the armhf runtime (/lib/ld-linux-armhf.so.3, /usr/lib/arm-linux-gnueabihf). Never point the
# emulator at /usr/arm-linux-gnueabihf (QEMU_LD_PREFIX, -L): the loader there comes from another
# glibc build than the armhf libc.so.6 it then loads, and every forked child dies of SIGSEGV.
find_program(VORN_QEMU_ARM qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VORN_QEMU_ARM})
