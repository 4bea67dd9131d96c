# "make package": a Debian package of the programs with their manual pages,
# bash completion, desktop entry and documentation. The version is
# PROJECT_VERSION throughout.
include(GNUInstallDirs)

set(QUENLO_MAINTAINER "QUENLO maintainers <maintainers@users.noreply.c-seed-27ab7659.example>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

set(_pkg ${CMAKE_BINARY_DIR}/packaging)
set(_docdir ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})
find_program(QUENLO_GZIP gzip REQUIRED)

# Debian wants manual pages and the changelog compressed, without a time
# stamp in the gzip header (-n) so the package builds the same twice.
# Writes in.gz beside in.
function(quenlo_gzip in)
  add_custom_command(OUTPUT ${in}.gz
    COMMAND ${QUENLO_GZIP} -9nkf ${in}
    DEPENDS ${in} VERBATIM)
endfunction()

set(_compressed)
foreach(page quenlo quenlo-convert quenlo-scene)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/man/${page}.1 ${_pkg}/man/${page}.1 @ONLY)
  quenlo_gzip(${_pkg}/man/${page}.1)
  list(APPEND _compressed ${_pkg}/man/${page}.1.gz)
  install(FILES ${_pkg}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# A package with no Debian revision is a native one, whose changelog is
# changelog.gz. Dated when configured (SOURCE_DATE_EPOCH overrides it).
string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${_pkg}/changelog CONTENT
  "${PROJECT_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n -- ${QUENLO_MAINTAINER}  ${_date}\n")
quenlo_gzip(${_pkg}/changelog)
list(APPEND _compressed ${_pkg}/changelog.gz)
add_custom_target(quenlo_package_files ALL DEPENDS ${_compressed})

configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright ${_pkg}/copyright @ONLY)
install(FILES ${_pkg}/copyright ${_pkg}/changelog.gz ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${_docdir})
# Every package has its own copyright and changelog.
foreach(_component libquenlo0 libquenlo-dev python3-quenlo)
  install(FILES ${_pkg}/copyright ${_pkg}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_component}
          COMPONENT ${_component})
endforeach()
# The manual's pages, beside the README that links them.
file(GLOB _pages CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${_pages} DESTINATION ${_docdir}/docs)
# The pictures the README shows, where its relative links find them.
file(GLOB _pictures CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${_pictures} DESTINATION ${_docdir}/docs)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/bash-completion/quenlo-convert
              ${CMAKE_CURRENT_LIST_DIR}/bash-completion/quenlo-scene
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(CPACK_GENERATOR DEB)
# Four packages: the programs, the library, its development files and the
# Python module.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quenlo libquenlo0 libquenlo-dev python3-quenlo)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)
set(_exact "libquenlo0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_QUENLO_PACKAGE_NAME quenlo)
set(CPACK_DEBIAN_QUENLO_PACKAGE_DEPENDS "${_exact}")
set(CPACK_DEBIAN_LIBQUENLO0_PACKAGE_NAME libquenlo0)
set(CPACK_DEBIAN_LIBQUENLO0_PACKAGE_SECTION libs)
# ldconfig runs through dpkg's trigger, as Debian asks of every library.
# (CPack's own scripts call it as well, which lintian only warns of.)
configure_file(${CMAKE_CURRENT_LIST_DIR}/libquenlo0.triggers ${_pkg}/libquenlo0/triggers COPYONLY)
set(CPACK_DEBIAN_LIBQUENLO0_PACKAGE_CONTROL_EXTRA ${_pkg}/libquenlo0/triggers)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/libquenlo0.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME libquenlo0 COMPONENT libquenlo0)
set(CPACK_DEBIAN_LIBQUENLO0_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_LIBQUENLO-DEV_PACKAGE_NAME libquenlo-dev)
set(CPACK_DEBIAN_LIBQUENLO-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBQUENLO-DEV_PACKAGE_DEPENDS "${_exact}")
set(CPACK_DEBIAN_LIBQUENLO-DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON3-QUENLO_PACKAGE_NAME python3-quenlo)
set(CPACK_DEBIAN_PYTHON3-QUENLO_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON3-QUENLO_PACKAGE_DEPENDS "${_exact}, python3 (>= 3.11), python3 (<< 3.12), python3-numpy")
# The library's shlibs file, so that packages built against it depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps finds our own library in the build tree, not in a package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_COMPONENT_LIBQUENLO0_DESCRIPTION "QUENLO's image and scene library
libquenlo reads .ipr/.rgb raw pairs, .bmp, .jpg, .png and .tif files exactly,
writes .bmp, .png and .tif files, converts batches of files with the
converter's plan and rules, and renders scene scripts.")
set(CPACK_COMPONENT_LIBQUENLO-DEV_DESCRIPTION "QUENLO's image and scene library: development files
The headers of libquenlo, its CMake package (find_package(Quenlo) gives
Quenlo::quenlo) and its pkg-config file (quenlo.pc).")
set(CPACK_COMPONENT_PYTHON3-QUENLO_DESCRIPTION "QUENLO's image and scene library for Python 3
The module quenlo reads images into numpy arrays and writes them,
converts batches of files with the converter's rules, and renders
scene scripts to arrays.")
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUENLO_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Directories CPack makes itself would otherwise follow the umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENT_QUENLO_DESCRIPTION "batch converter of raw images into 24-bit BMP files
QUENLO converts raw raster images (a small .ipr text file with the size
and a headerless .rgb file of 8-bit red, green and blue rows) into 24-bit
Windows bitmap files, in batches. It also reads .bmp files of every
standard kind and .jpg files, and every output is exact to the bit.
.
The package holds the window, quenlo, which shows each image as it goes;
the same conversion as a command-line tool, quenlo-convert; and
quenlo-scene, which renders scripts of the 2D scene library that the
window is built on.")
include(CPack)

if(QUENLO_TESTS)
  # Builds the package from what is built, unpacks it and runs it.
  set(_why "")
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    set(_why "a sanitizer build is not a build to ship; the release build checks the package")
  elseif(NOT TARGET quenlo OR NOT TARGET quenlo-scene)
    set(_why "the package needs the window (QUENLO_GUI)")
  endif()
  add_test(NAME package
    COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/package/package_test.py
      --cpack ${CMAKE_CPACK_COMMAND} --build ${CMAKE_BINARY_DIR} --source ${CMAKE_SOURCE_DIR}
      --version ${PROJECT_VERSION} --skip-because "${_why}")
  set_tests_properties(package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()

# The hot folder as a systemd user unit.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/systemd/quenlo-watch@.service DESTINATION lib/systemd/user)
if(QUENLO_TESTS)
  add_test(NAME watch-unit
    COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/package/unit_test.py
      --unit ${CMAKE_CURRENT_LIST_DIR}/systemd/quenlo-watch@.service --bin ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(watch-unit PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
