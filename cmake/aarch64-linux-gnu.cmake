# 64-bit ARM Linux (Raspberry Pi OS 64-bit, other arm64 boards).
set(QUILLFIND_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUILLFIND_QEMU_NAME qemu-aarch64)
set(QUILLFIND_DEB_ARCH arm64)
set(QUILLFIND_DYNAMIC_LOADER /lib/ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
