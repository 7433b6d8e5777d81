#pragma once

#include <string>

namespace drovanta::platform {

// Hands an address to the user's web browser without waiting for it.
class UrlOpener {
public:
    // Throws drovanta::Failure when the address could not be handed over.
    virtual void open(const std::string &url) = 0;

protected:
    ~UrlOpener() = default;
};

} // namespace drovanta::platform
