# One INTERFACE target carries the language standard, the warnings and Qt's
# safety macros; every library and executable of ours links it.
add_library(drovanta_common INTERFACE)
target_compile_features(drovanta_common INTERFACE cxx_std_20)
if(MSVC)
    target_compile_options(drovanta_common INTERFACE /W4 /WX)
else()
    target_compile_options(drovanta_common INTERFACE -Wall -Wextra -Werror)
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
