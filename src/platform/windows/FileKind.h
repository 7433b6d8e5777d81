#pragma once

#include <filesystem>

namespace drovanta::platform {

// What an item of this type is, as messages name it.
inline const char *kindOf(std::filesystem::file_type type)
{
    switch (type) {
    case std::filesystem::file_type::symlink:
        return "a link";
    case std::filesystem::file_type::directory:
        return "a folder";
    case std::filesystem::file_type::regular:
        return "a file";
    default:
        return "something else";
    }
}

} // namespace drovanta::platform
