// The run log's files on Windows, through the standard library. The state
// folder lies in the user's own profile; a link standing for it or for a
// file in it is left alone all the same.
#include "platform/StateFolder.h"
#include "platform/windows/FileKind.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

// Why `path` may not be used where a `wanted` thing belongs; empty when it
// may be (or is not there yet).
std::string notUsable(const std::string &path, fs::file_type wanted, const char *what)
{
    std::error_code ec;
    const fs::file_type type = fs::symlink_status(path, ec).type();
    if (ec || type == fs::file_type::not_found || type == wanted)
        return {};
    const char *kind = kindOf(type);
    return notOursReason(path, what, kind);
}

} // namespace

std::string appendToStateFile(const std::string &name, const std::string &text, std::string &reason, std::uintmax_t cap)
{
    const std::string folder = stateFolderOrReason(reason);
    if (folder.empty())
        return {};
    if (reason = notUsable(folder, fs::file_type::directory, "a folder"); !reason.empty())
        return {};
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        reason = "cannot create '" + folder + "': " + ec.message();
        return {};
    }
    const std::string path = (fs::path(folder) / name).string();
    if (reason = notUsable(path, fs::file_type::regular, "a plain file"); !reason.empty())
        return {};
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > 0 && text.size() > cap - std::min(cap, size)) {
        // The rename does not replace an older ".1" here.
        const std::string previous = path + ".1";
        fs::remove(previous, ec);
        fs::rename(path, previous, ec);
    }
    std::ofstream file(path, std::ios::binary | std::ios::app);
    file << text;
    file.flush();
    if (!file) {
        reason = "cannot write '" + path + "'";
        return {};
    }
    return path;
}

} // namespace drovanta::platform
