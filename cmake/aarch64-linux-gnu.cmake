# 64-bit ARM (Raspberry Pi 3, 4 and 5, Jetson): Debian's crossbuild-essential-arm64 and the arm64 root.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUILLON_CROSS_TRIPLET aarch64-linux-gnu)
set(QUILLON_CROSS_ARCH arm64)
set(QUILLON_CROSS_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
