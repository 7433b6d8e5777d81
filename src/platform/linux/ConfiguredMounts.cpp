#include "platform/linux/ConfiguredMounts.h"

#include "platform/linux/MountInfo.h"

#include <fstream>
#include <sstream>

namespace drovanta::platform {

namespace {

template<typename ParseLine>
std::vector<ConfiguredMount> parseLines(std::string_view text, ParseLine parseLine)
{
    std::vector<ConfiguredMount> mounts;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        ConfiguredMount mount;
        if (parseLine(mountFields(line), mount) && !mount.mountPoint.empty())
            mounts.push_back(std::move(mount));
    }
    return mounts;
}

std::string fileText(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (file)
        text << file.rdbuf();
    return text.str();
}

} // namespace

std::vector<ConfiguredMount> parseFstab(std::string_view text)
{
    return parseLines(text, [](const std::vector<std::string_view> &fields, ConfiguredMount &mount) {
        if (fields.size() < 3)
            return false;
        mount.mountPoint = decodeMountField(fields[1]);
        mount.fsType = decodeMountField(fields[2]);
        if (fields.size() > 3)
            mount.options = decodeMountField(fields[3]);
        return true;
    });
}

std::vector<ConfiguredMount> readFstab(const std::filesystem::path &path)
{
    return parseFstab(fileText(path));
}

} // namespace drovanta::platform
