# Cross-building for a Debian (or Raspberry Pi OS) ARM board with Debian's cross compiler, against a
# target root that scripts/cross-root unpacks into a cache folder. The including toolchain file sets
# QUILLON_CROSS_TRIPLET, QUILLON_CROSS_ARCH (the Debian architecture) and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
# Cached, so that the Linux tree that runs this tree's package (tests/arm64) reads them.
set(QUILLON_CROSS_ARCH ${QUILLON_CROSS_ARCH} CACHE INTERNAL "The Debian architecture built for")
set(QUILLON_CROSS_QEMU ${QUILLON_CROSS_QEMU} CACHE INTERNAL "The user-mode emulator of that architecture")
set(CMAKE_C_COMPILER ${QUILLON_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUILLON_CROSS_TRIPLET}-g++)

if(NOT QUILLON_CROSS_ROOT)
    if(DEFINED ENV{QUILLON_CROSS_CACHE} AND NOT "$ENV{QUILLON_CROSS_CACHE}" STREQUAL "")
        set(QUILLON_CROSS_ROOT "$ENV{QUILLON_CROSS_CACHE}/root")
    elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
        set(QUILLON_CROSS_ROOT "$ENV{XDG_CACHE_HOME}/quillon-${QUILLON_CROSS_ARCH}/root")
    else()
        set(QUILLON_CROSS_ROOT "$ENV{HOME}/.cache/quillon-${QUILLON_CROSS_ARCH}/root")
    endif()
endif()
set(QUILLON_CROSS_ROOT "${QUILLON_CROSS_ROOT}" CACHE PATH "The target root (scripts/cross-root)")
if(NOT EXISTS "${QUILLON_CROSS_ROOT}/usr/lib/${QUILLON_CROSS_TRIPLET}")
    message(FATAL_ERROR "No ${QUILLON_CROSS_ARCH} root at ${QUILLON_CROSS_ROOT}: run scripts/cross-root "
        "${QUILLON_CROSS_ARCH} first (scripts/build-arm64 does)")
endif()
# try_compile projects see the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLON_CROSS_ROOT QUILLON_CROSS_TRIPLET QUILLON_CROSS_ARCH)

set(CMAKE_SYSROOT "${QUILLON_CROSS_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${QUILLON_CROSS_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The host's pkg-config reads the target's .pc files and puts the root before their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QUILLON_CROSS_ROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${QUILLON_CROSS_ROOT}/usr/lib/${QUILLON_CROSS_TRIPLET}/pkgconfig:${QUILLON_CROSS_ROOT}/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# The target's programs (the unit tests, their discovery) run under user-mode emulation with the root's
# libraries. GStreamer must not fork its plugin scanner: there is no binfmt entry to start an ARM program.
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLON_CROSS_QEMU} -L ${QUILLON_CROSS_ROOT})
set(QUILLON_CROSS_ENVIRONMENT GST_REGISTRY_FORK=no)
