#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

namespace drovanta::shell {

// The text of the error box: the failure's description, CR LF, the location,
// "at line " and the label, two bare CRs, and the request to mail a screenshot.
std::string errorReportText(std::string_view description, std::string_view location, int label);

// Shows the error box (caption "Application Error", warning icon, OK only)
// and returns when it is dismissed.
void showErrorBox(std::string_view description, std::string_view location, int label);

// Shows a plain message (OK only, no icon, the application's title as
// caption) and returns when it is dismissed.
void showMessage(const std::string &text);

// The description of the exception being handled (inside a catch block).
std::string currentFailureDescription();

// The last-resort report of a failure that no handler of the program catches
// (call inside a catch block): a warning box with the failure's description.
// The program goes on running.
void reportUnhandledFailure();

// Runs the numbered statements of one command handler. A statement that fails
// shows the error box with the handler's location and the statement's label;
// execution then goes on with the next statement, so a handler written as a
// sequence of run()/when() calls behaves as "report and resume next".
//
//   OnError on("in Drovanta2021/08/31.Form1.ListDrives ");
//   on.run(100, [&] { ... });
//   if (on.when(102, [&] { return !drive.isReady(); })) continue;
//
// A failing branch condition enters the branch (when() returns true), and a
// failing last statement of a loop body simply returns, so the loop goes on
// with its next pass. Every failure gives exactly one box.
class OnError final {
public:
    explicit OnError(std::string_view location) : m_location(location) {}

    // True when the statement ran to its end; a handler whose later
    // statements make no sense after this one failed returns on false.
    template<typename Statement>
    bool run(int label, Statement &&statement)
    {
        try {
            std::forward<Statement>(statement)();
            return true;
        } catch (...) {
            report(label);
            return false;
        }
    }

    // Evaluates a branch condition. A failure enters the branch.
    template<typename Condition>
    bool when(int label, Condition &&condition)
    {
        try {
            return static_cast<bool>(std::forward<Condition>(condition)());
        } catch (...) {
            report(label);
            return true;
        }
    }

    const std::string &location() const { return m_location; }
    // How many statements have failed so far.
    int failures() const { return m_failures; }

private:
    void report(int label);

    std::string m_location;
    int m_failures = 0;
};

} // namespace drovanta::shell
