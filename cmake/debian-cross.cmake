# Cross build for Linux on ARM with Debian's cross compilers, included by the
# toolchain file of each target after it names the target:
#   QUILLFIND_CROSS_TRIPLET   the GNU triplet (aarch64-linux-gnu)
#   CMAKE_SYSTEM_PROCESSOR    as uname -m would say (aarch64)
#   QUILLFIND_QEMU_NAME       Debian's qemu-user program for it (qemu-aarch64)
#   QUILLFIND_DEB_ARCH        the Debian architecture of its package (arm64)
#   QUILLFIND_DYNAMIC_LOADER  the dynamic loader its programs name
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${QUILLFIND_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUILLFIND_CROSS_TRIPLET}-g++)

# The cross packages put the target's C library, libstdc++ and headers there.
set(QUILLFIND_CROSS_SYSROOT /usr/${QUILLFIND_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${QUILLFIND_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under qemu-user with the target's own runtime
# packages (libc6:arm64 and the like), which multiarch installs where the
# programs look for them, so that the tests run against the libraries the
# package depends on. Not with -L and the cross sysroot: its dynamic loader
# is of another build of glibc than the multiarch libc.so.6 that the host's
# ld.so.cache then hands it, and the first thread started hangs. Without
# either the tests cannot run: tests/CMakeLists.txt says so.
find_program(QUILLFIND_QEMU ${QUILLFIND_QEMU_NAME})
if(QUILLFIND_QEMU AND EXISTS ${QUILLFIND_DYNAMIC_LOADER})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLFIND_QEMU})
endif()
