#pragma once

#include "platform/MessageBoxes.h"

namespace drovanta::platform {

class Application;

class QtMessageBoxes final : public MessageBoxes {
public:
    explicit QtMessageBoxes(const Application &application) : m_application(application) {}
    void show(const MessageBox &box) override;

private:
    const Application &m_application;
};

} // namespace drovanta::platform
