#pragma once
// The one exception type for broken invariants. The core throws it with a fixed message;
// only the binding layer catches it and turns it into the Python-side exception.
#include <exception>
#include <string>

namespace quarnel {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace quarnel
