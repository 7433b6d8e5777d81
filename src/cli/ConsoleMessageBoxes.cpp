#include "cli/ConsoleMessageBoxes.h"

#include "cli/Console.h"

#include "platform/Application.h"

namespace drovanta::app {
namespace {

// Box texts break lines with bare CRs (and CR LF); a terminal needs LF.
std::string withNewlines(const std::string &text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            result += text[i];
            continue;
        }
        result += '\n';
        if (i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
    }
    return result;
}

} // namespace

void ConsoleMessageBoxes::show(const platform::MessageBox &box)
{
    m_console.error(consoleText(box, m_application.title()));
}

std::string ConsoleMessageBoxes::consoleText(const platform::MessageBox &box, const std::string &defaultCaption)
{
    const std::string &caption = box.caption.empty() ? defaultCaption : box.caption;
    std::string text = caption.empty() ? withNewlines(box.text) : caption + ": " + withNewlines(box.text);
    if (!box.details.empty())
        text += "\n" + withNewlines(box.details);
    return text;
}

} // namespace drovanta::app
