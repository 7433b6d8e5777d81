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
// temporary one, which a later run removes as a leftover. Inside a folder
// that itself has no name of its own yet (a backup run's top-level folder
// being made), it is made under its name at once. One that is never
// completed is removed.
class NewFile final {
public:
    NewFile() = default;
    NewFile(NewFile &&other) noexcept
        : m_folder(other.m_folder), m_fd(std::move(other.m_fd)), m_unnamed(other.m_unnamed),
          m_temporary(std::exchange(other.m_temporary, {})), m_direct(other.m_direct)
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

    // Makes it as `name` in folder `folderFd`, which nobody sees under its
    // own name yet; where the name is taken after all (a name the folder
    // folds with another), as create() does.
    [[nodiscard]] static Outcome<NewFile> createNamed(int folderFd, const std::string &name, UnnamedFiles unnamed,
                                                      mode_t mode);

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
    std::string m_temporary; // the name it is removed under unless published
    bool m_direct = false;   // made under its own name
};

} // namespace drovanta::engine::posix
