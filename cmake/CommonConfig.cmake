# One INTERFACE target carries the language standard, the warnings and Qt's
# safety macros; every library and executable of ours links it.
add_library(drovanta_common INTERFACE)
target_compile_features(drovanta_common INTERFACE cxx_std_20)
#
# Warnings stop the build only when asked (the test build and CI do, through
# scripts/configure): a user's or a distribution's compiler may warn where
# ours does not, and should still build the program.
option(DROVANTA_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
if(MSVC)
    target_compile_options(drovanta_common INTERFACE /W4 $<$<BOOL:${DROVANTA_WARNINGS_AS_ERRORS}>:/WX>)
else()
    target_compile_options(drovanta_common INTERFACE -Wall -Wextra
        $<$<BOOL:${DROVANTA_WARNINGS_AS_ERRORS}>:-Werror>)
    # GCC 12 warns of overlapping copies inside std::string's own code at -O3
    # where there are none (fixed in GCC 13); the warning says nothing about
    # ours there.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(drovanta_common INTERFACE -Wno-restrict)
    endif()
endif()
target_compile_definitions(drovanta_common INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_NO_FOREACH
    $<$<BOOL:${WIN32}>:UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX>)
target_include_directories(drovanta_common INTERFACE ${PROJECT_SOURCE_DIR}/src)
