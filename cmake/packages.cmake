# Packages made by cpack: a Debian package on Linux, a .zip on Windows.
set(CPACK_PACKAGE_NAME kexo)
set(CPACK_PACKAGE_VENDOR "kexo")
# Whoever builds the package names themselves here; the default is a
# placeholder at a reserved domain, which lintian accepts as an address.
set(KEXO_MAINTAINER "kexo developers <kexo@example.org>" CACHE STRING
    "Maintainer of the Debian package: Name <address>")
set(CPACK_PACKAGE_CONTACT "${KEXO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KEXO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compacts PHP source files and trees for deployment")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # One package with the programs, the man pages and what only the package holds.
  set(CPACK_COMPONENTS_ALL Unspecified paquete)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGE_DESCRIPTION "kexo drops the // comments outside quoted literals, joins CR LF\n\
lines, trims the end, moves a final ?> onto a line of its own and can\n\
put a one-line notice in front of the code. kexo-arbol does so over a whole\n\
tree in parallel, leaving unchanged each PHP file whose program would change.")
  # cpack strips the programs as install -s does; Debian's packages also
  # leave out the compiler's .comment and .note sections.
  set(CPACK_KEXO_STRIP "${CMAKE_STRIP}")
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/strip-sections.cmake)
  # The program is linked statically unless sanitized; otherwise ask dpkg.
  if(NOT KEXO_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()
include(CPack)
