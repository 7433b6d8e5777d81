#include "core/shell/ErrorBox.h"

#include "core/shell/BuildOptions.h"

#include "platform/MessageBoxes.h"
#include "platform/Services.h"

namespace drovanta::shell {

std::string errorReportText(std::string_view description, std::string_view location, int label)
{
    std::string text;
    text += description;
    text += "\r\n";
    text += location;
    text += "at line ";
    text += std::to_string(label);
    text += "\r\r";
    text += "Please email screenshot of this message to ";
    text += supportAddress();
    return text;
}

void showErrorBox(std::string_view description, std::string_view location, int label)
{
    platform::MessageBox box;
    box.caption = "Application Error";
    box.text = errorReportText(description, location, label);
    box.icon = platform::BoxIcon::Warning;
    platform::services().messageBoxes->show(box);
}

void showMessage(const std::string &text)
{
    platform::MessageBox box;
    box.text = text;
    platform::services().messageBoxes->show(box);
}

std::string currentFailureDescription()
{
    try {
        throw;
    } catch (const std::exception &e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

void reportUnhandledFailure()
{
    platform::MessageBox box;
    box.text = currentFailureDescription();
    box.icon = platform::BoxIcon::Warning;
    platform::services().messageBoxes->show(box);
}

void OnError::report(int label)
{
    ++m_failures;
    showErrorBox(currentFailureDescription(), m_location, label);
}

} // namespace drovanta::shell
