#include "EngineTestSupport.h"

#include "engine/SystemItems.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace drovanta::engine::testing {

TempFolder::TempFolder()
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / ("drovanta-engine-" + std::to_string(random() % 1'000'000'000'000ULL));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            m_path = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder in " + base.string());
}

TempFolder::~TempFolder()
{
    removeTree(m_path);
}

void writeFile(const std::string &path, const std::string &content, std::int64_t mtimeSeconds,
               long mtimeNanoseconds)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        ASSERT_TRUE(out.good()) << path;
    }
    std::error_code error;
    fs::permissions(path, fs::perms(0644), error);
    ASSERT_FALSE(error) << path << ": " << error.message();
    setTimes(path, mtimeSeconds - 86400, 987'654'321, mtimeSeconds, mtimeNanoseconds);
}

void makeFolder(const std::string &path)
{
    std::error_code error;
    ASSERT_TRUE(fs::create_directory(path, error)) << path << ": " << error.message();
}

void setWritable(const std::string &path, bool writable)
{
    std::error_code error;
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    writable ? fs::perm_options::add : fs::perm_options::remove, error);
    ASSERT_FALSE(error) << path << ": " << error.message();
}

TreeStats makeRandomTree(const std::string &root, unsigned seed, int depth)
{
    std::mt19937 random(seed);
    TreeStats stats;
    const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const bool links = canMakeLinks();
    std::vector<std::string> folders;
    const auto fill = [&](auto &self, const std::string &folder, int level) -> void {
        folders.push_back(folder);
        const int files = pick(0, 8);
        for (int i = 0; i < files; ++i) {
            const int sizeClass = pick(0, 9);
            const std::size_t size = sizeClass == 0 ? 0
                : sizeClass < 6                     ? static_cast<std::size_t>(pick(1, 4096))
                : sizeClass < 9                     ? static_cast<std::size_t>(pick(4096, 65536))
                                                    : static_cast<std::size_t>(pick(65536, 300 * 1024));
            std::string content(size, '\0');
            for (auto &c : content)
                c = static_cast<char>(random());
            // Read-only ones (0444) are the case Windows keeps as an attribute.
            static constexpr unsigned modes[] = {0644, 0600, 0755, 0444, 0640, 0700};
            const std::string path = folder + "/file" + std::to_string(i) + ".bin";
            writeFile(path, content, 1'500'000'000 + pick(0, 100'000'000), pick(0, 999'999'999));
            std::error_code error;
            fs::permissions(path, fs::perms(modes[pick(0, 5)]), error);
            EXPECT_FALSE(error) << path << ": " << error.message();
            ++stats.files;
            stats.bytes += size;
        }
        if (pick(0, 2) == 0) {
            const std::string target = pick(0, 1) == 0 ? "file0.bin" : "../nowhere/" + std::to_string(pick(0, 99));
            if (links) {
                std::error_code error;
                fs::create_symlink(target, folder + "/link", error);
                EXPECT_FALSE(error) << error.message();
                ++stats.links;
            }
        }
        if (level < depth) {
            const int subfolders = pick(1, 3);
            for (int i = 0; i < subfolders; ++i) {
                const std::string child = folder + "/folder" + std::to_string(i);
                makeFolder(child);
                ++stats.folders;
                self(self, child, level + 1);
            }
        }
    };
    fill(fill, root, 0);
    // Folder times last, deepest first: creating items inside changes them.
    std::reverse(folders.begin(), folders.end());
    for (const auto &folder : folders) {
        static constexpr unsigned folderModes[] = {0755, 0700, 0750, 0555};
        const unsigned mode = folderModes[pick(0, 3)];
        if (folder != root) {
            std::error_code error;
            fs::permissions(folder, fs::perms(mode), error);
            EXPECT_FALSE(error) << folder << ": " << error.message();
        }
        setTimes(folder, 1'400'000'000, 5, 1'400'000'000 + pick(0, 1000), pick(0, 999'999'999));
    }
    return stats;
}

std::vector<std::string> temporaryFiles(const std::string &root)
{
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (isTemporaryName(it->path().filename().string()))
            found.push_back(it->path().string());
    }
    return found;
}

std::string describe(const Result &result)
{
    std::ostringstream text;
    text << "folders=" << result.folders << " files=" << result.files << " links=" << result.links
         << " bytes=" << result.bytes << " unchanged=" << result.unchanged << " stopped=" << result.stopped;
    for (const auto &item : result.skipped)
        text << "\n  skipped " << item.path << " (" << static_cast<int>(item.reason) << ")";
    for (const auto &note : result.notes)
        text << "\n  note " << static_cast<int>(note.kind) << " " << note.filesystem << ": " << note.items;
    for (const auto &failure : result.failures)
        text << "\n  failed " << failure.operation << " " << failure.path << ": " << failure.reason;
    if (result.destinationFailed)
        text << "\n  destination failed: " << result.destinationFailure.operation << " "
             << result.destinationFailure.path << ": " << result.destinationFailure.reason;
    return text.str();
}

std::string reported(const std::string &path)
{
    return fs::path(path).lexically_normal().string();
}

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto &c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

Result EngineTest::copyTree(const std::string &source, const std::string &target, unsigned workers, bool atDriveRoot)
{
    Params params;
    params.source = source;
    params.target = target;
    params.workers = workers;
    params.atDriveRoot = atDriveRoot;
    return m_engine.copyTree(params, m_progress, m_stop);
}

void EngineTest::expectNoDamagedFile(const std::string &target)
{
    EXPECT_EQ(compareTrees(m_source, target, {}, true), std::vector<std::string>{});
    EXPECT_EQ(temporaryFiles(target), std::vector<std::string>{});
}

} // namespace drovanta::engine::testing
