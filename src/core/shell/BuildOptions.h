#pragma once

#include <string_view>

// Addresses a packager chooses when building the program (the CMake cache
// variables DROVANTA_HOME_PAGE and DROVANTA_SUPPORT_ADDRESS). BuildOptions.cpp
// defines them from the compile definitions of the target that holds it: the
// program links drovanta_build_options, a test its own.
namespace drovanta::shell {

// The page the occasional start-up visit opens; empty when none is set.
std::string_view homePageAddress();
// The address the error box asks users to write to.
std::string_view supportAddress();

} // namespace drovanta::shell
