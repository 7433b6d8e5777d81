#pragma once

#include "platform/RandomSource.h"

#include <random>

namespace drovanta::platform {

class StdRandomSource final : public RandomSource {
public:
    void seed(float seed) override;
    float next() override;

private:
    std::mt19937 m_engine{0};
};

} // namespace drovanta::platform
