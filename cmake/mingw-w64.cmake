# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads).
#
# The -posix compilers are named on purpose: with GCC 12 only their
# libstdc++ has std::thread and std::mutex; the -win32 variant has neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLFIND_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLFIND_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLFIND_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLFIND_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLFIND_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static libgcc, libstdc++ and winpthread leave the programs importing only
# system DLLs (KERNEL32, msvcrt, SETUPAPI, ADVAPI32), so they run on a bare Windows and under
# Wine without copying runtime DLLs next to them. -s keeps symbols out of the
# shipped file.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")

# Programs built here run under Wine, in a prefix inside the build tree,
# through the script that keeps that prefix headless and free of the host's
# serial devices. CMAKE_BINARY_DIR is the build tree of the project even in
# this file, which CMake reads while configuring it.
get_filename_component(QUILLFIND_WINE_ENV ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-env.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLFIND_WINE_ENV} run ${CMAKE_BINARY_DIR}/wineprefix)
