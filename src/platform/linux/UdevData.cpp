#include "platform/linux/UdevData.h"

#include <fstream>

namespace drovanta::platform {

std::map<std::string, std::string> udevProperties(const std::filesystem::path &udevData, std::string_view number)
{
    std::map<std::string, std::string> properties;
    if (number.empty())
        return properties;
    std::ifstream file(udevData / ("b" + std::string(number)));
    for (std::string line; std::getline(file, line);) {
        if (!line.starts_with("E:"))
            continue;
        const std::size_t equals = line.find('=', 2);
        if (equals != std::string::npos)
            properties[line.substr(2, equals - 2)] = line.substr(equals + 1);
    }
    return properties;
}

} // namespace drovanta::platform
