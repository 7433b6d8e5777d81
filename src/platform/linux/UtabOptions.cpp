#include "platform/linux/UtabOptions.h"

#include <fstream>
#include <sstream>

namespace drovanta::platform {

namespace {

UtabEntry parseLine(std::string_view line)
{
    UtabEntry entry;
    for (const std::string_view field : mountFields(line)) {
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = field.substr(0, equals);
        std::string value = decodeMountField(field.substr(equals + 1));
        if (key == "SRC")
            entry.source = std::move(value);
        else if (key == "TARGET")
            entry.target = std::move(value);
        else if (key == "ROOT")
            entry.root = std::move(value);
        else if (key == "OPTS")
            entry.options = std::move(value);
    }
    return entry;
}

} // namespace

std::vector<UtabEntry> parseUtab(std::string_view text)
{
    std::vector<UtabEntry> entries;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#')
            continue;
        UtabEntry entry = parseLine(line);
        if (!entry.target.empty())
            entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<UtabEntry> readUtab(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (file)
        text << file.rdbuf();
    return parseUtab(text.str());
}

void addUserOptions(std::vector<MountEntry> &mounts, const std::vector<UtabEntry> &entries)
{
    std::vector<bool> claimed(mounts.size(), false);
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->source.empty() || entry->root.empty() || entry->options.empty())
            continue;
        for (std::size_t i = mounts.size(); i-- > 0;) {
            MountEntry &mount = mounts[i];
            if (claimed[i] || mount.mountPoint != entry->target || mount.source != entry->source
                || mount.root != entry->root)
                continue;
            mount.userOptions += (mount.userOptions.empty() ? "" : ",") + entry->options;
            claimed[i] = true;
            break;
        }
    }
}

} // namespace drovanta::platform
