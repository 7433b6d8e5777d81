#pragma once

#include "engine/HardLinkGroups.h"

#include <cstdint>
#include <string>
#include <utility>

namespace drovanta::engine::windows {

// Files with several names, by volume serial number and file index.
using HardLinks = HardLinkGroups<std::pair<std::uint32_t, std::uint64_t>, std::wstring>;

} // namespace drovanta::engine::windows
