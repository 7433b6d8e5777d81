#pragma once

#include "engine/PosixSupport.h"

#include <sys/types.h>

#include <string>
#include <utility>

namespace drovanta::engine::posix {

// How a filesystem takes files made without a name (O_TMPFILE) and named
// once complete: linked through the descriptor itself (the process may
// read any folder), through /proc/self/fd, or not at all.
enum class UnnamedFiles { Unsupported, ByDescriptor, ThroughProc };

// Tries it in folder `folderFd`: a file made there without a name and
// linked under a temporary one, then removed.
[[nodiscard]] UnnamedFiles probeUnnamedFiles(int folderFd);

// A file being written into the backup. It gets its name only once it is
// complete, so a run stopped or killed half way never leaves part of a file
// under a real name: in a folder this run made, it has no name at all until
// then (and the system frees it when the process dies); elsewhere it has a
// temporary one, which a later run removes as a leftover. One that is never
// named is removed.
class NewFile final {
public:
    NewFile() = default;
    NewFile(NewFile &&other) noexcept
        : m_folder(other.m_folder), m_fd(std::move(other.m_fd)), m_unnamed(other.m_unnamed),
          m_temporary(std::exchange(other.m_temporary, {}))
    {
    }
    NewFile &operator=(NewFile &&) = delete;
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;
    ~NewFile();

    // Makes it in folder `folderFd` with permissions `mode`, without a name
    // when `nameFree` (no item can stand at its name yet) and the filesystem
    // allows, else under a temporary name. Fails as "create file".
    [[nodiscard]] static Outcome<NewFile> create(int folderFd, UnnamedFiles unnamed, bool nameFree, mode_t mode);

    [[nodiscard]] int fd() const { return m_fd.get(); }
    // Whether it has no name: nobody else can open it.
    [[nodiscard]] bool unnamed() const { return m_unnamed != UnnamedFiles::Unsupported; }

    // Closes the complete file and gives it `name`, in place of whatever
    // stands there. Fails as "replace", or as the close does.
    [[nodiscard]] Error publish(const std::string &name);

private:
    int m_folder = -1;
    UniqueFd m_fd;
    UnnamedFiles m_unnamed = UnnamedFiles::Unsupported;
    std::string m_temporary; // its name while it has one that is not its own
};

} // namespace drovanta::engine::posix
