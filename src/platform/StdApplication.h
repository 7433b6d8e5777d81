#pragma once

#include "platform/Application.h"

namespace drovanta::platform {

// The running program without a GUI toolkit: the command-line program.
class StdApplication final : public Application {
public:
    explicit StdApplication(std::string title) : m_title(std::move(title)) {}

    std::string programFolder() const override;
    std::string title() const override { return m_title; }
    void setTitle(const std::string &title) override { m_title = title; }
    void exitNow(int code) override;

private:
    std::string m_title;
};

} // namespace drovanta::platform
