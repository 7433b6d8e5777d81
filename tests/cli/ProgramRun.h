#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace drovanta::cli::testing {

// The built program, started as a user or a scheduler would: its own process,
// stdout and stderr captured in files, no display, and HOME and
// XDG_CONFIG_HOME pointed into a scratch folder so no real settings are read
// or written.
class ProgramRun final {
public:
    // `scratch` holds the captured streams and the fake home. With
    // `errorStream` the program's stderr is that descriptor instead of a file.
    ProgramRun(const std::string &scratch, const std::vector<std::string> &arguments, int errorStream = -1);
    ~ProgramRun();
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;

    // Waits for the end and returns the exit code (-signal when killed).
    int wait();
    // True when the program ends within `limit`.
    bool endsWithin(std::chrono::milliseconds limit);
    void sendSignal(int signal) const;
    // Stops the program and returns once every thread of it stands still
    // (SIGCONT lets it go on); false when it had already ended.
    bool pause();
    [[nodiscard]] std::string output() const;
    [[nodiscard]] std::string errors() const;

private:
    pid_t m_pid = -1;
    int m_exitCode = 0;
    bool m_finished = false;
    std::string m_outputFile;
    std::string m_errorFile;
};

struct Finished {
    int exitCode;
    std::string output;
    std::string errors;
};

// Runs the program to its end.
Finished runProgram(const std::string &scratch, const std::vector<std::string> &arguments);

// Runs the program to its end with stderr on a pseudo-terminal `columns`
// wide, which passes the program's bytes unchanged (no CR added before LF);
// `errors` is everything the terminal received.
Finished runOnTerminal(const std::string &scratch, const std::vector<std::string> &arguments, unsigned short columns);

// The name of today's backup folder, as the program makes it: "Backup mm-dd-yyyy".
std::string todaysBackupName();

} // namespace drovanta::cli::testing
