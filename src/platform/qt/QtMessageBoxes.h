#pragma once

#include "platform/MessageBoxes.h"

namespace drovanta::platform {

class Application;

class QtMessageBoxes final : public MessageBoxes {
public:
    explicit QtMessageBoxes(const Application &application) : m_application(application) {}
    void show(const MessageBox &box) override;
    bool ask(const MessageBox &box) override;

private:
    // Shows the box with OK, or with Yes and No; true for Yes.
    bool exec(const MessageBox &box, bool question);

    const Application &m_application;
};

} // namespace drovanta::platform
