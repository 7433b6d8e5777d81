#include "platform/StdFileOperations.h"

#include "platform/Failure.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

std::string describe(const std::string &what, const fs::path &path, const std::error_code &ec)
{
    return what + " '" + path.string() + "': " + ec.message();
}

class StdFolder final : public Folder {
public:
    explicit StdFolder(fs::path path) : m_path(std::move(path)) {}

    std::vector<FolderItem> subFolders() const override { return list(true); }
    std::vector<FolderItem> files() const override { return list(false); }

private:
    // A symbolic link is never a sub-folder: it is handed on as a file item, so
    // the engine copies it as a link instead of following it.
    std::vector<FolderItem> list(bool folders) const
    {
        std::vector<FolderItem> items;
        std::error_code ec;
        fs::directory_iterator it(m_path, ec);
        if (ec)
            throw Failure(describe("Cannot list folder", m_path, ec));
        for (const fs::directory_iterator end; it != end; it.increment(ec)) {
            std::error_code typeError;
            const bool isFolder = it->is_directory(typeError) && !it->is_symlink(typeError);
            if (isFolder == folders)
                items.push_back({it->path().filename().string(), it->path().string()});
        }
        if (ec)
            throw Failure(describe("Cannot list folder", m_path, ec));
        return items;
    }

    fs::path m_path;
};

} // namespace

std::unique_ptr<Folder> StdFileOperations::getFolder(const std::string &path) const
{
    const fs::path folder(path);
    std::error_code ec;
    if (path.empty())
        throw Failure("Path not found");
    const auto status = fs::status(folder, ec);
    if (ec)
        throw Failure(describe("Cannot open folder", folder, ec));
    if (!fs::is_directory(status))
        throw Failure("Cannot open folder '" + path + "': Not a directory");
    fs::directory_iterator probe(folder, ec);
    if (ec)
        throw Failure(describe("Cannot open folder", folder, ec));
    return std::make_unique<StdFolder>(folder);
}

} // namespace drovanta::platform
