# Debian keeps libraries in the architecture's own folder, as its packages do.
find_program(QUENLO_DPKG_ARCHITECTURE dpkg-architecture)
if(QUENLO_DPKG_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  execute_process(COMMAND ${QUENLO_DPKG_ARCHITECTURE} -qDEB_HOST_MULTIARCH
                  OUTPUT_VARIABLE _multiarch OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_multiarch)
    set(CMAKE_INSTALL_LIBDIR lib/${_multiarch} CACHE PATH "Object code libraries")
  endif()
endif()
include(GNUInstallDirs)
