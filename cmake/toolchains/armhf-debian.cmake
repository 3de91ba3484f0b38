# 32-bit ARM hard-float Linux (armhf) with Debian's cross toolchain and the
# armhf -dev packages installed beside the native ones through multiarch:
#   scripts/install-deps.sh --armhf
# Test programs run under qemu's user-mode emulator, so ctest and
# gtest_discover_tests work as in a native build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(VOKA_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${VOKA_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VOKA_TARGET_TRIPLET}-g++)

# Multiarch: the armhf libraries and their CMake package files live under
# /usr/lib/arm-linux-gnueabihf. Naming the architecture makes find_package and
# find_library look there instead of in the native x86_64 folders.
set(CMAKE_LIBRARY_ARCHITECTURE ${VOKA_TARGET_TRIPLET})
# Libraries, headers and packages: in the cross compiler's own folder and in
# the system's, where the architecture above picks the armhf ones. Programs
# (pkg-config, qemu-arm, strip) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${VOKA_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the target: armhf .pc files and the shared ones only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VOKA_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# No -L prefix: the loader and every library come from the armhf runtime that
# multiarch installs (libc6:armhf and the rest), as on a Debian armhf device.
# Prefixing the cross compiler's own copy of the loader pairs it with the
# multiarch libc, a different build of glibc, and thread start-up crashes.
find_program(VOKA_QEMU_ARM qemu-arm)
if(VOKA_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VOKA_QEMU_ARM})
else()
  message(WARNING "qemu-arm not found (scripts/install-deps.sh --armhf): armhf test programs cannot run here")
endif()
