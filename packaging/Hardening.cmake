# Release programs are built as the distribution builds its packages: the
# hardening flags dpkg-buildflags gives with every feature on (fortified
# functions, stack protector, read-only relocations bound at start, and
# position-independent executables), with the optimisation and debug flags
# left to CMake. Sanitizer builds keep their own.
option(QUENLO_HARDENING "Build release programs with the distribution's hardening flags" ON)

if(QUENLO_HARDENING AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
   AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  # What dpkg-buildflags gives on Debian 12 (amd64), where it is missing.
  set(_cpp "-D_FORTIFY_SOURCE=2")
  set(_cxx "-fstack-protector-strong -Wformat -Werror=format-security")
  set(_ld "-Wl,-z,relro -Wl,-z,now")
  find_program(QUENLO_DPKG_BUILDFLAGS dpkg-buildflags)
  if(QUENLO_DPKG_BUILDFLAGS)
    foreach(_kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                              ${QUENLO_DPKG_BUILDFLAGS} --get ${_kind}
                      OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE)
      # Only the hardening flags: -g, -O2 and the prefix maps are CMake's business.
      separate_arguments(_flags UNIX_COMMAND "${_flags}")
      list(FILTER _flags INCLUDE REGEX "^(-D_FORTIFY_SOURCE|-fstack-|-fcf-protection|-Wformat|-Werror=format|-Wl,-z,|-f?pie$|-fPIE$|-mbranch-protection)")
      list(JOIN _flags " " _flags)
      if(_kind STREQUAL CPPFLAGS)
        set(_cpp "${_flags}")
      elseif(_kind STREQUAL CXXFLAGS)
        set(_cxx "${_flags}")
      else()
        set(_ld "${_flags}")
      endif()
    endforeach()
  endif()
  separate_arguments(_cpp UNIX_COMMAND "${_cpp}")
  separate_arguments(_cxx UNIX_COMMAND "${_cxx}")
  separate_arguments(_ld UNIX_COMMAND "${_ld}")
  add_compile_options(${_cpp} ${_cxx})
  add_link_options(${_ld})
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  message(STATUS "Hardening: ${_cpp} ${_cxx} ${_ld} PIE")
endif()
