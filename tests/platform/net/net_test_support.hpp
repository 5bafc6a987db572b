#pragma once
// Small helpers for driving the TCP layer from a blocking test thread.
#include <chrono>
#include <vector>

#include "platform/net/network_state.hpp"
#include "support/recorded_values.hpp"
#include "support/run_blocking.hpp"

namespace veltrano::testing {

// Records reported states; waits for one to arrive.
class StateRecorder {
 public:
  void operator()(const platform::NetworkState& state) { states_.add(state); }
  auto handler() {
    return [this](const platform::NetworkState& state) { (*this)(state); };
  }
  bool waitFor(platform::NetworkState::Kind kind, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return states_.waitForMatch([kind](const platform::NetworkState& s) { return s.kind == kind; }, timeout);
  }
  std::vector<platform::NetworkState::Kind> kinds() const {
    std::vector<platform::NetworkState::Kind> kinds;
    for (auto& s : states_.values()) kinds.push_back(s.kind);
    return kinds;
  }
  std::vector<platform::NetworkState> states() const { return states_.values(); }

 private:
  RecordedValues<platform::NetworkState> states_;
};

}  // namespace veltrano::testing
