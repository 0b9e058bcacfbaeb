// A broken internal precondition. Never an error value: it ends the current
// call, and the binding layer turns it into PanicException at the boundary.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace sornquibid {

class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace sornquibid
