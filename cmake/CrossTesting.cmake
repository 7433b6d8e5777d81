# Tests of a Windows cross build: GoogleTest built from source for the target
# (Debian's googletest package ships it under /usr/src/googletest; nothing is
# downloaded) and Wine as the emulator, so that ctest runs the .exe files.
set(DROVANTA_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH
    "GoogleTest sources to build for the target")
if(NOT EXISTS "${DROVANTA_GOOGLETEST_SOURCE}/CMakeLists.txt")
    message(FATAL_ERROR "No GoogleTest sources in ${DROVANTA_GOOGLETEST_SOURCE} (Debian: apt-get install googletest)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory("${DROVANTA_GOOGLETEST_SOURCE}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
# GoogleTest 1.11 and later define GTest::gtest and GTest::gtest_main themselves.

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    # Debian's wine package puts a launcher in /usr/bin; wine64 alone keeps
    # its loader in /usr/lib/wine.
    find_program(DROVANTA_WINE NAMES wine wine64 PATHS /usr/lib/wine REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${DROVANTA_WINE}")
endif()

# Listing a binary's tests needs Wine; do it when ctest runs, not while building.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
