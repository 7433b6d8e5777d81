// Writes the program's icon as a Windows .ico file (one 32-bit image) from
// the XPM drawing the window uses, so that the Windows program's icon needs
// no binary file in the sources and no image tool on the build machine.
//
//   IconFromXpm drovanta.xpm drovanta.ico
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The quoted strings of an XPM file, in order.
std::vector<std::string> quotedStrings(std::istream &in)
{
    std::vector<std::string> strings;
    std::string line;
    while (std::getline(in, line)) {
        const auto open = line.find('"');
        const auto close = line.rfind('"');
        if (open != std::string::npos && close > open)
            strings.push_back(line.substr(open + 1, close - open - 1));
    }
    return strings;
}

void put16(std::string &out, unsigned value)
{
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>((value >> 8) & 0xff);
}

void put32(std::string &out, std::uint32_t value)
{
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: IconFromXpm INPUT.xpm OUTPUT.ico\n");
        return 64;
    }
    std::ifstream in(argv[1]);
    const std::vector<std::string> strings = quotedStrings(in);
    int width = 0, height = 0, colours = 0, perPixel = 0;
    if (strings.empty() || !(std::istringstream(strings[0]) >> width >> height >> colours >> perPixel) ||
        width <= 0 || width > 256 || height <= 0 || height > 256 || perPixel <= 0 ||
        strings.size() < static_cast<std::size_t>(1 + colours + height)) {
        std::fprintf(stderr, "IconFromXpm: %s is not an XPM image this tool reads\n", argv[1]);
        return 1;
    }
    // Colour keys to 0xAARRGGBB; "None" is transparent.
    std::map<std::string, std::uint32_t> palette;
    for (int i = 1; i <= colours; ++i) {
        const std::string &entry = strings[static_cast<std::size_t>(i)];
        const std::string key = entry.substr(0, static_cast<std::size_t>(perPixel));
        const auto hash = entry.find('#');
        palette[key] = hash == std::string::npos ? 0u : 0xff000000u | std::stoul(entry.substr(hash + 1, 6), nullptr, 16);
    }

    // The image as a DIB: bottom-up rows of BGRA, then the 1-bit mask (all
    // zero: the alpha channel decides), each mask row padded to 4 bytes.
    std::string image;
    put32(image, 40);
    put32(image, static_cast<std::uint32_t>(width));
    put32(image, static_cast<std::uint32_t>(height * 2));
    put16(image, 1);
    put16(image, 32);
    for (int i = 0; i < 6; ++i)
        put32(image, 0);
    for (int y = height - 1; y >= 0; --y) {
        const std::string &row = strings[static_cast<std::size_t>(1 + colours + y)];
        for (int x = 0; x < width; ++x) {
            const std::string key = row.substr(static_cast<std::size_t>(x * perPixel), static_cast<std::size_t>(perPixel));
            const auto colour = palette.find(key);
            put32(image, colour == palette.end() ? 0u : colour->second);
        }
    }
    const std::size_t maskRow = static_cast<std::size_t>((width + 31) / 32 * 4);
    image.append(maskRow * static_cast<std::size_t>(height), '\0');

    std::string icon;
    put16(icon, 0);
    put16(icon, 1); // an icon
    put16(icon, 1); // one image
    icon += static_cast<char>(width == 256 ? 0 : width);
    icon += static_cast<char>(height == 256 ? 0 : height);
    icon += '\0'; // no palette
    icon += '\0';
    put16(icon, 1);
    put16(icon, 32);
    put32(icon, static_cast<std::uint32_t>(image.size()));
    put32(icon, 6 + 16);
    icon += image;

    std::ofstream out(argv[2], std::ios::binary);
    out.write(icon.data(), static_cast<std::streamsize>(icon.size()));
    return out ? 0 : 1;
}
