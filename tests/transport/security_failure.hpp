#pragma once
// The security error a handshake or session step fails with.
#include <functional>

#include <gtest/gtest.h>

#include "transport/local_transport_security_error.hpp"

namespace veltrano::testing {

// The code `step` throws; a step that does not fail fails the test.
inline LocalTransportSecurityError::Code failureOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const LocalTransportSecurityError& error) {
    return error.code();
  }
  ADD_FAILURE() << "the step did not fail";
  return LocalTransportSecurityError::Code::connectionClosed;
}

}  // namespace veltrano::testing
