#pragma once

#include "platform/Application.h"

namespace drovanta::platform {

class QtApplication final : public Application {
public:
    std::string programFolder() const override;
    std::string title() const override;
    void setTitle(const std::string &title) override;
    void exitNow(int code) override;

private:
    // Kept here rather than as Qt's application display name: on some window
    // systems Qt appends the display name to every window title.
    std::string m_title;
};

} // namespace drovanta::platform
