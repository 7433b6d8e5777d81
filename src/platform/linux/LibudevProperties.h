#pragma once

#include <map>
#include <string>
#include <string_view>

namespace drovanta::platform {

// The properties udev keeps for the running system's block device numbered
// "MAJ:MIN", as libudev gives them (built only where the system has
// libudev). Empty when there is no such device.
std::map<std::string, std::string> libudevProperties(std::string_view number);

} // namespace drovanta::platform
