# Run by cpack for each package it makes. Without dpkg-shlibdeps CPack's
# Debian generator leaves the Depends field out and still makes the package.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(QUILLFIND_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT QUILLFIND_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "The Debian package needs dpkg-shlibdeps to find its dependencies; "
                        "install it with: apt install dpkg-dev")
  endif()
endif()
# A cross build's package takes its dependencies from the symbols files of
# the target's own runtime packages (libc6:arm64 and the like), installed
# beside the host's through multiarch: those give the least version each
# symbol needs, where the cross compiler's copies of the libraries
# (libc6-arm64-cross) have only shlibs files, which name a foreign package
# at the newest version.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE quillfind_host_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT quillfind_host_arch STREQUAL CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    foreach(quillfind_runtime libc6 libgcc-s1 libstdc++6)
      set(quillfind_runtime ${quillfind_runtime}:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
      execute_process(COMMAND dpkg-query -W -f=\${Status} ${quillfind_runtime}
                      OUTPUT_VARIABLE quillfind_status ERROR_QUIET)
      if(NOT quillfind_status STREQUAL "install ok installed")
        message(FATAL_ERROR "The ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} package needs ${quillfind_runtime} "
                            "for its dependencies; tools/install-deps.sh all installs it")
      endif()
    endforeach()
  endif()
endif()
