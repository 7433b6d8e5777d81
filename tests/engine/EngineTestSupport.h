#pragma once

// Helpers of the engine tests that hold on every system. Trees are made
// through std::filesystem (EngineTestSupport.cpp); what differs between
// systems (times to the nanosecond, comparing modes or attributes, removing
// trees past PATH_MAX, the system's words for an error) lives in
// PosixTestSupport.cpp and WindowsTestSupport.cpp.
#include "engine/CopyEngine.h"

#include <gtest/gtest.h>

#include <atomic>

#include <cstdint>
#include <string>
#include <vector>

namespace drovanta::engine::testing {

// A folder under the system's temporary folder, removed with everything in
// it (read-only items included).
class TempFolder final {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    [[nodiscard]] const std::string &path() const { return m_path; }
    // `name` may hold '/' between its parts: every system takes it.
    [[nodiscard]] std::string operator/(const std::string &name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void removeTree(const std::string &path);

// Writes `content` to `path` with the given modification time (seconds,
// nanoseconds since 1970); the access time is set one day earlier.
void writeFile(const std::string &path, const std::string &content, std::int64_t mtimeSeconds = 1'600'000'000,
               long mtimeNanoseconds = 123'456'789);
[[nodiscard]] std::string readFile(const std::string &path);
void makeFolder(const std::string &path);
// Takes away (or gives back) the write permission: a read-only file or
// folder on Windows, modes without write bits on POSIX.
void setWritable(const std::string &path, bool writable);

struct TreeStats {
    std::uint64_t folders = 0; // below the root
    std::uint64_t files = 0;
    std::uint64_t links = 0;
    std::uint64_t bytes = 0;
};

// A random tree: nested folders, files of 0 bytes to a few hundred KiB with
// random permissions and nanosecond times, and where the system lets anyone
// make them, links (some dangling, some to folders).
TreeStats makeRandomTree(const std::string &root, unsigned seed, int depth = 3);

// Differences between a source tree and its copy: names, types, contents,
// permissions (modes or attributes), modification times at the system's
// precision, link texts. Empty when the copy is faithful. Names in
// `absentFromCopy` (full source paths) are expected to be missing from the copy.
// With `partial`, items missing from the copy are not differences: only what
// is there must be right (a run that was cut short).
[[nodiscard]] std::vector<std::string> compareTrees(const std::string &source, const std::string &copy,
                                                    const std::vector<std::string> &absentFromCopy = {},
                                                    bool partial = false);

// Full paths of the engine's temporary files anywhere under `root`.
[[nodiscard]] std::vector<std::string> temporaryFiles(const std::string &root);

[[nodiscard]] std::string describe(const Result &result);

// `path` spelt the way the engine reports it (native separators, no "." parts),
// so that reported and expected paths compare equal.
[[nodiscard]] std::string reported(const std::string &path);

// `size` bytes drawn from a generator seeded with `seed`.
[[nodiscard]] std::string randomBytes(std::size_t size, unsigned seed);

// A test of the engine: a source folder and a target path in a temporary
// folder, and the engine of this system.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { makeFolder(m_source); }

    Result copyTree(const std::string &source, const std::string &target, unsigned workers = 4,
                    bool atDriveRoot = false);
    Result copy(const std::string &target, unsigned workers = 4) { return copyTree(m_source, target, workers); }
    Result copy() { return copy(m_target); }

    // Every file under its real name in the copy equals its source, and no
    // temporary file is left.
    void expectNoDamagedFile(const std::string &target);

    TempFolder m_temp;
    std::string m_source = m_temp / "source";
    std::string m_target = m_temp / "target";
    NativeCopyEngine m_engine;
    NoProgress m_progress;
    std::atomic<bool> m_stop{false};
};

// --- implemented once per system ---

// The smallest step between two modification times the system keeps apart
// (1 ns on Linux, 100 ns on Windows).
[[nodiscard]] long finestTimeStep();
// Sets the access and modification times of `path` (not following a link).
void setTimes(const std::string &path, std::int64_t accessSeconds, long accessNanoseconds,
              std::int64_t modificationSeconds, long modificationNanoseconds);
// Whether this process can make symbolic links.
[[nodiscard]] bool canMakeLinks();
// Which file `path` is and when its inode or record last changed: equal
// before and after only when the file was neither replaced nor rewritten.
[[nodiscard]] std::string fileIdentity(const std::string &path);
// The system's description of an error code (strerror, FormatMessage), the
// way the engine reports it.
[[nodiscard]] std::string systemReason(int code);

} // namespace drovanta::engine::testing
