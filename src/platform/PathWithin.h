#pragma once

#include <filesystem>

namespace drovanta::platform {

// Whether `folder` lies below `source` (or is it), compared by whole path parts.
inline bool isWithin(const std::filesystem::path &source, const std::filesystem::path &folder)
{
    auto s = source.begin();
    auto f = folder.begin();
    for (; s != source.end(); ++s, ++f) {
        // A root's trailing separator leaves an empty last part.
        if (s->empty())
            continue;
        if (f == folder.end() || *s != *f)
            return false;
    }
    return true;
}

} // namespace drovanta::platform
