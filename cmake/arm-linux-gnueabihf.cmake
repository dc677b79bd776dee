# 32-bit ARM Linux with hardware floating point (Raspberry Pi OS 32-bit).
set(QUILLFIND_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(QUILLFIND_QEMU_NAME qemu-arm)
set(QUILLFIND_DEB_ARCH armhf)
set(QUILLFIND_DYNAMIC_LOADER /lib/ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
