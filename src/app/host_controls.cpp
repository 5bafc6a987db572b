#include "app/host_controls.hpp"

namespace veltrano::app {

HostView HostControls::viewOf(const HostState& state) {
  HostView view;
  view.isRunning = state.isRunning;
  view.isStarting = state.isStarting;
  view.isCapturing = state.isCapturing;
  view.launchAtLogin = state.launchAtLogin;
  view.port = state.port;
  view.localControlClients = state.connectedDevices;
  return view;
}

}  // namespace veltrano::app
