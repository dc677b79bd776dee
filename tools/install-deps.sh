#!/usr/bin/env bash
# Installs what building and testing quillfind needs on Debian 12, skipping
# what is already there.
#   install-deps.sh [native|all]
# native: the native build and tools/demo.sh; all (the default): every preset
# and every test, which adds the Windows and ARM cross compilers, Wine,
# qemu-user, clang for the fuzzers, valgrind and the packaging tools.
set -euo pipefail

native=(cmake ninja-build g++ libgtest-dev libgmock-dev)
all=("${native[@]}" googletest g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
     clang libclang-rt-14-dev valgrind python3 zip unzip man-db dpkg-dev file
     g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user)
# The target's own runtime packages, which multiarch installs beside the
# host's: the ARM programs run on them under qemu-user (see
# cmake/debian-cross.cmake), and their packages take their dependencies from
# those packages' symbols files (see packaging/cpack-project.cmake).
for arch in arm64 armhf; do
    all+=("libc6:$arch" "libgcc-s1:$arch" "libstdc++6:$arch")
done
case ${1:-all} in
    native) packages=("${native[@]}") ;;
    all) packages=("${all[@]}") ;;
    *)
        echo "usage: $0 [native|all]" >&2
        exit 2
        ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
    for package in "${missing[@]}"; do
        if [[ $package == *:* ]] && ! dpkg --print-foreign-architectures | grep -qx "${package#*:}"; then
            "${sudo_cmd[@]}" dpkg --add-architecture "${package#*:}"
        fi
    done
    "${sudo_cmd[@]}" apt-get update -qq
    # wine64 recommends wine32, meant for i386; with armhf added, apt would
    # take wine32:armhf, whose loader cannot run here (Exec format error).
    # The trailing - keeps it out.
    unwanted=()
    if dpkg --print-foreign-architectures | grep -qx armhf; then unwanted=(wine32:armhf-); fi
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" "${unwanted[@]}" >/dev/null
fi
