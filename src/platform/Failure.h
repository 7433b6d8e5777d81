#pragma once

#include <stdexcept>
#include <string>

namespace drovanta {

// A failure of one statement: carries the description that the error box
// shows. Everything below the window throws this (or another std::exception);
// the error box convention catches it.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string &description) : std::runtime_error(description) {}
};

} // namespace drovanta
