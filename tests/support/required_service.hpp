#pragma once
// Tests that need an outside service (an X server, a sound server, ffmpeg) fail when it is missing in CI
// (CI=true) and are skipped with the reason elsewhere:
//
//   VELTRANO_REQUIRE_SERVICE("X server", x11Unavailable());
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace veltrano::test {

inline bool servicesRequired() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

// A problem description that is empty when there is none, as an optional.
inline std::optional<std::string> problemIfAny(std::string problem) {
  if (problem.empty()) return std::nullopt;
  return problem;
}

// Why the tray host of scripts/test-env cannot be used, or nullopt.
inline std::optional<std::string> trayHostProblem() {
  if (!std::getenv("DISPLAY")) return "no X server (scripts/test-env starts one)";
  if (!std::getenv("VELTRANO_TEST_TRAY")) return "no tray host (scripts/test-env starts one)";
  return std::nullopt;
}

}  // namespace veltrano::test

// `service` is a string literal naming what is missing; `problem` gives std::optional<std::string>, the reason
// the service cannot be used or nullopt when it can.
#define VELTRANO_REQUIRE_SERVICE(service, problem)                                              \
  do {                                                                                          \
    if (const std::optional<std::string> veltranoServiceProblem = (problem)) {                  \
      if (::veltrano::test::servicesRequired()) {                                               \
        GTEST_FAIL() << service " required in CI: " << *veltranoServiceProblem;                 \
      }                                                                                         \
      GTEST_SKIP() << *veltranoServiceProblem;                                                  \
    }                                                                                           \
  } while (false)
