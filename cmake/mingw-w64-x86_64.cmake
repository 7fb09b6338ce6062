# Cross-building Quillon for 64-bit Windows with Debian's mingw-w64 (the posix thread model, so std::thread
# works). Everything is linked statically: a program that needs libwinpthread-1.dll at run time fails
# silently on a PC that lacks it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLON_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLON_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLON_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLON_MINGW_PREFIX}-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)

# Libraries cross-built by scripts/windows-deps (libjpeg-turbo, googletest) live in this folder.
if(NOT QUILLON_WIN64_DEPS)
    if(DEFINED ENV{QUILLON_WIN64_DEPS})
        set(QUILLON_WIN64_DEPS "$ENV{QUILLON_WIN64_DEPS}")
    elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
        set(QUILLON_WIN64_DEPS "$ENV{XDG_CACHE_HOME}/quillon-win64")
    else()
        set(QUILLON_WIN64_DEPS "$ENV{HOME}/.cache/quillon-win64")
    endif()
endif()
set(QUILLON_WIN64_DEPS "${QUILLON_WIN64_DEPS}" CACHE PATH "Cross-built Windows libraries")
# try_compile projects see the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLON_WIN64_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_MINGW_PREFIX} ${QUILLON_WIN64_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# No CMAKE_CROSSCOMPILING_EMULATOR: a program run under Wine at build time would make a Wine prefix in
# the home folder. The tests run under Wine from the Linux tree instead (tests/windows).
