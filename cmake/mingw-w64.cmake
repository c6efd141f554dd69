# Cross-compiling for Windows with Debian's MinGW-w64. The target processor
# comes from KEXO_WINDOWS_ARCH: x86_64 (64-bit) or i686 (the 32-bit console).
# The posix variants of the compilers: their runtime has std::thread.
set(KEXO_WINDOWS_ARCH x86_64 CACHE STRING "x86_64 or i686")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KEXO_WINDOWS_ARCH})
set(CMAKE_C_COMPILER ${KEXO_WINDOWS_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEXO_WINDOWS_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${KEXO_WINDOWS_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KEXO_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
