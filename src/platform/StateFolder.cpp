#include "platform/StateFolder.h"

#include <cstdlib>
#include <filesystem>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>

#include <vector>
#endif

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

} // namespace

std::string userStateFolder()
{
#ifdef _WIN32
    const std::string local = environment("LOCALAPPDATA");
    return local.empty() ? std::string() : (fs::path(local) / "Drovanta").string();
#else
    // A relative XDG path is to be ignored, as the base directory rules say.
    if (const std::string state = environment("XDG_STATE_HOME"); !state.empty() && state.front() == '/')
        return (fs::path(state) / "drovanta").string();
    const std::string home = environment("HOME");
    return home.empty() ? std::string() : (fs::path(home) / ".local" / "state" / "drovanta").string();
#endif
}

std::string userName()
{
#ifdef _WIN32
    return environment("USERNAME");
#else
    // The account itself: a scheduler's environment may lack USER, and su
    // may leave another user's there.
    passwd entry {};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return environment("USER");
#endif
}

std::string stateFolderOrReason(std::string &reason)
{
    std::string folder = userStateFolder();
    if (folder.empty())
        reason = "no folder for the program's state (HOME is not set)";
    return folder;
}

std::string notOursReason(const std::string &path, const std::string &what, const std::string &kind)
{
    return "'" + path + "' is not " + what + " of yours (it is " + kind + "): it is left alone";
}

} // namespace drovanta::platform
