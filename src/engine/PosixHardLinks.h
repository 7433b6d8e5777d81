#pragma once

#include "engine/HardLinkGroups.h"

#include <sys/types.h>

#include <string>
#include <utility>

namespace drovanta::engine::posix {

// Files with several names, by device and inode.
using HardLinks = HardLinkGroups<std::pair<dev_t, ino_t>, std::string>;

} // namespace drovanta::engine::posix
