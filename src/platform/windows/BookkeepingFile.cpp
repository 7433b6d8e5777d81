// The program's files beside the backups on Windows, through the standard
// library; a link at the folder's or the file's name is refused.
#include "platform/BookkeepingFile.h"
#include "platform/windows/FileKind.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

// Why `path` may not be used where a `wanted` thing belongs; empty when it
// may be (or is not there yet).
std::string notUsable(const fs::path &path, fs::file_type wanted)
{
    std::error_code ec;
    const fs::file_type type = fs::symlink_status(path, ec).type();
    if (ec || type == fs::file_type::not_found || type == wanted)
        return {};
    const char *kind = kindOf(type);
    return "'" + path.string() + "' is " + kind;
}

} // namespace

std::optional<std::string> replaceBookkeepingFile(const std::string &path, const std::string &text)
{
    const fs::path target(path);
    const fs::path folder = target.parent_path();
    std::error_code ec;
    fs::create_directory(folder, ec);
    if (ec)
        return "cannot create '" + folder.string() + "': " + ec.message();
    if (std::string problem = notUsable(folder, fs::file_type::directory); !problem.empty())
        return problem;
    const fs::path temporary = folder / (target.filename().string() + ".part-" + std::to_string(std::random_device{}()));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temporary, ec);
            return "cannot write '" + temporary.string() + "'";
        }
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return "cannot rename '" + temporary.string() + "': " + ec.message();
    }
    return std::nullopt;
}

std::optional<std::string> readBookkeepingFile(const std::string &path, std::string &problem)
{
    const fs::path target(path);
    if (problem = notUsable(target.parent_path(), fs::file_type::directory); !problem.empty()) {
        problem = "cannot be read: " + problem;
        return std::nullopt;
    }
    std::error_code ec;
    if (const fs::file_type type = fs::symlink_status(target, ec).type();
        !ec && type != fs::file_type::not_found && type != fs::file_type::regular) {
        problem = std::string("is ") + kindOf(type);
        return std::nullopt;
    }
    std::ifstream in(target, std::ios::binary);
    if (!in) {
        problem = fs::exists(target, ec) ? "cannot be read" : "there is none";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void removeBookkeepingFile(const std::string &path)
{
    const fs::path target(path);
    std::error_code ignored;
    if (notUsable(target.parent_path(), fs::file_type::directory).empty()
        && fs::symlink_status(target, ignored).type() == fs::file_type::regular)
        fs::remove(target, ignored);
}

} // namespace drovanta::platform
