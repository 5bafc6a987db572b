#include "base/unhandled_error.hpp"

#include <cstdio>
#include <mutex>

namespace veltrano {

namespace {
std::mutex gReporterMutex;
UnhandledErrorReporter gReporter;

void writeToStderr(std::string_view where, std::exception_ptr error) {
  const auto message = describeException(error);
  std::fprintf(stderr, "unhandled error in %.*s: %s\n", static_cast<int>(where.size()), where.data(), message.c_str());
}
}  // namespace

UnhandledErrorReporter setUnhandledErrorReporter(UnhandledErrorReporter reporter) {
  std::lock_guard lock(gReporterMutex);
  std::swap(gReporter, reporter);
  return reporter;
}

void reportUnhandledError(std::string_view where, std::exception_ptr error) noexcept {
  UnhandledErrorReporter reporter;
  {
    std::lock_guard lock(gReporterMutex);
    reporter = gReporter;
  }
  try {
    if (reporter) {
      reporter(where, error);
    } else {
      writeToStderr(where, error);
    }
  } catch (...) {
    // A reporter that throws has nowhere left to report to.
    writeToStderr(where, std::current_exception());
  }
}

std::string describeException(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
    return "no exception";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace veltrano
