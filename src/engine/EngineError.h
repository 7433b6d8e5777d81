#pragma once

#include <utility>

namespace drovanta::engine {

// Why one step of a copy failed: what was attempted and the system's code for
// the failure. `code` is the errno value on POSIX systems and the
// GetLastError() value on Windows; 0 means the step succeeded. `operation` is
// the text an ItemFailure shows for the step ("open", "write", "set times",
// ...), always a string literal.
struct Error {
    int code = 0;
    const char *operation = "";

    [[nodiscard]] explicit operator bool() const { return code != 0; }
};

// What a step made (a descriptor, a handle, ...) or why it made nothing.
// Steps return either a value or an Error and the two convert implicitly,
// so that `return fd;` and `return Error{errno, "open"};` both read as
// what they mean.
template<typename T>
struct Outcome {
    T value{};
    Error error;

    // Implicit on purpose, see above.
    Outcome() = default;
    Outcome(T made) : value(std::move(made)) {}
    Outcome(Error failed) : error(failed) {}

    [[nodiscard]] bool failed() const { return static_cast<bool>(error); }
};

} // namespace drovanta::engine
