#include "engine/SystemItems.h"

#include <array>
#include <cstddef>

namespace drovanta::engine {

namespace {

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

bool isDriveBookkeepingName(std::string_view name)
{
    static constexpr std::array<std::string_view, 8> exact{
        "System Volume Information", "$RECYCLE.BIN", "lost+found", "pagefile.sys",
        "hiberfil.sys",              "swapfile.sys", "swapfile",   "swap.img",
    };
    for (const auto candidate : exact) {
        if (equalsIgnoringCase(name, candidate))
            return true;
    }
    constexpr std::string_view trash = ".Trash-";
    return name.size() >= trash.size() && equalsIgnoringCase(name.substr(0, trash.size()), trash);
}

} // namespace drovanta::engine
