#pragma once

#include <string>

namespace drovanta::platform {

enum class BoxIcon { None, Information, Warning, Question };

// An application-modal message box with an OK button only (show), or with
// Yes and No (ask).
struct MessageBox {
    std::string caption;      // empty: the application title
    std::string text;         // shown exactly as given
    BoxIcon icon = BoxIcon::None;
    std::string details;      // optional longer text behind a "details" button
};

class MessageBoxes {
public:
    // Shows the box and returns when the user has dismissed it.
    virtual void show(const MessageBox &box) = 0;
    // Asks the box's question; true when the user answers Yes. Where nobody
    // can answer, the box is shown and the answer is No.
    virtual bool ask(const MessageBox &box)
    {
        show(box);
        return false;
    }

protected:
    ~MessageBoxes() = default;
};

} // namespace drovanta::platform
