#pragma once

#include "platform/MessageBoxes.h"

namespace drovanta::platform {
class Application;
}

namespace drovanta::app {

class Console;

// Message boxes on the command line: the box's text on the error stream, as
// nobody is there to dismiss a box.
class ConsoleMessageBoxes final : public platform::MessageBoxes {
public:
    ConsoleMessageBoxes(Console &console, const platform::Application &application)
        : m_console(console), m_application(application)
    {
    }

    void show(const platform::MessageBox &box) override;

    // The box as lines of text: "Caption: text", then its details.
    static std::string consoleText(const platform::MessageBox &box, const std::string &defaultCaption);

private:
    Console &m_console;
    const platform::Application &m_application;
};

} // namespace drovanta::app
