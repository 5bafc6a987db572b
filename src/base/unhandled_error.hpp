#pragma once
// Where exceptions go that nothing else catches: a handler that throws on a pool thread, a task whose body
// fails. The default reporter writes a line to stderr; the application and the test main install their own.
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace veltrano {

using UnhandledErrorReporter = std::function<void(std::string_view where, std::exception_ptr error)>;

// Installs `reporter` (empty restores the default) and returns the one it replaces. Thread-safe.
UnhandledErrorReporter setUnhandledErrorReporter(UnhandledErrorReporter reporter);

// Hands `error`, which escaped `where`, to the current reporter. Thread-safe; never throws.
void reportUnhandledError(std::string_view where, std::exception_ptr error) noexcept;

// The message of `error` ("unknown exception" when it is not a std::exception).
std::string describeException(std::exception_ptr error);

}  // namespace veltrano
