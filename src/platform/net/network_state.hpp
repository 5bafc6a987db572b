#pragma once
// The states a listener or a connection moves through, reported to its state handler.
#include <boost/system/error_code.hpp>

#include <string>
#include <string_view>

namespace veltrano::platform {

struct NetworkState {
  enum class Kind {
    setup,      // created, not started
    preparing,  // connection only: being established
    waiting,    // cannot proceed for now (carries the reason); may still become ready
    ready,
    failed,     // ended by an error (carries it); a cancel() still follows
    cancelled,  // ended by cancel(); the last state, reported exactly once
  };

  Kind kind = Kind::setup;
  boost::system::error_code error;  // for waiting and failed

  static NetworkState setup() { return {Kind::setup, {}}; }
  static NetworkState preparing() { return {Kind::preparing, {}}; }
  static NetworkState waiting(boost::system::error_code error) { return {Kind::waiting, error}; }
  static NetworkState ready() { return {Kind::ready, {}}; }
  static NetworkState failed(boost::system::error_code error) { return {Kind::failed, error}; }
  static NetworkState cancelled() { return {Kind::cancelled, {}}; }

  bool operator==(const NetworkState&) const = default;
};

std::string_view name(NetworkState::Kind kind);
// "ready", "failed(Connection refused)", ...
std::string describe(const NetworkState& state);

}  // namespace veltrano::platform
