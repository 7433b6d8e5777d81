#pragma once

#include "platform/UrlOpener.h"

namespace drovanta::platform {

class QtUrlOpener final : public UrlOpener {
public:
    void open(const std::string &url) override;
};

} // namespace drovanta::platform
