#pragma once

#include <string>

namespace drovanta::platform {

// Process-wide services of the running application.
class Application {
public:
    // The folder that holds the program's executable, without a trailing
    // separator (except for a drive's root).
    virtual std::string programFolder() const = 0;
    // The title that message boxes without a caption of their own show.
    virtual std::string title() const = 0;
    virtual void setTitle(const std::string &title) = 0;
    // Ends the process at once, without running any further handler of the
    // program (also from inside nested event loops). Only a test's fake returns.
    virtual void exitNow(int code) = 0;

protected:
    ~Application() = default;
};

} // namespace drovanta::platform
