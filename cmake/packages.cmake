# Packages made by cpack: a Debian package on Linux, a .zip on Windows.
set(CPACK_PACKAGE_NAME kexo)
set(CPACK_PACKAGE_VENDOR "kexo")
set(CPACK_PACKAGE_CONTACT "kexo developers <kexo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compacts PHP source files and trees for deployment")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION "kexo drops the // comments outside quoted literals, joins CR LF\n\
lines, trims the end, sets the final ?> on its own line and can put a\n\
one-line notice in front of the code. kexo-arbol does so over a whole\n\
tree in parallel, leaving unchanged each PHP file whose program would change.")
  # The program is linked statically unless sanitized; otherwise ask dpkg.
  if(NOT KEXO_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()
include(CPack)
