# Run by cpack for each package it makes. Without dpkg-shlibdeps CPack's
# Debian generator leaves the Depends field out and still makes the package.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(QUILLFIND_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT QUILLFIND_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "The Debian package needs dpkg-shlibdeps to find its dependencies; "
                        "install it with: apt install dpkg-dev")
  endif()
endif()
