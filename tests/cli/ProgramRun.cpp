#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace drovanta::cli::testing {
namespace {

std::string contentsOf(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool replacedVariable(const std::string &entry)
{
    for (const char *name : {"HOME=", "XDG_CONFIG_HOME=", "XDG_STATE_HOME=", "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="})
        if (entry.starts_with(name))
            return true;
    return false;
}

} // namespace

ProgramRun::ProgramRun(const std::string &scratch, const std::vector<std::string> &arguments, int errorStream)
    : m_outputFile(scratch + "/stdout.txt"), m_errorFile(scratch + "/stderr.txt")
{
    const std::string home = scratch + "/home";
    ::mkdir(home.c_str(), 0700);

    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (!replacedVariable(*entry))
            environment.emplace_back(*entry);
    environment.push_back("HOME=" + home);
    environment.push_back("XDG_CONFIG_HOME=" + home + "/.config");

    std::vector<std::string> argumentTexts{DROVANTA_PROGRAM};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &text : argumentTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (auto &text : environment)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (errorStream >= 0)
        posix_spawn_file_actions_adddup2(&actions, errorStream, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, m_errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int code = ::posix_spawn(&m_pid, DROVANTA_PROGRAM, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (code != 0) {
        ADD_FAILURE() << "cannot start " << DROVANTA_PROGRAM << ": " << std::strerror(code);
        m_pid = -1;
    }
}

ProgramRun::~ProgramRun()
{
    if (m_pid > 0 && !m_finished) {
        ::kill(m_pid, SIGKILL);
        (void)wait();
    }
}

int ProgramRun::wait()
{
    if (m_finished || m_pid <= 0)
        return m_exitCode;
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_finished = true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return m_exitCode;
}

bool ProgramRun::endsWithin(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!m_finished && m_pid > 0) {
        int status = 0;
        const pid_t ended = ::waitpid(m_pid, &status, WNOHANG);
        if (ended == m_pid) {
            m_finished = true;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return true;
}

bool ProgramRun::pause()
{
    if (m_pid <= 0 || m_finished)
        return false;
    ::kill(m_pid, SIGSTOP);
    int status = 0;
    pid_t changed = -1;
    while ((changed = ::waitpid(m_pid, &status, WUNTRACED)) < 0 && errno == EINTR) {
    }
    if (changed == m_pid && WIFSTOPPED(status))
        return true;
    m_finished = true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return false;
}

void ProgramRun::sendSignal(int signal) const
{
    if (m_pid > 0 && !m_finished)
        ::kill(m_pid, signal);
}

std::string ProgramRun::output() const
{
    return contentsOf(m_outputFile);
}

std::string ProgramRun::errors() const
{
    return contentsOf(m_errorFile);
}

Finished runProgram(const std::string &scratch, const std::vector<std::string> &arguments)
{
    ProgramRun run(scratch, arguments);
    const int code = run.wait();
    return {code, run.output(), run.errors()};
}

Finished runOnTerminal(const std::string &scratch, const std::vector<std::string> &arguments, unsigned short columns)
{
    int terminal = -1;
    int program = -1;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    if (::openpty(&terminal, &program, nullptr, nullptr, &size) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return {-1, {}, {}};
    }
    termios modes{};
    ::tcgetattr(program, &modes);
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(program, TCSANOW, &modes);
    // Only the program's stderr keeps the terminal open, so that reading
    // ends when the program does.
    ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
    ::fcntl(program, F_SETFD, FD_CLOEXEC);

    ProgramRun run(scratch, arguments, program);
    ::close(program);
    std::string received;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(terminal, buffer, sizeof buffer);
        if (count > 0)
            received.append(buffer, static_cast<std::size_t>(count));
        else if (count < 0 && errno == EINTR)
            continue;
        else
            break; // EIO once the program's side is closed
    }
    ::close(terminal);
    const int code = run.wait();
    return {code, run.output(), received};
}

std::string todaysBackupName()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char name[32];
    std::strftime(name, sizeof name, "Backup %m-%d-%Y", &local);
    return name;
}

} // namespace drovanta::cli::testing
