# Cross build for 64-bit Windows from Linux with the MinGW-w64 POSIX-thread
# compilers (Debian: g++-mingw-w64-x86-64-posix). Linked statically, so the
# program runs without the MinGW runtime DLLs beside it.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DDROVANTA_WITH_QT=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DROVANTA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DROVANTA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DROVANTA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${DROVANTA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DROVANTA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
