#pragma once

namespace drovanta::platform {

struct LocalDate {
    int year = 0;
    int month = 0; // 1..12
    int day = 0;   // 1..31
};

class Clock {
public:
    virtual LocalDate today() const = 0;
    // Seconds since local midnight, with fractions.
    virtual double secondsSinceMidnight() const = 0;

protected:
    ~Clock() = default;
};

} // namespace drovanta::platform
