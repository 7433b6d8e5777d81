#pragma once

namespace drovanta::platform {

// The program's pseudo-random generator.
class RandomSource {
public:
    virtual void seed(float seed) = 0;
    // The next number r with 0 <= r < 1.
    virtual float next() = 0;

protected:
    ~RandomSource() = default;
};

} // namespace drovanta::platform
