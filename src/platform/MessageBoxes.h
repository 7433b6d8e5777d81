#pragma once

#include <string>

namespace drovanta::platform {

enum class BoxIcon { None, Information, Warning };

// An application-modal message box with an OK button only.
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

protected:
    ~MessageBoxes() = default;
};

} // namespace drovanta::platform
