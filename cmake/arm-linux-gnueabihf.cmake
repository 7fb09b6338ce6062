# 32-bit ARM with hardware floating point (Raspberry Pi OS 32-bit on a Pi 2 or later): Debian's
# crossbuild-essential-armhf and the armhf root.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(QUILLON_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUILLON_CROSS_ARCH armhf)
set(QUILLON_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# GCC notes that the ABI of some by-value arguments changed in GCC 7.1; every library here is built with
# a later one, so the notes are noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
