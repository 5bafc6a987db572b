#pragma once
// For a test that provokes unhandled errors on purpose: records them instead of failing the test, for its
// lifetime, and then puts back the reporter it replaced.
#include <string>

#include "base/unhandled_error.hpp"
#include "support/recorded_values.hpp"

namespace veltrano::testing {

class ExpectedUnhandledErrors {
 public:
  struct Error {
    std::string where;
    std::string message;
  };

  ExpectedUnhandledErrors()
      : previous_(setUnhandledErrorReporter([this](std::string_view where, std::exception_ptr error) {
          errors_.add({std::string(where), describeException(error)});
        })) {}
  ~ExpectedUnhandledErrors() { setUnhandledErrorReporter(std::move(previous_)); }
  ExpectedUnhandledErrors(const ExpectedUnhandledErrors&) = delete;
  ExpectedUnhandledErrors& operator=(const ExpectedUnhandledErrors&) = delete;

  RecordedValues<Error>& errors() { return errors_; }

 private:
  RecordedValues<Error> errors_;
  UnhandledErrorReporter previous_;
};

}  // namespace veltrano::testing
