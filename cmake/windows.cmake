# The Windows programs, cross-compiled with MinGW-w64 when it is installed
# (Debian: g++-mingw-w64-x86-64, g++-mingw-w64-i686): the 64-bit one is run by
# the end-to-end tests under Wine (Debian: wine64) with Windows expectations;
# the 32-bit one, for the console the tool was written for, is only built,
# since this machine cannot run 32-bit programs.
include(ExternalProject)

set(KEXO_WINE_TIMEOUT 120 CACHE STRING "Seconds allowed to prepare the Wine prefix")

function(kexo_windows arch)
  ExternalProject_Add(kexo_${arch}
    SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/windows-${arch}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_SOURCE_DIR}/cmake/mingw-w64.cmake
               -DKEXO_WINDOWS_ARCH=${arch} -DKEXO_TESTS=OFF -DKEXO_TRACE=ON
               -DCMAKE_BUILD_TYPE=Release
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
endfunction()

find_program(KEXO_MINGW64 x86_64-w64-mingw32-g++-posix)
find_program(KEXO_MINGW32 i686-w64-mingw32-g++-posix)
find_program(KEXO_WINE NAMES wine wine64)

if(KEXO_MINGW32)
  kexo_windows(i686)
endif()
if(NOT KEXO_MINGW64 OR NOT KEXO_WINE)
  add_test(NAME wine_e2e COMMAND sh -c
           "echo 'skipped: needs MinGW-w64 and Wine (apt-get install g++-mingw-w64-x86-64 wine64)'; exit 77")
  set_tests_properties(wine_e2e PROPERTIES SKIP_RETURN_CODE 77)
  return()
endif()

kexo_windows(x86_64)
set(KEXO_EXE ${CMAKE_CURRENT_BINARY_DIR}/windows-x86_64)
# The end-to-end tests again, against kexo.exe.
add_executable(kexo_tests_wine tests/cli_test.cc tests/casos_test.cc tests/proceso.cc)
target_include_directories(kexo_tests_wine PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kexo_tests_wine PRIVATE GTest::gtest_main)
target_compile_definitions(kexo_tests_wine PRIVATE
  KEXO_WINE="${KEXO_WINE}" KEXO_BINARIO="${KEXO_EXE}/kexo.exe"
  KEXO_BINARIO_TRAZA="${KEXO_EXE}/kexo_traza.exe" KEXO_BINARIO_ARBOL="${KEXO_EXE}/kexo-arbol.exe"
  KEXO_CASOS="${CMAKE_CURRENT_SOURCE_DIR}/tests/cli" KEXO_FUENTES="${CMAKE_CURRENT_SOURCE_DIR}")
add_dependencies(kexo_tests_wine kexo_x86_64)

# One quiet Wine prefix for all the cases, its server kept up between them.
set(KEXO_WINE_ENV WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wineprefix WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=")
# A persistent server first (it needs the prefix's folder), then the prefix;
# neither may hold the test's output open, or the test would wait for them.
# wineboot reports its 32-bit parts missing where only wine64 is installed:
# they are not needed here, and the cases themselves show whether Wine works.
add_test(NAME wine_prepara COMMAND sh -c
         "mkdir -p \"$WINEPREFIX\" && (wineserver -k; wineserver -p) </dev/null >/dev/null 2>&1 && (wineboot --init </dev/null >/dev/null 2>&1; true)")
add_test(NAME wine_termina COMMAND sh -c "wineserver -k || true")
set_tests_properties(wine_prepara PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${KEXO_WINE_ENV}"
                     TIMEOUT ${KEXO_WINE_TIMEOUT})
set_tests_properties(wine_termina PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${KEXO_WINE_ENV}")
gtest_discover_tests(kexo_tests_wine TEST_PREFIX "wine." PROPERTIES FIXTURES_REQUIRED wine
                     ENVIRONMENT "${KEXO_WINE_ENV}")
