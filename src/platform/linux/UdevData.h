#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace drovanta::platform {

// The properties udev has recorded for a block device ("E:KEY=VALUE" lines of
// <udevData>/b<MAJ:MIN>), such as ID_FS_UUID, ID_PART_ENTRY_TYPE and
// UDISKS_IGNORE. Empty when udev keeps no data for it or the file cannot be
// read (a container without udev).
std::map<std::string, std::string> udevProperties(const std::filesystem::path &udevData, std::string_view number);

} // namespace drovanta::platform
